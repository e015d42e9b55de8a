// The 95/98 registry file editor, checked by libcreg's own cregexport: after a random mix of
// deletions, new keys and changed values on real Windows Me files, every key the edits did not
// touch dumps exactly as before, and the others as they were asked for.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "Partition.h"
#include "TestImage.h"
#include "image/regfile.h"
#include "imports/creg.h"
#include "model/codepage.h"
#include "model/registry.h"

namespace {

using Dump = std::map<std::string, std::string>;  // key path (upper case) -> its values

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Dump cregexport(const std::string& bytes, const std::string& dir) {
    std::ofstream(dir + "/edited.dat", std::ios::binary) << bytes;
    Dump d = testsupport::cregDump(dir + "/edited.dat");
    EXPECT_FALSE(d.empty()) << "cregexport refuses the file";
    return d;
}

// What cregexport says of the values set through the editor, from one file that holds just them.
void expectValues(std::map<std::string, std::vector<simwin::creg::Value>>& asked, Dump& want,
                  const std::string& dir) {
    simwin::setActiveCodePage(simwin::CodePage::get(1252, false));
    simwin::Registry r;
    int n = 0;
    for (auto& [key, values] : asked) {
        const std::string name = "K" + std::to_string(n++);
        simwin::Registry::Key* k = r.createChild(r.root(0), name.data(), name.size());
        for (const auto& v : values)
            r.setValue(k, v.name.data(), v.name.size(), v.type,
                       reinterpret_cast<const unsigned char*>(v.data.data()), v.data.size());
    }
    Dump d = cregexport(testsupport::cregFile(r, "HKEY_CLASSES_ROOT"), dir);
    n = 0;
    for (auto& [key, values] : asked)
        if (want.count(key))
            want[key] = d["K" + std::to_string(n++)];
        else
            ++n;
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '\\');) out.push_back(part);
    return out;
}

TEST(CregEditor, EditsRealFilesSoThatLibcregReadsExactlyTheirEffect) {
    testsupport::TestImage scratch;
    std::mt19937 rng(98);
    for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
        const std::string original =
            slurp(std::string(SOURCE_DIR) + "/../shared/hives/dfwinreg/" + name);
        Dump want = cregexport(original, scratch.dir());
        ASSERT_GT(want.size(), 700u) << name;
        simwin::creg::Editor ed;
        ASSERT_EQ(ed.open(original), "") << name;
        std::map<std::string, std::vector<simwin::creg::Value>> asked;
        std::vector<std::string> keys;
        for (auto& [k, v] : want)
            if (!k.empty()) keys.push_back(k);
        for (int i = 0; i < 400; ++i) {
            const std::string& k = keys[rng() % keys.size()];
            if (!want.count(k)) continue;
            std::vector<simwin::creg::Value> values;
            for (unsigned v = rng() % 4; v > 0; --v)
                values.push_back({"v" + std::to_string(v),
                                  std::string(rng() % 3 == 0 ? 8000 + rng() % 12000 : rng() % 64,
                                              static_cast<char>('a' + v)),
                                  v == 2 ? 3u : 1u});
            switch (i % 5) {
                case 0:  // a sub-tree goes
                    ASSERT_EQ(ed.deleteKey(split(k)), "") << k;
                    for (auto it = want.lower_bound(k);
                         it != want.end() && it->first.compare(0, k.size(), k) == 0;)
                        it = it->first.size() == k.size() || it->first[k.size()] == '\\'
                                 ? want.erase(it)
                                 : std::next(it);
                    break;
                case 1:
                    ASSERT_EQ(ed.setValues(split(k), values), "") << k;
                    asked[k] = values;
                    break;
                default: {
                    const std::string added = k + "\\NEW" + std::to_string(i);
                    ASSERT_EQ(ed.createKey(split(added), values), "") << added;
                    want[added], asked[added] = values;
                    keys.push_back(added);
                }
            }
        }
        expectValues(asked, want, scratch.dir());
        Dump got = cregexport(ed.bytes(), scratch.dir());
        EXPECT_EQ(got.size(), want.size()) << name;
        for (auto& [k, v] : want) EXPECT_EQ(got[k], v) << name << " " << k;
        // Edited again, the file still holds together.
        simwin::creg::Editor again;
        EXPECT_EQ(again.open(ed.bytes()), "") << name;
    }
}

}  // namespace
