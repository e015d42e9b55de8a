// The spooler's three calls.
#include <cstdio>

#include "model/spooler.h"
#include "win32/gate.h"
#include "win32/handles.h"

namespace {

using simwin::Call;
using simwin::Fn;

simwin::Spooler& spooler(simwin::Machine& m) {
    if (!m.run.spooler) m.run.spooler = std::make_unique<simwin::Spooler>(m);
    return *m.run.spooler;
}

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(v));
    return b;
}

}  // namespace

BOOL WINAPI OpenPrinterA(LPSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSA defaults) {
    // Without defaults, the spooler grants what a user of the printer gets.
    ACCESS_MASK access = defaults ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
    Call c(Fn::OpenPrinterA, [&] { return simwin::quote(name) + ", " + hex(access); });
    auto& m = c.machine();
    std::string printer = name ? name : "";
    auto& s = spooler(m);
    uintptr_t h = 0;
    std::string canonical;
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return printer; })) {
        err = code;
    } else if (!handle) {
        err = ERROR_INVALID_PARAMETER;
    } else if (!(err = s.open(printer, canonical))) {
        h = simwin::handleTable(m).open(simwin::PrinterHandle{canonical, access, false});
        *handle = reinterpret_cast<HANDLE>(h);
    }
    if (err) m.report.outcome.spoolerFailed.emplace_back(printer, err);
    return c.boolean(err, [&] { return err ? std::string() : " " + hex(h); });
}

BOOL WINAPI DeletePrinter(HANDLE handle) {
    Call c(Fn::DeletePrinter, [&] { return hex(reinterpret_cast<uintptr_t>(handle)); });
    auto& m = c.machine();
    spooler(m);
    simwin::PrinterHandle* ph = simwin::handleTable(m).find<simwin::PrinterHandle>(handle);
    std::string printer = ph ? ph->printer : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return printer; })) {
        err = code;
    } else if (!ph) {
        err = ERROR_INVALID_HANDLE;
    } else {
        err = m.run.spooler->deletePrinter(ph->printer, ph->access, ph->deleted);
    }
    // A failure on a printer is reported; one on a handle that names none is not.
    if (err && !printer.empty()) m.report.outcome.spoolerFailed.emplace_back(printer, err);
    return c.boolean(err, [&] {
        return printer.empty() ? std::string() : " " + simwin::quote(printer.c_str());
    });
}

BOOL WINAPI ClosePrinter(HANDLE handle) {
    Call c(Fn::ClosePrinter, [&] { return hex(reinterpret_cast<uintptr_t>(handle)); });
    auto& m = c.machine();
    spooler(m);
    const simwin::PrinterHandle* ph = simwin::handleTable(m).find<simwin::PrinterHandle>(handle);
    DWORD err = c.refusal([&] { return ph ? ph->printer : std::string(); });
    if (!err && !simwin::handleTable(m).close<simwin::PrinterHandle>(handle))
        err = ERROR_INVALID_HANDLE;
    return c.boolean(err);
}
