// The spooler and its three calls. Names compare without case, as the Windows spooler does.
#include "spooler.h"

#include <cstdio>

#include "gate.h"
#include "handles.h"
#include "registry.h"

namespace simwin {

const char* const kPrintersKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";

Spooler::Spooler(Machine& m) : m_(m) {
    if (m.run.registry)
        for (const std::string& n : m.run.registry->subkeyNames(kPrintersKey))
            printers.push_back(Printer{n, PrinterRule{}});
    for (const auto& [name, rule] : m.config.printerRules) {
        Printer* p = find(name);
        if (rule.kind == PrinterRule::Kind::Absent) {
            if (p) printers.erase(printers.begin() + (p - printers.data()));
        } else if (p) {
            p->rule = rule;
        } else {
            printers.push_back(Printer{name, rule});
        }
    }
}

Spooler::~Spooler() = default;

Spooler::Printer* Spooler::find(const std::string& name) {
    for (Printer& p : printers)
        if (iequals(p.name, name)) return &p;
    return nullptr;
}

void Spooler::remove(const std::string& name) {
    Printer* p = find(name);
    if (!p) return;
    std::string key = std::string(kPrintersKey) + "\\" + p->name;
    printers.erase(printers.begin() + (p - printers.data()));
    // The spooler deletes its own key, whatever rights the caller has on it.
    if (m_.run.registry) {
        if (Registry::Key* k = m_.run.registry->find(key)) m_.run.registry->remove(k);
    }
}

DWORD Spooler::open(const std::string& name, std::string& printer) {
    // The print server itself (an empty name) is not modelled: no caller deletes it.
    Printer* p = name.empty() ? nullptr : find(name);
    if (!p) return ERROR_INVALID_PRINTER_NAME;
    if (p->rule.kind == PrinterRule::Kind::OpenFails) return p->rule.code;
    printer = p->name;
    return 0;
}

DWORD Spooler::deletePrinter(PrinterHandle& handle) {
    Printer* p = find(handle.printer);
    if (handle.deleted || !p) return ERROR_PRINTER_DELETED;
    if (!(handle.access & DELETE)) return ERROR_ACCESS_DENIED;
    if (p->rule.kind == PrinterRule::Kind::DeleteFails) return p->rule.code;
    remove(handle.printer);
    handle.deleted = true;
    m_.report.outcome.spoolerDeleted.push_back(handle.printer);
    return 0;
}

}  // namespace simwin

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
        h = m.run.handles->open(simwin::PrinterHandle{canonical, access, false});
        *handle = reinterpret_cast<HANDLE>(h);
    }
    if (err) m.report.outcome.spoolerFailed.emplace_back(printer, err);
    return c.boolean(err, [&] { return err ? std::string() : " " + hex(h); });
}

BOOL WINAPI DeletePrinter(HANDLE handle) {
    Call c(Fn::DeletePrinter, [&] { return hex(reinterpret_cast<uintptr_t>(handle)); });
    auto& m = c.machine();
    spooler(m);
    simwin::PrinterHandle* ph = m.run.handles->find<simwin::PrinterHandle>(handle);
    std::string printer = ph ? ph->printer : "";
    DWORD err = 0;
    if (DWORD code = c.refusal([&] { return printer; })) {
        err = code;
    } else if (!ph) {
        err = ERROR_INVALID_HANDLE;
    } else {
        err = m.run.spooler->deletePrinter(*ph);
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
    const simwin::PrinterHandle* ph = m.run.handles->find<simwin::PrinterHandle>(handle);
    DWORD err = c.refusal([&] { return ph ? ph->printer : std::string(); });
    if (!err && !m.run.handles->close<simwin::PrinterHandle>(handle)) err = ERROR_INVALID_HANDLE;
    return c.boolean(err);
}
