// The spooler. Names compare without case, as the Windows spooler does.
#include "model/spooler.h"

#include <cstdio>

#include "model/registry.h"

namespace simwin {

const char* const kPrintersKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";

Spooler::Spooler(Machine& m) : m_(m) {
    if (const Registry::Key* k = m.run.registry ? m.run.registry->find(kPrintersKey) : nullptr)
        for (uint32_t i = 0; i < k->childCount; ++i) {
            const Registry::Key* c = k->children()[i];
            printers.push_back(
                Printer{std::string(c->name, c->nameLength), PrinterRule{}, c->exact != 0});
        }
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
        if (!p.exact && iequals(p.name, name)) return &p;
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

DWORD Spooler::deletePrinter(const std::string& printer, DWORD access, bool& deleted) {
    Printer* p = find(printer);
    if (deleted || !p) return ERROR_PRINTER_DELETED;
    if (!(access & DELETE)) return ERROR_ACCESS_DENIED;
    if (p->rule.kind == PrinterRule::Kind::DeleteFails) return p->rule.code;
    remove(printer);
    deleted = true;
    m_.report.outcome.spoolerDeleted.push_back(printer);
    return 0;
}

}  // namespace simwin
