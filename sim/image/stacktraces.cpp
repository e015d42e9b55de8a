#include "image/stacktraces.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "model/codepage.h"

namespace simwin {

namespace {

using Key = Registry::Key;

// Windows' interface class of every USB printer port (GUID_DEVINTERFACE_USBPRINT): other
// drivers' ports live there too.
const char* const kUsbPrintClass = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr size_t kWhatShown = 8;  // a sub-tree's line stays one line

std::string nameOf(const Key* k) { return std::string(k->name, k->nameLength); }

bool startsWith(const std::string& name, const char* prefix) {
    return upper(name).compare(0, std::strlen(prefix), prefix) == 0;
}

const Key* at(const Registry& r, const Key* from, const std::string& sub) {
    size_t pos = 0;
    while (from && pos <= sub.size()) {
        size_t end = sub.find('\\', pos);
        if (end == std::string::npos) end = sub.size();
        from = r.child(from, sub.data() + pos, end - pos);
        pos = end + 1;
    }
    return from;
}

std::vector<const Key*> kids(const Key* k) {
    std::vector<const Key*> out;
    for (uint32_t i = 0; k && i < k->childCount; ++i)
        if (!k->children()[i]->deleted && !k->children()[i]->isLink)
            out.push_back(k->children()[i]);
    return out;
}

// A string value up to its terminating NUL; "" when missing or not a string.
std::string text(const Registry& r, const Key* k, const char* name) {
    const Registry::Value* v = r.findValue(k, name, std::strlen(name));
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return "";
    std::string s(reinterpret_cast<const char*>(v->data()), v->dataLength);
    return s.substr(0, s.find('\0'));
}

// A printer's port list naming a Dot4 port ("LPT1:,Dot4_002").
bool dot4Port(const std::string& ports) {
    std::string u = upper(ports);
    for (size_t at = u.find("DOT4_"); at != std::string::npos; at = u.find("DOT4_", at + 1))
        if (at + 5 < u.size() && std::isdigit(static_cast<unsigned char>(u[at + 5]))) return true;
    return false;
}

// "Dot4_" and digits: how the stack names its ports.
bool dot4PortKey(const std::string& name) {
    if (!startsWith(name, "DOT4_") || name.size() == 5) return false;
    for (size_t i = 5; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// A run of port numbers as the ports name themselves: "TS001-TS010".
std::string portRuns(const std::string& base, const std::set<long>& numbers) {
    auto name = [&](long n) {
        char b[24];
        std::snprintf(b, sizeof b, "%03ld", n);
        return base + b;
    };
    std::string out;
    for (auto it = numbers.begin(); it != numbers.end();) {
        long first = *it, last = first;
        for (++it; it != numbers.end() && *it == last + 1; ++it) last = *it;
        out += (out.empty() ? "" : " ") + name(first) + (last > first ? "-" + name(last) : "");
    }
    return out;
}

}  // namespace

std::vector<StackTrace> stackTraces(const Registry& r) {
    std::vector<StackTrace> out;
    const Key* hklm = r.root(rootIndex("HKEY_LOCAL_MACHINE", 18));
    if (!hklm) return out;
    std::vector<const Key*> bases{hklm};
    for (const Key* c : kids(r.child(hklm, "SYSTEM", 6)))
        if (iequals(nameOf(c), "CurrentControlSet") || startsWith(nameOf(c), "CONTROLSET"))
            bases.push_back(c);
    auto add = [&](StackTrace::Kind kind, const Key* k, const std::string& parent) {
        out.push_back({kind, k, parent + "\\" + nameOf(k)});
    };
    for (const Key* base : bases) {
        for (const Key* e : kids(at(r, base, "Enum")))
            if (startsWith(nameOf(e), "DOT4")) add(StackTrace::Device, e, "Enum");
        const std::string classes = std::string("Control\\DeviceClasses\\") + kUsbPrintClass;
        for (const Key* i : kids(at(r, base, classes)))
            if (startsWith(nameOf(i), "##?#DOT4")) add(StackTrace::Device, i, classes);
        for (const Key* c : kids(at(r, base, "Services\\Class")))
            if (startsWith(nameOf(c), "DOT4") || startsWith(text(r, c, "Class"), "DOT4"))
                add(StackTrace::Driver, c, "Services\\Class");
        for (const Key* m : kids(at(r, base, "Control\\Print\\Monitors"))) {
            const std::string monitor = "Control\\Print\\Monitors\\" + nameOf(m);
            if (iequals(nameOf(m), "Dot4 Monitor")) {
                add(StackTrace::Monitor, m, "Control\\Print\\Monitors");
                continue;
            }
            for (const Key* p : kids(r.child(m, "Ports", 5)))
                if (dot4PortKey(nameOf(p))) add(StackTrace::Port, p, monitor + "\\Ports");
        }
        for (const Key* p : kids(at(r, base, "Control\\Print\\Ports")))
            if (dot4PortKey(nameOf(p))) add(StackTrace::Port, p, "Control\\Print\\Ports");
        for (const Key* p : kids(at(r, base, "Control\\Print\\Printers")))
            if (dot4Port(text(r, p, "Port")))
                add(StackTrace::Printer, p, "Control\\Print\\Printers");
    }
    return out;
}

std::string foreignPhrase(size_t total, const ForeignKeys& f) {
    if (f.count == 0) return "";
    std::string s = f.count < total ? std::to_string(f.count) + " of them not the stack's"
                    : total == 1    ? "not the stack's"
                                    : "none of them the stack's";
    return f.what.empty() ? s : s + ": " + f.what;
}

void StackKeys::take(const Registry& r, const std::vector<const Registry::Key*>& keys) {
    traces_ = stackTraces(r);
    for (const StackTrace& t : traces_) {
        traceKeys_.insert(t.key);
        for (const Key* a = t.key->parent; a; a = a->parent) holders_.insert(a);
    }
    for (const Key* k : keys) {
        if (k->valueCount == 0) continue;
        Said s;
        s.device = text(r, k, "DeviceInstance");
        std::string base = text(r, k, "Base Name");
        if (!base.empty()) {
            const Registry::Value* n = r.findValue(k, "Port Number", 11);
            if (n && n->type == REG_DWORD && n->dataLength == 4) {
                uint32_t v;
                std::memcpy(&v, n->data(), 4);
                s.portBase = base, s.portNumber = static_cast<long>(v);
            } else if (k->parent) {
                // A port without its number is named by the reference key above: "#TS005".
                std::string ref = nameOf(k->parent);
                ref.erase(0, std::min(ref.size(), ref.find_first_not_of('#')));
                size_t digits = ref.find_last_not_of("0123456789") + 1;
                s.portBase = ref.substr(0, digits);
                if (digits < ref.size() && ref.size() - digits < 9)
                    s.portNumber = std::stol(ref.substr(digits));
                else
                    s.portBase = ref;
            }
        }
        if (!s.device.empty() || !s.portBase.empty()) said_.emplace(k, std::move(s));
    }
}

bool StackKeys::foreign(const Registry::Key* k) const {
    if (traceKeys_.count(k) || holders_.count(k)) return false;
    for (const Key* a = k->parent; a; a = a->parent)
        if (traceKeys_.count(a)) return false;
    return true;
}

ForeignKeys StackKeys::foreignIn(const std::vector<const Registry::Key*>& subtree) const {
    ForeignKeys f;
    std::unordered_set<const Key*> all(subtree.begin(), subtree.end()), mine;
    for (const Key* k : subtree)
        if (foreign(k)) mine.insert(k);
    f.count = mine.size();
    std::vector<std::string> what, tops;
    std::set<std::string> seen;
    std::map<std::string, std::set<long>> ports;
    for (const Key* k : subtree) {
        if (!mine.count(k)) continue;
        // Below the sub-tree's top, which its own line names.
        if (all.count(k->parent) && !mine.count(k->parent)) tops.push_back(nameOf(k));
        auto it = said_.find(k);
        if (it == said_.end()) continue;
        std::string device = it->second.device;
        // Spelt as the interface keys spell their device: Root#RDPDR#0000.
        const CodePage& cp = activeCodePage();
        for (size_t at = cp.findSeparator(device.data(), device.size()); at < device.size();
             at = cp.findSeparator(device.data(), device.size(), at + 1))
            device[at] = '#';
        if (!device.empty() && seen.insert(upper(device)).second) what.push_back(device);
        if (it->second.portNumber >= 0)
            ports[it->second.portBase].insert(it->second.portNumber);
        else if (!it->second.portBase.empty() && seen.insert(upper(it->second.portBase)).second)
            what.push_back(it->second.portBase);
    }
    for (const auto& p : ports) what.push_back(portRuns(p.first, p.second));
    if (what.empty()) what = tops;
    for (size_t i = 0; i < what.size() && i < kWhatShown; ++i) f.what += (i ? " " : "") + what[i];
    if (what.size() > kWhatShown)
        f.what += " and " + std::to_string(what.size() - kWhatShown) + " more";
    return f;
}

}  // namespace simwin
