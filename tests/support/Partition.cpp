#include "Partition.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "model/codepage.h"
#include "imports/hive.h"
#include "image/regfile.h"
#include "model/registry.h"

namespace fs = std::filesystem;

namespace testsupport {

namespace {

void put16(std::string& s, size_t at, uint32_t v) {
    s[at] = static_cast<char>(v), s[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& s, size_t at, uint32_t v) { put16(s, at, v), put16(s, at + 2, v >> 16); }

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The entry of `dir` named `name` without case, made when there is none.
std::string entry(const std::string& dir, const std::string& name) {
    for (auto& e : fs::directory_iterator(dir))
        if (simwin::iequals(e.path().filename().string(), name)) return e.path().string();
    fs::create_directory(dir + "/" + name);
    return dir + "/" + name;
}

}  // namespace

std::map<std::string, std::string> cregDump(const std::string& path) {
    std::map<std::string, std::string> d;
    FILE* p = ::popen(("cregexport '" + path + "' 2>&1").c_str(), "r");
    std::string key, line;
    for (char buf[4096]; p && std::fgets(buf, sizeof buf, p);) {
        line = buf;
        if (line.compare(0, 10, "Key path: ") == 0)
            d[key = simwin::upper(line.substr(10, line.size() - 11))];
        else if (line.compare(0, 5, "Key: ") != 0 && !key.empty())
            d[key] += line;
    }
    if (!p || ::pclose(p) != 0) return {};
    for (auto& [k, v] : d)  // the last key's lines end without a blank line
        while (!v.empty() && v.back() == '\n') v.pop_back();
    return d;
}

std::string cregFile(const simwin::Registry& r, const std::string& keyPath) {
    using Key = simwin::Registry::Key;
    struct Node {
        const Key* key;
        uint32_t parent, child = 0xFFFFFFFF, next = 0xFFFFFFFF;
        uint16_t id = 0, block = 0;
    };
    std::vector<Node> nodes{{r.find(keyPath), 0xFFFFFFFF}};
    auto offset = [](size_t i) { return static_cast<uint32_t>(0x20 + 28 * i); };
    for (size_t i = 0; i < nodes.size(); ++i) {  // breadth first: a key's children side by side
        const Key* k = nodes[i].key;
        uint32_t* link = &nodes[i].child;
        for (uint32_t c = 0; k && c < k->childCount; ++c) {
            if (k->children()[c]->deleted || k->children()[c]->isLink) continue;
            *link = offset(nodes.size());
            nodes.push_back({k->children()[c], offset(i)});
            link = &nodes.back().next;
        }
    }
    std::vector<std::string> blocks;
    std::string cur;
    uint32_t inBlock = 0;
    nodes[0].id = nodes[0].block = 0xFFFF;  // the root: no name, no values
    for (size_t i = 1; i < nodes.size(); ++i) {
        const Key* k = nodes[i].key;
        std::string name(k->name, k->nameLength);
        std::string e(20, '\0');
        e += name;
        for (uint32_t v = 0; v < k->valueCount; ++v) {
            const simwin::Registry::Value& val = k->values[v];
            std::string h(12, '\0');
            put32(h, 0, val.type), put16(h, 8, val.nameLength), put16(h, 10, val.dataLength);
            e += h + std::string(val.name, val.nameLength) +
                 std::string(reinterpret_cast<const char*>(val.data()), val.dataLength);
        }
        // A block holds key numbers 0-254, as 95 and 98 number them.
        if (!cur.empty() && (cur.size() + e.size() > 0xFFF0 || inBlock == 255))
            blocks.push_back(cur), cur.clear(), inBlock = 0;
        nodes[i].block = static_cast<uint16_t>(blocks.size());
        nodes[i].id = static_cast<uint16_t>(inBlock++);
        put32(e, 0, static_cast<uint32_t>(e.size())), put16(e, 4, nodes[i].id);
        put16(e, 6, nodes[i].block), put32(e, 8, static_cast<uint32_t>(e.size()));
        put16(e, 12, static_cast<uint32_t>(name.size())), put16(e, 14, k->valueCount);
        cur += e;
    }
    blocks.push_back(cur);
    // Padded as 95 and 98 pad it; libcreg reads the entries as an area past the header.
    std::string rgkn((0x20 + 28 * nodes.size() + 0x20 + 0xFFF) & ~size_t(0xFFF), '\0');
    rgkn.replace(0, 4, "RGKN");
    put32(rgkn, 4, static_cast<uint32_t>(rgkn.size())), put32(rgkn, 8, 0x20);
    // The padding is the key area's one free block, its list's head in the header.
    const uint32_t tail = offset(nodes.size());
    put32(rgkn, 12, tail), put32(rgkn, 16, 8);
    put32(rgkn, tail, 0x80000000), put32(rgkn, tail + 4, static_cast<uint32_t>(rgkn.size()) - tail);
    put32(rgkn, tail + 8, 0xFFFFFFFF);
    for (size_t i = 0; i < nodes.size(); ++i) {
        size_t at = offset(i);
        uint32_t hash = 0;
        for (size_t c = 0; i && c < nodes[i].key->nameLength; ++c)
            hash += static_cast<unsigned char>(std::toupper(nodes[i].key->name[c]));
        put32(rgkn, at + 4, hash), put32(rgkn, at + 8, 0xFFFFFFFF);
        put32(rgkn, at + 12, nodes[i].parent), put32(rgkn, at + 16, nodes[i].child);
        put32(rgkn, at + 20, nodes[i].next);
        put16(rgkn, at + 24, nodes[i].id), put16(rgkn, at + 26, nodes[i].block);
    }
    std::string file(0x20, '\0');
    file.replace(0, 4, "CREG");
    put16(file, 6, 1);  // version 1.0, as 95 and 98 write
    put32(file, 8, static_cast<uint32_t>(0x20 + rgkn.size()));
    put16(file, 16, static_cast<uint32_t>(blocks.size()));
    file += rgkn;
    // Block headers as 98 writes them: no free entry, the highest and lowest free key number.
    std::vector<uint32_t> low(blocks.size(), 0xFFFF), high(blocks.size(), 0);
    for (size_t i = 1; i < nodes.size(); ++i) {
        low[nodes[i].block] = std::min<uint32_t>(low[nodes[i].block], nodes[i].id);
        high[nodes[i].block] = std::max<uint32_t>(high[nodes[i].block], nodes[i].id);
    }
    for (size_t b = 0; b < blocks.size(); ++b) {
        std::string h(0x20, '\0');
        h.replace(0, 4, "RGDB");
        uint32_t size = static_cast<uint32_t>(0x20 + blocks[b].size());
        put32(h, 4, size), put16(h, 12, 8), put16(h, 14, static_cast<uint32_t>(b));
        put32(h, 16, 0xFFFFFFFF), put16(h, 20, high[b]), put16(h, 22, low[b] > 0 ? 0 : high[b] + 1);
        file += h + blocks[b];
    }
    return file;
}

void makePartition(const std::string& image, const std::string& root, bool nt,
                   const std::string& extraRegistry, unsigned codePage) {
    fs::create_directories(root);
    if (fs::exists(image + "/drive_c"))
        fs::copy(image + "/drive_c", root, fs::copy_options::recursive);
    std::string reg = read(image + "/registry.reg");
    if (reg.empty()) reg = "REGEDIT4\r\n";
    std::string added = "\r\n";
    if (nt) {
        for (size_t at; (at = reg.find("CurrentControlSet")) != std::string::npos;)
            reg.replace(at, 17, "ControlSet001");
        added +=
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
            "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n"
            "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n"
            "[HKEY_USERS\\.DEFAULT\\Control Panel\\Desktop]\r\n";
    } else {
        added +=
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
            "\"VersionNumber\"=\"4.10.2222\"\r\n\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n"
            "[HKEY_USERS\\.DEFAULT\\Control Panel\\Desktop]\r\n";
    }
    simwin::setActiveCodePage(simwin::CodePage::get(codePage, nt));
    simwin::Registry r;
    size_t body = reg.find('\n') + 1;
    simwin::loadRegFile(r, reg.substr(0, body) + added + extraRegistry + "\r\n" + reg.substr(body),
                        image + "/registry.reg");
    std::string windows = entry(root, "WINDOWS");
    if (!nt) {
        std::ofstream(windows + "/SYSTEM.DAT", std::ios::binary)
            << cregFile(r, "HKEY_LOCAL_MACHINE");
        std::ofstream(windows + "/USER.DAT", std::ios::binary) << cregFile(r, "HKEY_USERS");
        return;
    }
    std::string config = entry(entry(windows, "system32"), "config"), why;
    for (auto [name, key] : {std::pair{"SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM"},
                             {"SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE"},
                             {"DEFAULT", "HKEY_USERS\\.DEFAULT"}})
        if (!simwin::writeHive(config + "/" + name, name, r, key, why))
            throw std::runtime_error(why);
}

}  // namespace testsupport
