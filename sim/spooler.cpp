// The spooler and its three calls. Names compare without case, as the Windows spooler does.
#include "spooler.h"

#include <cstdio>

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

}  // namespace simwin

namespace {

using simwin::machine;

simwin::Spooler& spooler() {
    auto& m = machine();
    if (!m.run.spooler) m.run.spooler = std::make_unique<simwin::Spooler>(m);
    return *m.run.spooler;
}

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(v));
    return b;
}

std::string result(BOOL r) {
    return r ? "TRUE" : "FALSE [" + std::to_string(machine().run.lastError) + "]";
}

BOOL failPrinter(const std::string& name, DWORD code) {
    auto& m = machine();
    m.run.lastError = code;
    m.report.outcome.spoolerFailed.emplace_back(name, code);
    return FALSE;
}

}  // namespace

BOOL WINAPI OpenPrinterA(LPSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSA defaults) {
    auto& m = machine();
    std::string printer = name ? name : "";
    // Without defaults, the spooler grants what a user of the printer gets.
    ACCESS_MASK access = defaults ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
    BOOL r;
    uintptr_t h = 0;
    auto& s = spooler();
    simwin::Spooler::Printer* p = nullptr;
    if (auto code = simwin::injectedFault("OpenPrinterA", printer)) {
        r = failPrinter(printer, *code);
    } else if (!handle) {
        r = failPrinter(printer, ERROR_INVALID_PARAMETER);
    } else if (printer.empty() || !(p = s.find(printer))) {
        // The print server itself (a NULL name) is not modelled: no caller deletes it.
        r = failPrinter(printer, ERROR_INVALID_PRINTER_NAME);
    } else if (p->rule.kind == simwin::PrinterRule::Kind::OpenFails) {
        r = failPrinter(printer, p->rule.code);
    } else {
        h = m.run.nextHandle;
        m.run.nextHandle += 4;
        s.handles[h] = simwin::Spooler::Handle{p->name, access, false};
        *handle = reinterpret_cast<HANDLE>(h);
        r = TRUE;
    }
    simwin::trace("OpenPrinterA(" + simwin::quote(name) + ", " + hex(access) + ") = " + result(r) +
                  (r ? " " + hex(h) : ""));
    return r;
}

BOOL WINAPI DeletePrinter(HANDLE handle) {
    auto& m = machine();
    auto& s = spooler();
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    std::string printer = it == s.handles.end() ? "" : it->second.printer;
    BOOL r;
    simwin::Spooler::Printer* p = printer.empty() ? nullptr : s.find(printer);
    if (auto code = simwin::injectedFault("DeletePrinter", printer)) {
        r = printer.empty() ? (m.run.lastError = *code, FALSE) : failPrinter(printer, *code);
    } else if (it == s.handles.end()) {
        m.run.lastError = ERROR_INVALID_HANDLE;
        r = FALSE;
    } else if (it->second.deleted || !p) {
        r = failPrinter(printer, ERROR_PRINTER_DELETED);
    } else if (!(it->second.access & DELETE)) {
        r = failPrinter(printer, ERROR_ACCESS_DENIED);
    } else if (p->rule.kind == simwin::PrinterRule::Kind::DeleteFails) {
        r = failPrinter(printer, p->rule.code);
    } else {
        s.remove(printer);
        it->second.deleted = true;
        m.report.outcome.spoolerDeleted.push_back(printer);
        r = TRUE;
    }
    simwin::trace("DeletePrinter(" + hex(reinterpret_cast<uintptr_t>(handle)) + ") = " + result(r) +
                  (printer.empty() ? "" : " " + simwin::quote(printer.c_str())));
    return r;
}

BOOL WINAPI ClosePrinter(HANDLE handle) {
    auto& m = machine();
    auto& s = spooler();
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    std::string printer = it == s.handles.end() ? "" : it->second.printer;
    BOOL r;
    if (auto code = simwin::injectedFault("ClosePrinter", printer)) {
        m.run.lastError = *code;
        r = FALSE;
    } else if (it == s.handles.end()) {
        m.run.lastError = ERROR_INVALID_HANDLE;
        r = FALSE;
    } else {
        s.handles.erase(it);
        r = TRUE;
    }
    simwin::trace("ClosePrinter(" + hex(reinterpret_cast<uintptr_t>(handle)) + ") = " + result(r));
    return r;
}
