// The verdict on registries that Windows wrote: machines without the stack say so, and an XP
// machine with the stack planted names what the uninstall deletes that is not the stack's.
#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "TestImage.h"
#include "dot4sim/offline.h"
#include "image/regfile.h"
#include "imports/hive.h"
#include "model/codepage.h"

namespace fs = std::filesystem;
using testsupport::jsonField;
using testsupport::jsonStrings;
using testsupport::kHives;
using testsupport::slurp;
using testsupport::TestImage;

namespace {

// The NT Wine scenario's stack where an NT machine keeps it: the enumerators in the control
// set's Enum, which the program never reaches.
std::string stackText() {
    return std::regex_replace(slurp(SOURCE_DIR "/tests/wine/scenarios/nt-whole-stack/registry.reg"),
                              std::regex(R"(HKEY_LOCAL_MACHINE\\(System\\CurrentControlSet\\)?)"),
                              R"(HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\)");
}

// The keys of `text` below HKEY_LOCAL_MACHINE\SYSTEM added to the hive in place: every other
// byte stays as Windows wrote it.
void plant(const std::string& hive, const std::string& text) {
    simwin::setActiveCodePage(simwin::CodePage::get(1252, true));
    simwin::Registry r;
    simwin::loadRegFile(r, text, "stack.reg");
    hive_h* h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
    ASSERT_NE(h, nullptr);
    std::function<void(const simwin::Registry::Key*, hive_node_h)> add = [&](auto* k, auto node) {
        std::vector<simwin::HiveValue> values;
        for (uint32_t i = 0; i < k->valueCount; ++i) {
            const simwin::Registry::Value& v = k->values[i];
            std::string data(reinterpret_cast<const char*>(v.data()), v.dataLength);
            values.push_back({std::string(v.name, v.nameLength),
                              v.type == REG_SZ ? simwin::codePageToUtf16(data) : data, v.type});
        }
        EXPECT_TRUE(values.empty() || simwin::setHiveValues(h, node, values));
        for (uint32_t i = 0; i < k->childCount; ++i) {
            std::string name(k->children()[i]->name, k->children()[i]->nameLength);
            hive_node_h child = hivex_node_get_child(h, node, name.c_str());
            add(k->children()[i], child ? child : hivex_node_add_child(h, node, name.c_str()));
        }
    };
    add(r.find("HKEY_LOCAL_MACHINE\\SYSTEM"), hivex_root(h));
    EXPECT_EQ(hivex_commit(h, nullptr, 0), 0);
    hivex_close(h);
}

struct RealMachine {
    const char* name;
    const char* hive;  // SYSTEM (xz or not) of NT, SYSTEM.DAT of Me with its USER.DAT
    bool stack;
} const kMachines[] = {{"xp", "dfwinreg/SYSTEM", false},
                       {"win7", "regipy/SYSTEM.xz", false},
                       {"me", "dfwinreg/SYSTEM.DAT", false},
                       {"xp-with-stack", "dfwinreg/SYSTEM", true}};

// A partition around the real registry files; NT gets the SOFTWARE and DEFAULT import needs.
void makePartition(const RealMachine& m, const std::string& root) {
    const bool nt = std::string(m.hive).find(".DAT") == std::string::npos;
    const std::string dir = root + (nt ? "/WINDOWS/system32/config/" : "/WINDOWS/");
    fs::create_directories(dir);
    const std::string system = dir + (nt ? "SYSTEM" : "SYSTEM.DAT");
    ASSERT_EQ(std::system(("xz -dcf '" + kHives + m.hive + "' > '" + system + "'").c_str()), 0);
    for (const char* name : {"SOFTWARE", "DEFAULT"})
        if (nt) std::ofstream(dir + name, std::ios::binary) << simwin::emptyHive(name);
    if (!nt) fs::copy_file(kHives + "dfwinreg/USER.DAT", dir + "USER.DAT");
    if (m.stack) plant(system, stackText());
}

TEST(PreviewReal, TheVerdictComesFromTheStacksOwnTraces) {
    TestImage scratch;
    auto inHtml = [](const std::string& s) {
        return std::regex_replace(s, std::regex("'"), "&#39;");
    };
    std::vector<std::string> plainXp;  // what the uninstall deletes on XP without the stack
    for (const RealMachine& m : kMachines) {
        SCOPED_TRACE(m.name);
        const std::string root = scratch.dir() + "/" + m.name, image = root + ".image";
        makePartition(m, root);
        auto r = scratch.cli({"import", image, "--root", root});
        ASSERT_EQ(r.status, 0) << r.err;
        r = scratch.cli({"preview", image, "--json", root + ".json", "--html", root + ".html"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string json = slurp(root + ".json"), html = slurp(root + ".html");
        const auto deleted = jsonStrings(jsonField(json, "keys_deleted"));
        const auto foreign = jsonStrings(jsonField(json, "keys_deleted_foreign"));
        const auto stays = jsonStrings(jsonField(json, "stays"));
        const size_t at = r.out.find("\nverdict: ") + 10;
        const std::string verdict = r.out.substr(at, r.out.find('\n', at) - at);
        EXPECT_EQ(jsonField(json, "stack_found"), m.stack ? "true" : "false");
        const std::string inJson = std::regex_replace(verdict, std::regex(R"(\\)"), R"(\\)");
        EXPECT_NE(json.find("\"verdict\": \"" + inJson + "\""), std::string::npos) << json;
        EXPECT_NE(html.find(inHtml(verdict)), std::string::npos);
        EXPECT_EQ(verdict.find(m.stack ? "the Dot4 stack is here (" : "no trace of the Dot4 stack"),
                  0u);
        if (!m.stack) {
            EXPECT_FALSE(deleted.empty());
            EXPECT_EQ(foreign, deleted);
            EXPECT_TRUE(stays.empty());
            if (std::string(m.name) == "xp") plainXp = deleted;
            continue;
        }
        // Not the stack's: all that went on XP without it, but the class key that now holds it.
        std::vector<std::string> rdp;
        for (const std::string& k : plainXp)
            if (!std::regex_search(k, std::regex(R"(\\\{28d78fad-[^\\]*$)"))) rdp.push_back(k);
        EXPECT_EQ(foreign, rdp);
        const std::string summary =
            std::to_string(rdp.size()) + " of them not the stack's: Root#RDPDR#0000 TS001-TS010)\n";
        EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
        EXPECT_NE(html.find(inHtml(summary.substr(0, summary.size() - 2))), std::string::npos);
        const std::string stack = stackText();
        std::regex enumerator(R"(\\enum\\(DOT4[^\\\]]*)\])", std::regex::icase);
        for (std::sregex_iterator i(stack.begin(), stack.end(), enumerator), end; i != end; ++i) {
            const std::string key =
                "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Enum\\" + (*i)[1].str();
            EXPECT_NE(std::find(stays.begin(), stays.end(), key), stays.end()) << key;
        }
        EXPECT_NE(verdict.find("; stays: Enum\\DOT4, "), std::string::npos) << verdict;  // on NT
        // apply shows the same before it asks.
        std::istringstream no("n\n");
        std::ostringstream out, err;
        EXPECT_EQ(simwin::applyMain({image, "--root", root}, no, out, err), 1) << err.str();
        EXPECT_NE(out.str().find(summary), std::string::npos) << out.str();
        for (const std::string& k : stays)
            EXPECT_NE(out.str().find("\n  " + k + "\n"), std::string::npos) << out.str();
    }
}

}  // namespace
