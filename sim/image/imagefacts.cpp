#include "image/imagefacts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "model/codepage.h"
#include "model/iconv.h"
#include "model/drives.h"
#include "model/registry.h"

namespace simwin {

namespace {

void addKeys(const Registry& r, const Registry::Key* k, PathSet& out) {
    for (uint32_t i = 0; i < k->childCount; ++i) {
        const Registry::Key* c = k->children()[i];
        // The link is no key of its own: its keys are the control set's.
        if (c->deleted || c->isLink) continue;
        std::string p = r.path(c);
        out.emplace(upper(p), p);
        addKeys(r, c, out);
    }
}

void addFiles(const FileSystem& fs, const ResolvedPath& dir, PathSet& files, PathSet& folders) {
    for (const FoundEntry& e : fs.list(dir, "*")) {
        if (e.name == "." || e.name == "..") continue;
        if (!e.isDirectory) {
            files.emplace(upper(e.full), e.full);
            continue;
        }
        folders.emplace(upper(e.full), e.full);
        ResolvedPath sub = fs.resolve(e.full, "C:\\");
        addFiles(fs, sub, files, folders);
    }
}

// Every file below the folder `dir` of `fs`, as the drive spells it.
void filesBelow(const FileSystem& fs, const std::string& dir, PathSet& files) {
    PathSet folders;
    addFiles(fs, fs.resolve(dir, "C:\\"), files, folders);
}

std::string withoutNtPrefix(const std::string& p) {
    return p.compare(0, 4, "\\??\\") == 0 ? p.substr(4) : p;
}

}  // namespace

PathSet keyPaths(const Registry& r) {
    PathSet out;
    for (int i = 0; i < kRootCount; ++i)
        if (const Registry::Key* root = r.root(i)) addKeys(r, root, out);
    return out;
}

void drivePaths(const Machine& m, PathSet& files, PathSet& folders) {
    if (!m.run.files) return;
    for (char d = 'A'; d <= 'Z'; ++d) {
        // C: is there without its folder; a run may create files in it.
        if (d != 'C' && m.run.files->driveRoot(d).empty()) continue;
        ResolvedPath root = m.run.files->resolve(std::string(1, d) + ":\\", "C:\\");
        addFiles(*m.run.files, root, files, folders);
    }
}

DrivesAsLoaded::DrivesAsLoaded(const Machine& m) : files_(m.config.imageDir, staging_) {
    files_.setShortNames(m.config.shortNames);
}

std::string Spelling::file(const std::string& path) {
    ResolvedPath r = fs_.resolve(path, cwd_);
    if (r.error || !r.exists || r.isDirectory) return "";
    size_t cut = activeCodePage().rfindSeparator(r.full);
    if (cut == std::string::npos) return r.full;
    std::string dir = folder(r.full.substr(0, cut));
    return dir + (dir.back() == '\\' ? "" : "\\") + r.name;
}

std::string Spelling::folder(const std::string& full) {
    if (full.size() <= 3) return full;  // "C:" or "C:\\"
    std::string& spelt = folders_[upper(full)];
    if (!spelt.empty()) return spelt;
    size_t cut = activeCodePage().rfindSeparator(full);
    ResolvedPath r = fs_.resolve(full, "C:\\");
    std::string parent = folder(full.substr(0, cut == 2 ? 3 : cut));
    spelt = parent + (parent.back() == '\\' ? "" : "\\") +
            (r.error || !r.exists ? full.substr(cut + 1) : r.name);
    return spelt;
}

void changedFiles(const Machine& m, const DrivesAsLoaded& loaded, Spelling& was, Spelling& is,
                  PathSet& before, PathSet& after) {
    if (!m.run.files) return;
    for (const auto& change : m.run.files->changes()) {
        const std::string& path = change.first;
        if (path.size() <= 2) continue;  // a drive's root
        for (auto* side : {&loaded.files(), static_cast<const FileSystem*>(m.run.files.get())}) {
            PathSet& out = side == &loaded.files() ? before : after;
            ResolvedPath r = side->resolve(path, "C:\\");
            if (r.error || !r.exists) continue;
            if (!r.isDirectory) {
                out.emplace(upper(path), (side == &loaded.files() ? was : is).file(path));
                continue;
            }
            // A folder the run took away takes its files; one still there lists its own changes.
            ResolvedPath now = m.run.files->resolve(path, "C:\\");
            if (side == &loaded.files() && (now.error || !now.exists)) filesBelow(*side, path, out);
        }
    }
}

std::vector<PendingOperation> pendingOperations(const Machine& m) {
    std::vector<PendingOperation> out;
    if (m.config.isNT()) {
        const Registry& r = *m.run.registry;
        auto v = r.value(kSessionManagerKey, kPendingValue);
        if (!v || v->type != REG_MULTI_SZ) return out;
        std::vector<std::string> items;
        std::string cur;
        for (char c : v->bytes) {
            if (c) {
                cur += c;
                continue;
            }
            items.push_back(cur);
            cur.clear();
        }
        if (!cur.empty()) items.push_back(cur);
        for (size_t i = 0; i + 1 <= items.size(); i += 2) {
            if (items[i].empty()) continue;
            std::string target = i + 1 < items.size() ? items[i + 1] : "";
            const bool replace = !target.empty() && target[0] == '!';
            if (replace) target.erase(0, 1);
            out.push_back({withoutNtPrefix(items[i]), withoutNtPrefix(target), replace, ""});
        }
        return out;
    }
    if (!m.run.files) return out;
    ResolvedPath r = m.run.files->resolve(m.config.system.windowsDirectory + "\\wininit.ini",
                                          m.config.system.currentDirectory);
    std::string text;
    if (r.error || !r.exists || r.isDirectory || !m.run.files->readFile(r, text)) return out;
    bool inRename = false;
    for (const std::string& raw : lines(text)) {
        std::string line = trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            inRename =
                close != std::string::npos && iequals(trim(line.substr(1, close - 1)), "rename");
            continue;
        }
        size_t eq = line.find('=');
        if (!inRename || eq == std::string::npos) continue;
        std::string target = trim(line.substr(0, eq)), source = trim(line.substr(eq + 1));
        if (source.empty()) continue;
        out.push_back({source, iequals(target, "NUL") ? "" : target, false, line});
    }
    return out;
}

void sortWithoutCase(std::vector<std::string>& v) {
    std::sort(v.begin(), v.end(), [](const std::string& a, const std::string& b) {
        std::string ua = upper(a), ub = upper(b);
        return ua != ub ? ua < ub : a < b;
    });
}

std::vector<std::string> minus(const PathSet& a, const PathSet& b) {
    std::vector<std::string> out;
    for (const auto& e : a)
        if (!b.count(e.first)) out.push_back(e.second);
    sortWithoutCase(out);
    return out;
}

std::vector<std::pair<std::string, size_t>> subtrees(const std::vector<std::string>& sorted) {
    std::set<std::string> all;
    for (const std::string& p : sorted) all.insert(upper(p));
    std::vector<std::pair<std::string, size_t>> out;
    std::map<std::string, size_t> index;  // upper-cased top -> its place in `out`
    // The highest key of the set at or above `u`.
    auto topOf = [&](const std::string& u) {
        const CodePage& cp = activeCodePage();
        for (size_t cut = cp.findSeparator(u.data(), u.size()); cut < u.size();
             cut = cp.findSeparator(u.data(), u.size(), cut + 1))
            if (cut > 0 && all.count(u.substr(0, cut))) return u.substr(0, cut);
        return u;
    };
    for (const std::string& p : sorted) {
        std::string u = upper(p), top = topOf(u);
        if (top == u) {
            index[u] = out.size();
            out.emplace_back(p, 0);
        }
    }
    for (const std::string& p : sorted) {
        std::string u = upper(p), top = topOf(u);
        ++out[index[top]].second;
    }
    return out;
}

std::string toUtf8(const std::string& text, unsigned codepage) {
    bool ascii = true;
    for (unsigned char c : text) ascii &= c < 0x80;
    if (ascii) return text;
    Iconv known("UTF-8", "CP" + std::to_string(codepage));
    Iconv fallback("UTF-8", "CP1252");
    // A byte no character of the code page begins with stands as U+FFFD.
    return (known.ok() ? known : fallback)
        .convert(text.data(), text.size(), "\xef\xbf\xbd", [](const char*, size_t) { return 1; });
}

std::string pathUtf8(const Registry& r, const Registry::Key* key) {
    std::vector<const Registry::Key*> chain;
    for (; key; key = key->parent) chain.push_back(key);
    std::string out;
    for (size_t i = chain.size(); i-- > 0;) {
        if (i + 1 < chain.size()) out += '\\';
        const std::string* exact = r.exactName(chain[i]);
        out += exact ? *exact
                     : toUtf8(std::string(chain[i]->name, chain[i]->nameLength),
                              activeCodePage().number());
    }
    return out;
}

std::string outOfReach(const Registry& r, const Registry::Key* key) {
    for (; key; key = key->parent)
        if (r.exactName(key))
            return "named outside code page " + std::to_string(activeCodePage().number()) +
                   ": the program sees '?'s, which open nothing on NT";
    return "";
}

std::string jsonString(const std::string& text, unsigned codepage) {
    const std::string s = codepage ? toUtf8(text, codepage) : text;
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonList(const std::vector<std::string>& v, unsigned codepage) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + jsonString(v[i], codepage);
    return out + "]";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        pos = end + 1;
    }
    return out;
}

std::string warningText(std::string line) {
    for (const char* lead : {"dot4sim: ", "warning: "})
        if (line.compare(0, std::strlen(lead), lead) == 0) line.erase(0, std::strlen(lead));
    return line;
}

// The first argument of a traced call, as the program passed it.
bool tracedPath(const std::string& line, const std::string& function, std::string& path) {
    if (line.compare(0, function.size() + 2, function + "(\"") != 0) return false;
    path.clear();
    for (size_t i = function.size() + 2; i < line.size(); ++i) {
        if (line[i] == '"') return true;
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        path += line[i];
    }
    return false;
}

void liveKeys(const Registry::Key* k, std::vector<const Registry::Key*>& out) {
    for (uint32_t i = 0; i < k->childCount; ++i) {
        const Registry::Key* c = k->children()[i];
        if (c->deleted || c->isLink) continue;
        out.push_back(c);
        liveKeys(c, out);
    }
}

}  // namespace simwin
