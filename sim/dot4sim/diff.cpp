// dot4sim diff: what changed between two machine images, read with simwin's own loaders.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "model/codepage.h"
#include "model/drives.h"
#include "image/image.h"
#include "image/imagefacts.h"
#include "model/registry.h"
#include "dot4sim/runner.h"

namespace simwin {

namespace {

const char* const kDiffHelp =
    "usage: dot4sim diff BEFORE AFTER [--json FILE]\n"
    "\n"
    "Shows what changed from the machine image BEFORE to AFTER: keys deleted (each sub-tree\n"
    "once, with its size) and created, values and key classes changed, files and folders of\n"
    "the drives deleted, created or changed, and the work waiting for the restart\n"
    "(PendingFileRenameOperations on NT, wininit.ini [rename] on 95/98). Keys that only the\n"
    "file's layout tells apart are not changes: parents implied by a deeper key, and a\n"
    "CurrentControlSet tree beside the ControlSet00N that HKEY_LOCAL_MACHINE\\SYSTEM\\Select\n"
    "names (that control set is compared).\n"
    "\n"
    "  --json FILE  also write the changes as a JSON object\n"
    "\n"
    "Names are printed in UTF-8, converted from the machine's code page.\n"
    "\n"
    "Exit status, as diff(1): 0 when the images are the same, 1 when they differ, 2 for a bad\n"
    "command line, an image that cannot be loaded, or a FILE that cannot be written.\n";

// The images' code page: names leave it for UTF-8 once, on output.
unsigned codepage = 1252;

std::string js(const std::string& s) { return jsonString(s, codepage); }
std::string jl(const std::vector<std::string>& v) { return jsonList(v, codepage); }

struct View {
    std::unique_ptr<Machine> m;
    std::map<std::string, const Registry::Key*> keys;  // upper-cased path
    PathSet files, folders;
    std::map<std::string, std::pair<uint64_t, int64_t>> stamps;  // size and time of each file
    std::vector<PendingOperation> pending;
};

// As registry.reg quotes it.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string valueName(const std::string& n) { return n.empty() ? "@" : quoted(n); }

std::string showValue(const Registry::Value& v) {
    std::string data(reinterpret_cast<const char*>(v.data()), v.dataLength);
    auto text = [](std::string s) {
        while (!s.empty() && s.back() == '\0') s.pop_back();
        return quoted(s);
    };
    char buf[16];
    switch (v.type) {
        case REG_SZ:
            return text(data);
        case REG_EXPAND_SZ:
            return "expand:" + text(data);
        case REG_DWORD:
            if (data.size() == 4) {
                unsigned n = 0;
                for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(data[i]);
                std::snprintf(buf, sizeof buf, "dword:%08x", n);
                return buf;
            }
            break;
        case REG_MULTI_SZ: {
            std::string out = "[", cur;
            bool first = true;
            size_t end = data.size();
            while (end > 0 && data[end - 1] == '\0') --end;
            for (size_t i = 0; i <= end; ++i) {
                if (i < end && data[i]) {
                    cur += data[i];
                    continue;
                }
                out += (first ? "" : ", ") + text(cur);
                first = false;
                cur.clear();
            }
            return end == 0 ? "[]" : out + "]";
        }
        default:
            break;
    }
    std::string out = v.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(v.type) + "):";
    for (size_t i = 0; i < data.size() && i < 32; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", static_cast<unsigned char>(data[i]));
        out += buf;
    }
    if (data.size() > 32) out += ",... (" + std::to_string(data.size()) + " bytes)";
    return out;
}

bool sameValue(const Registry::Value& a, const Registry::Value& b) {
    return a.type == b.type && a.dataLength == b.dataLength &&
           std::equal(a.data(), a.data() + a.dataLength, b.data());
}

std::string classText(const Registry& r, const Registry::Key* k) {
    const char* c = r.classOf(k);
    return c ? "\"" + std::string(c) + "\"" : "(none)";
}

// A key's identity across two images: its path, and on NT the exact names on it, so that two
// keys whose names the code page cannot hold stay two.
std::string identity(const Registry& r, const Registry::Key* k) {
    std::string id = upper(r.path(k));
    for (; k; k = k->parent)
        if (const std::string* e = r.exactName(k)) id += '\0' + upper(*e);
    return id;
}

// The value of `k` that is `v` of the other image: by its exact name where it has one.
const Registry::Value* counterpart(const Registry& r, const Registry::Key* k, const Registry& of,
                                   const Registry::Value& v) {
    const std::string* exact = of.exactName(v);
    return exact ? r.findExactValue(k, *exact) : r.findValue(k, v.name, v.nameLength);
}

void addKeys(View& v, const Registry::Key* k) {
    const Registry& r = *v.m->run.registry;
    for (uint32_t i = 0; i < k->childCount; ++i) {
        const Registry::Key* c = k->children()[i];
        if (c->deleted || c->isLink) continue;  // the loader made CurrentControlSet a link
        v.keys[identity(r, c)] = c;
        addKeys(v, c);
    }
}

View load(const std::string& dir, std::vector<std::string>& warnings) {
    View v;
    std::ostringstream notes;
    v.m = loadImage(dir, notes);
    for (const std::string& l : lines(notes.str()))
        if (!l.empty()) warnings.push_back(warningText(l));
    const Registry& r = *v.m->run.registry;
    for (int i = 0; i < kRootCount; ++i)
        if (const Registry::Key* root = r.root(i)) addKeys(v, root);
    drivePaths(*v.m, v.files, v.folders);
    for (const auto& f : v.files) {
        FoundEntry e;
        ResolvedPath p = v.m->run.files->resolve(f.second, "C:\\");
        if (v.m->run.files->entry(p, e)) v.stamps[f.first] = {e.size, e.mtime};
    }
    v.pending = pendingOperations(*v.m);
    v.m->run.staging->discard();  // reading goes on; the lock goes, so BEFORE may be AFTER
    return v;
}

// The host file behind a drive's path as listed ("C:\\A\\b", spelt as on disk).
std::string hostFile(const View& v, const std::string& path) {
    // In UTF-8 every '\\' left is a separator.
    std::string host = v.m->run.files->driveRoot(path[0]);
    const std::string rest = activeCodePage().toHost(path.substr(2));
    for (char c : rest) host += c == '\\' ? '/' : c;
    return host;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Size and time decide when they agree, as a copy keeps them; otherwise the contents do.
bool sameFile(View& a, View& b, const std::string& u) {
    if (a.stamps[u] == b.stamps[u]) return true;
    if (a.stamps[u].first != b.stamps[u].first) return false;
    return slurp(hostFile(a, a.files[u])) == slurp(hostFile(b, b.files[u]));
}

std::string operation(const PendingOperation& op) {
    return op.target.empty() ? "delete " + op.source : "rename " + op.source + " to " + op.target;
}

std::string jsonOrNull(const std::string* s) { return s ? js(*s) : "null"; }

// Keys deleted, each sub-tree once, and keys created with what they hold.
void diffKeys(View& before, View& after, std::ostream& text, std::ostream& j) {
    const Registry& rb = *before.m->run.registry;
    const Registry& ra = *after.m->run.registry;

    PathSet kb, ka;
    for (const auto& k : before.keys) kb.emplace(k.first, rb.path(k.second));
    for (const auto& k : after.keys) ka.emplace(k.first, ra.path(k.second));

    auto deleted = subtrees(minus(kb, ka));
    j << "\n  \"keys_deleted\": [";
    for (size_t i = 0; i < deleted.size(); ++i) {
        const auto& d = deleted[i];
        text << "- [" << d.first << "]";
        if (d.second > 1) text << "  (" << d.second << " keys)";
        text << "\n";
        j << (i ? ", " : "") << "{\"key\": " << js(d.first) << ", \"keys\": " << d.second << "}";
    }
    std::vector<std::string> created = minus(ka, kb);
    j << "],\n  \"keys_created\": " << jl(created);
    std::vector<const Registry::Key*> createdKeys;
    std::set<std::string> createdSet;
    for (const auto& k : after.keys)
        if (!kb.count(k.first)) createdKeys.push_back(k.second), createdSet.insert(k.first);
    std::stable_sort(createdKeys.begin(), createdKeys.end(), [&](auto* x, auto* y) {
        const std::string a = ra.path(x), b = ra.path(y), ua = upper(a), ub = upper(b);
        return ua != ub ? ua < ub : a < b;
    });
    for (const Registry::Key* k : createdKeys) {
        const std::string c = ra.path(k);
        bool parentOnly = k->valueCount == 0 && !k->hasClass;
        if (parentOnly) {
            bool hasNewChild = false;
            for (uint32_t i = 0; i < k->childCount && !hasNewChild; ++i)
                hasNewChild = createdSet.count(identity(ra, k->children()[i])) > 0;
            if (hasNewChild) continue;  // implied by the deeper key
        }
        text << "+ [" << c << "]\n";
        if (k->hasClass) text << "+     class " << classText(ra, k) << "\n";
        for (uint32_t i = 0; i < k->valueCount; ++i)
            text << "+     " << valueName(k->values[i].name) << " = " << showValue(k->values[i])
                 << "\n";
    }
}

// Values and classes of the keys both hold; the restart list is shown on its own.
void diffValues(View& before, View& after, std::ostream& text, std::ostream& j) {
    const Registry& rb = *before.m->run.registry;
    const Registry& ra = *after.m->run.registry;
    std::string pendingKey = upper(kSessionManagerKey), pendingName = upper(kPendingValue);
    j << ",\n  \"values_changed\": [";
    std::ostringstream classes;
    bool firstValue = true, firstClass = true;
    for (const auto& kv : before.keys) {
        auto it = after.keys.find(kv.first);
        if (it == after.keys.end()) continue;
        const Registry::Key *kbk = kv.second, *kak = it->second;
        std::string path = ra.path(kak);
        std::string cb = classText(rb, kbk), ca = classText(ra, kak);
        if (cb != ca) {
            text << "~ [" << path << "] class: " << cb << " -> " << ca << "\n";
            classes << (firstClass ? "" : ", ") << "{\"key\": " << js(path)
                    << ", \"before\": " << (rb.classOf(kbk) ? js(rb.classOf(kbk)) : "null")
                    << ", \"after\": " << (ra.classOf(kak) ? js(ra.classOf(kak)) : "null") << "}";
            firstClass = false;
        }
        auto change = [&](const Registry::Value* vb, const Registry::Value* va) {
            const Registry::Value* any = vb ? vb : va;
            std::string name(any->name, any->nameLength);
            if (upper(name) == pendingName &&
                (kv.first == pendingKey ||
                 kv.first.find("\\CONTROL\\SESSION MANAGER") != std::string::npos))
                return;
            std::string sb = vb ? showValue(*vb) : "", sa = va ? showValue(*va) : "";
            if (!vb)
                text << "+ [" << path << "] " << valueName(name) << " = " << sa << "\n";
            else if (!va)
                text << "- [" << path << "] " << valueName(name) << " = " << sb << "\n";
            else
                text << "~ [" << path << "] " << valueName(name) << ": " << sb << " -> " << sa
                     << "\n";
            j << (firstValue ? "" : ", ") << "\n    {\"key\": " << js(path)
              << ", \"name\": " << js(name) << ", \"before\": " << jsonOrNull(vb ? &sb : nullptr)
              << ", \"after\": " << jsonOrNull(va ? &sa : nullptr) << "}";
            firstValue = false;
        };
        for (uint32_t i = 0; i < kbk->valueCount; ++i) {
            const Registry::Value& vb = kbk->values[i];
            const Registry::Value* va = counterpart(ra, kak, rb, vb);
            if (!va || !sameValue(vb, *va)) change(&vb, va);
        }
        for (uint32_t i = 0; i < kak->valueCount; ++i) {
            const Registry::Value& va = kak->values[i];
            if (!counterpart(rb, kbk, ra, va)) change(nullptr, &va);
        }
    }
    j << "],\n  \"classes_changed\": [" << classes.str() << "]";
}

void diffFiles(View& before, View& after, std::ostream& text, std::ostream& j) {
    auto listed = [&](const char* field, const char* mark, const std::vector<std::string>& v,
                      const char* suffix) {
        for (const std::string& s : v) text << mark << " " << s << suffix << "\n";
        j << ",\n  \"" << field << "\": " << jl(v);
    };
    listed("folders_deleted", "-", minus(before.folders, after.folders), "\\");
    listed("files_deleted", "-", minus(before.files, after.files), "");
    listed("folders_created", "+", minus(after.folders, before.folders), "\\");
    listed("files_created", "+", minus(after.files, before.files), "");
    std::vector<std::string> changed;
    for (const auto& f : before.files)
        if (after.files.count(f.first) && !sameFile(before, after, f.first))
            changed.push_back(after.files[f.first]);
    sortWithoutCase(changed);
    listed("files_changed", "~", changed, "");
}

// The work waiting for the restart that AFTER added or took away.
void diffRestart(View& before, View& after, std::ostream& text, std::ostream& j) {
    std::set<PendingOperation> pb(before.pending.begin(), before.pending.end()),
        pa(after.pending.begin(), after.pending.end());
    std::vector<std::string> added, removed;
    for (const PendingOperation& op : after.pending)
        if (!pb.count(op)) added.push_back(operation(op));
    for (const PendingOperation& op : before.pending)
        if (!pa.count(op)) removed.push_back(operation(op));
    for (const std::string& s : removed) text << "- at the restart: " << s << "\n";
    for (const std::string& s : added) text << "+ at the restart: " << s << "\n";
    j << ",\n  \"restart_added\": " << jl(added) << ",\n  \"restart_removed\": " << jl(removed);
}

}  // namespace

int diffMain(const std::vector<std::string>& a, std::ostream& out, std::ostream& err) {
    std::vector<std::string> images;
    std::string json;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "--help" || a[i] == "-h") {
            out << kDiffHelp;
            return 0;
        } else if (a[i] == "--json") {
            const std::string* v = optionValue(a, i, "diff", "a file name", err);
            if (!v) return kStatusBadUsage;
            json = *v;
        } else if (!a[i].empty() && a[i][0] == '-') {
            err << "dot4sim diff: unknown option " << a[i] << "\n";
            return kStatusBadUsage;
        } else {
            images.push_back(a[i]);
        }
    }
    if (images.size() != 2) {
        err << "dot4sim diff: expected BEFORE and AFTER\n" << kDiffHelp;
        return kStatusBadUsage;
    }
    std::vector<std::string> warnings;
    View before, after;
    try {
        before = load(images[0], warnings);
        after = load(images[1], warnings);
    } catch (const std::exception& e) {
        err << "dot4sim diff: " << e.what() << "\n";
        return kStatusBadUsage;
    }
    codepage = after.m->config.system.codePage;
    std::ostringstream text, j;
    j << "{\n  \"codepage\": " << codepage << ",";
    diffKeys(before, after, text, j);
    diffValues(before, after, text, j);
    diffFiles(before, after, text, j);
    diffRestart(before, after, text, j);
    j << ",\n  \"warnings\": " << jl(warnings) << "\n}\n";

    for (const std::string& w : warnings)
        err << "dot4sim diff: warning: " << toUtf8(w, codepage) << "\n";
    std::string t = text.str();
    out << (t.empty() ? "no changes\n" : toUtf8(t, codepage));
    if (!json.empty()) {
        std::ofstream f(json, std::ios::binary | std::ios::trunc);
        f << j.str();
        f.flush();
        if (!f) {
            err << "dot4sim diff: cannot write " << json << "\n";
            return kStatusBadUsage;
        }
    }
    return t.empty() ? 0 : 1;
}

}  // namespace simwin
