#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "Partition.h"
#include "TestImage.h"
#include "dot4sim/offline.h"
#include "image/image.h"
#include "imports/hive.h"
#include "model/iconv.h"
#include "model/codepage.h"
#include "model/machine.h"
#include "model/registry.h"

namespace fs = std::filesystem;
using testsupport::kHives;
using testsupport::slurp;
using testsupport::TestImage;

namespace {

const std::string kScenario = std::string(SOURCE_DIR) + "/tests/wine/scenarios/nt-whole-stack";

// Every file below `root` with its bytes: what "left as it was" compares.
std::map<std::string, std::string> contents(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() || e.is_symlink())
            out[fs::relative(e.path(), root).string()] = e.is_symlink() ? "->" : slurp(e.path());
    return out;
}

uint32_t u32(const std::string& b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
           static_cast<unsigned char>(b[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

template <typename Edit>
void patch(const std::string& file, Edit edit) {
    std::string bytes = slurp(file);
    edit(bytes);
    std::ofstream(file, std::ios::binary) << bytes;
}

// The sample XP machine as a partition, with Cyrillic names: characters code page 1252 lacks,
// for the warnings by key, and on NT two printers so named on Dot4 ports, which the program's
// A functions see as "????" and cannot reach.
struct XpPartition {
    TestImage scratch;
    std::string root = scratch.dir() + "/part", machine = scratch.dir() + "/m";
    std::string config = root + "/WINDOWS/SYSTEM32/config";

    explicit XpPartition(bool nt = true, const std::string& image = kScenario) {
        const std::string printers =
            "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\";
        testsupport::makePartition(
            image, root, nt,
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\xE6\xF3\xEA]\r\n\"\xEB\"=hex(7):41,00,00\r\n" +
                (nt ? "[" + printers + "\xCE\xF4\xE8\xF1]\r\n\"Port\"=\"Dot4_001\"\r\n[" +
                          printers + "\xD1\xF7\xB8\xF2]\r\n\"Port\"=\"Dot4_002\"\r\n"
                    : ""),
            1251);
    }
    TestImage::Result dot4sim(std::vector<std::string> args) { return scratch.cli(args); }
};

// Key paths of a hive as reglookup, a reader independent of libhivex, lists them.
std::set<std::string> reglookupKeys(const std::string& hive, bool ascii = true) {
    std::set<std::string> keys;
    FILE* p = ::popen(("reglookup -H -t KEY '" + hive + "' 2>/dev/null").c_str(), "r");
    char line[4096];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string s = line, key;
        s = s.substr(0, s.find(','));
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size()) {
                key += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                key += s[i] == '/' ? '\\' : s[i];
            }
        }
        if (key.size() > 1 && (!ascii || key.find_first_of("?\x80\x04") == std::string::npos))
            keys.insert(simwin::upper(key));  // its non-ASCII spelling is its own
    }
    if (p) ::pclose(p);
    return keys;
}

// The keys of a hive's part of an image, as reglookup spells them.
std::set<std::string> imageKeys(const std::string& image, const std::string& prefix) {
    std::set<std::string> keys;
    std::string text = slurp(image + "/registry.reg");
    if (text.compare(0, 2, "\xff\xfe") == 0)  // names the code page lacks: a 5.00 file
        text = simwin::Iconv("UTF-8", "UTF-16LE")
                   .convert(text.data() + 2, text.size() - 2, "?",
                            [](const char*, size_t) { return 2; });
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        std::string u = simwin::upper(l);
        if (u.compare(0, prefix.size() + 2, "[" + prefix + "\\") == 0)
            if (std::none_of(u.begin(), u.end(), [](char c) { return c == '?' || c & 0x80; }))
                keys.insert(u.substr(prefix.size() + 1, u.size() - prefix.size() - 2));
    }
    return keys;
}

TEST(Offline, ImportPreviewApplyAndUndoAnXpPartition) {
    XpPartition x;
    auto before = contents(x.root);
    auto r = x.dot4sim({"import", x.machine, "--root", x.root});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("derived: platform=2"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(x.machine + "/drive_c/WINDOWS/SYSTEM32/DRIVERS/Dot4.sys"));
    r = x.dot4sim({"preview", x.machine});
    ASSERT_EQ(r.status, 0) << r.err;
    // Named outside the code page: shown as they are, stays, and apply leaves them two keys.
    for (const char* printer : {"\\Printers\\Офис  (named", "\\Printers\\Счёт  (named"})
        EXPECT_NE(r.out.find(printer), std::string::npos) << r.out;

    // What the run does to a copy of the image is what apply must leave in the hives.
    fs::copy(x.machine, x.scratch.dir() + "/after", fs::copy_options::recursive);
    ASSERT_EQ(x.dot4sim({"run", x.scratch.dir() + "/after"}).status, 0);
    r = x.dot4sim(
        {"apply", x.machine, "--root", x.root, "--backup", x.scratch.dir() + "/b", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (auto [hive, prefix] : {std::pair{"SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM"},
                                {"SOFTWARE", "HKEY_LOCAL_MACHINE\\SOFTWARE"}}) {
        auto want = imageKeys(x.scratch.dir() + "/after", prefix);
        EXPECT_EQ(reglookupKeys(x.config + "/" + hive), want) << hive;
        EXPECT_NE(reglookupKeys(x.scratch.dir() + "/b/hives/" + hive), want) << hive;
    }
    // reglookup spells a name the code page lacks in its UTF-16LE bytes. The program's
    // RegCreateKeyExA of "????" made a key of that name beside them, as it would on NT.
    auto all = reglookupKeys(x.config + "/SYSTEM", false);
    auto utf16 = [](const char16_t* s) { return std::string(reinterpret_cast<const char*>(s), 8); };
    for (const std::string& name : {utf16(u"Офис"), utf16(u"Счёт"), std::string("????")})
        EXPECT_EQ(all.count(simwin::upper("\\CONTROLSET001\\CONTROL\\PRINT\\PRINTERS\\" + name)),
                  1u);
    std::set<std::string> left, kept;
    for (auto& [rel, bytes] : contents(x.root))
        if (rel.find("config/") == std::string::npos) left.insert(simwin::upper(rel));
    for (auto& [rel, bytes] : contents(x.scratch.dir() + "/after/drive_c"))
        if (rel.find("config/") == std::string::npos) kept.insert(simwin::upper(rel));
    EXPECT_EQ(left, kept);
    EXPECT_LT(left.size(), before.size() - 3);

    // Back byte for byte; a second undo changes nothing; a second apply sees the change.
    for (int i = 0; i < 2; ++i) {
        r = x.dot4sim({"undo", "--backup", x.scratch.dir() + "/b", "--root", x.root});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(contents(x.root), before) << r.out;
    }
    fs::remove(x.root + "/WINDOWS/SYSTEM/Dot4Mon.dll");
    r = x.dot4sim({"apply", x.machine, "--root", x.root, "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Dot4Mon.dll is gone"), std::string::npos) << r.err;

    // A root given through a link is followed there; a backup apply left inside the partition,
    // whatever its name, is no part of the next image.
    fs::copy(x.scratch.dir() + "/b", x.root + "/saved", fs::copy_options::recursive);
    fs::create_directory_symlink(x.root, x.scratch.dir() + "/link");
    r = x.dot4sim({"import", x.scratch.dir() + "/again", "--root", x.scratch.dir() + "/link"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("saved is a backup of dot4sim apply"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(x.scratch.dir() + "/again/drive_c/saved"));
}

TEST(Offline, A98PartitionPreviewsAsItsImageDoes) {
    const std::string image = std::string(SOURCE_DIR) + "/tests/wine/scenarios/w98-whole-stack";
    XpPartition x(false, image);
    auto r = x.dot4sim({"import", x.machine, "--root", x.root});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("derived: platform=1"), std::string::npos) << r.out;
    fs::copy(image, x.scratch.dir() + "/source", fs::copy_options::recursive);
    std::string json[2];
    for (int i = 0; i < 2; ++i) {
        std::string file = x.scratch.dir() + "/" + std::to_string(i) + ".json";
        ASSERT_EQ(
            x.dot4sim({"preview", i ? x.scratch.dir() + "/source" : x.machine, "--json", file})
                .status,
            0);
        json[i] = slurp(file);
        json[i] = json[i].substr(json[i].find("\"keys_deleted\""));
        json[i] = json[i].substr(0, json[i].find("\"keys_created\""));  // the version key is new
    }
    EXPECT_EQ(json[0], json[1]);
    EXPECT_GT(json[0].size(), 200u);
}

// Apply on 95/98 partitions (the sample, and the real Windows Me registry, which has no stack
// but where the run still deletes and creates keys): libcreg finds in SYSTEM.DAT and USER.DAT
// exactly what the run leaves in the image's registry, every key and value; undo puts the
// partition back byte for byte.
TEST(Offline, A98PartitionAppliesAsItsImageRunsAndUndoesByteForByte) {
    const std::string me = std::string(SOURCE_DIR) + "/../shared/hives/dfwinreg/";
    for (bool real : {false, true}) {
        XpPartition x(false, std::string(SOURCE_DIR) + "/tests/wine/scenarios/w98-whole-stack");
        if (real)
            for (const char* f : {"SYSTEM.DAT", "USER.DAT"})
                fs::copy_file(me + f, x.root + "/WINDOWS/" + f,
                              fs::copy_options::overwrite_existing);
        std::ofstream(x.root + "/WINDOWS/WININIT.INI") << "[rename]\r\nNUL=C:\\OLD.TXT\r\n";
        ASSERT_EQ(x.dot4sim({"import", x.machine, "--root", x.root}).status, 0) << real;
        const auto before = contents(x.root);
        const std::string after = x.scratch.dir() + "/after";
        fs::copy(x.machine, after, fs::copy_options::recursive);
        ASSERT_EQ(x.dot4sim({"run", after}).status, 0);
        auto r = x.dot4sim(
            {"apply", x.machine, "--root", x.root, "--backup", x.scratch.dir() + "/b", "--yes"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        simwin::setActiveCodePage(simwin::CodePage::get(1252, false));
        auto m = simwin::loadImage(after);
        for (auto [file, root] :
             {std::pair{"SYSTEM.DAT", "HKEY_LOCAL_MACHINE"}, {"USER.DAT", "HKEY_USERS"}}) {
            const std::string want = x.scratch.dir() + "/want.dat";
            std::ofstream(want, std::ios::binary) << testsupport::cregFile(*m->run.registry, root);
            auto got = testsupport::cregDump(x.root + "/WINDOWS/" + file);
            EXPECT_FALSE(got.empty()) << file;
            EXPECT_TRUE(got == testsupport::cregDump(want)) << real << " " << file;
        }
        EXPECT_NE(contents(x.root), before);
        // Offline nothing is loaded: the run leaves nothing to WININIT.INI, which stays as it was.
        EXPECT_EQ(contents(x.root)["WINDOWS/WININIT.INI"], before.at("WINDOWS/WININIT.INI"));
        r = x.dot4sim({"undo", "--backup", x.scratch.dir() + "/b", "--root", x.root});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contents(x.root) == before) << real;
    }
    // Refused, nothing changed: a file whose structure the writer does not know (a checksum in
    // its header), and a partition mounted read-only.
    XpPartition x(false);
    patch(x.root + "/WINDOWS/SYSTEM.DAT", [](std::string& b) { b[12] = 1; });
    ASSERT_EQ(x.dot4sim({"import", x.machine, "--root", x.root}).status, 0);
    const auto before = contents(x.root);
    auto r = x.dot4sim({"apply", x.machine, "--root", x.root, "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SYSTEM.DAT: a structure the writer does not know"), std::string::npos)
        << r.err;
    const std::string ro = x.scratch.dir() + "/ro";
    fs::create_directory(ro);
    if (std::system(("mount --bind '" + x.root + "' '" + ro + "' && mount -o remount,ro,bind '" +
                     ro + "' 2>/dev/null")
                        .c_str()) == 0) {
        r = x.dot4sim({"apply", x.machine, "--root", ro, "--yes"});
        std::system(("umount '" + ro + "'").c_str());
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("read-only"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(contents(x.root) == before);
}

// A real Windows 10 SYSTEM hive that was not saved cleanly, with the logs Windows wrote: apply
// writes it recovered, with the run's changes, and clean; its logs, stale over the new hive, go
// into the backup; undo puts hive and logs back byte for byte.
TEST(Offline, ADirtyHiveIsAppliedAsItsLogsRecoverIt) {
    XpPartition x;
    const std::string hives = std::string(SOURCE_DIR) + "/../shared/hives/regipy/";
    for (const char* f : {"SYSTEM", "SYSTEM.LOG1", "SYSTEM.LOG2"})
        ASSERT_EQ(std::system(("xz -dc '" + hives +
                               (f[6] ? "SYSTEM_B" + std::string(f + 6) : "SYSTEM_B") + ".xz' > '" +
                               x.config + "/" + f + "'")
                                  .c_str()),
                  0);
    auto r = x.dot4sim({"import", x.machine, "--root", x.root});
    ASSERT_EQ(r.status, 0) << r.err;
    // One warning a value, and bytes past a string's end in one line.
    EXPECT_LT(std::count(r.err.begin(), r.err.end(), '\n'), 25) << r.err;
    EXPECT_NE(r.err.find("values hold them"), std::string::npos) << r.err;
    const auto before = contents(x.root);
    const std::string after = x.scratch.dir() + "/after";
    fs::copy(x.machine, after, fs::copy_options::recursive);
    ASSERT_EQ(x.dot4sim({"run", after}).status, 0);
    r = x.dot4sim(
        {"apply", x.machine, "--root", x.root, "--backup", x.scratch.dir() + "/b", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("recovered: "), std::string::npos) << r.out;
    const std::string system = slurp(x.config + "/SYSTEM");
    EXPECT_EQ(u32(system, 4), u32(system, 8));  // clean
    EXPECT_FALSE(fs::exists(x.config + "/SYSTEM.LOG1") || fs::exists(x.config + "/SYSTEM.LOG2"));
    EXPECT_EQ(reglookupKeys(x.config + "/SYSTEM"), imageKeys(after, "HKEY_LOCAL_MACHINE\\SYSTEM"));
    ASSERT_EQ(x.dot4sim({"undo", "--backup", x.scratch.dir() + "/b", "--root", x.root}).status, 0);
    EXPECT_TRUE(contents(x.root) == before);
}

// A failure at each step of apply leaves the old partition; a kill there, then the next apply or
// undo, leaves the old or the new one, and nothing of the transaction behind.
TEST(Offline, AFailureOrAKillAtAnyStepLeavesTheOldOrTheNewPartition) {
    for (bool nt : {true, false}) {
        XpPartition x(nt);
        ASSERT_EQ(x.dot4sim({"import", x.machine, "--root", x.root}).status, 0);
        const std::string pristine = x.scratch.dir() + "/pristine", b = x.scratch.dir() + "/b";
        ASSERT_EQ(std::system(("cp -a '" + x.root + "' '" + pristine + "'").c_str()), 0);
        auto reset = [&] {
            fs::remove_all(x.root), fs::remove_all(b), fs::remove_all(b + "2");
            return std::system(("cp -a '" + pristine + "' '" + x.root + "'").c_str()) == 0;
        };
        const auto before = contents(x.root);
        ASSERT_EQ(x.dot4sim({"apply", x.machine, "--root", x.root, "--backup", b, "--yes"}).status,
                  0);
        const auto after = contents(x.root);
        int status = -1;
        for (int step = 1; status != 0 && step < 200; ++step) {
            for (const char* how : {"DOT4SIM_FAIL_STEP", "DOT4SIM_KILL_STEP"}) {
                ASSERT_TRUE(reset());
                ::setenv(how, std::to_string(step).c_str(), 1);
                auto r = x.dot4sim({"apply", x.machine, "--root", x.root, "--backup", b, "--yes"});
                ::unsetenv(how);
                status = r.status;
                if (status == 0) break;
                if (how[8] == 'F') {
                    EXPECT_EQ(status, 1) << step << r.err;
                    EXPECT_TRUE(contents(x.root) == before) << step << r.err;
                    continue;
                }
                r = step % 2 ? x.dot4sim({"apply", x.machine, "--root", x.root, "--backup", b + "2",
                                          "--yes"})
                             : x.dot4sim({"undo", "--backup", b, "--root", x.root});
                auto now = contents(x.root);
                EXPECT_TRUE(now == before || now == after)
                    << "killed at " << step << r.out << r.err;
            }
        }
        EXPECT_EQ(status, 0);
    }
}

TEST(Offline, BadPartitionsAreRefusedByNameAndNothingIsMade) {
    TestImage elsewhere;
    const std::string outside = elsewhere.dir();
    struct Case {
        const char* why;
        std::function<void(XpPartition&)> spoil;
        std::string named;  // in the message
        bool nt = true;
    } cases[] = {
        {"truncated", [](XpPartition& x) { fs::resize_file(x.config + "/SYSTEM", 5000); },
         "SYSTEM"},
        {"checksum",
         [](XpPartition& x) {
             std::fstream f(x.config + "/SOFTWARE",
                            std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(100), f.put('x');
         },
         "SOFTWARE: corrupt"},
        {"not saved cleanly",
         [](XpPartition& x) {
             std::fstream f(x.config + "/DEFAULT", std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(4), f.put(7);
         },
         "DEFAULT: not saved cleanly"},
        {"another kind",
         [](XpPartition& x) {
             fs::copy_file(x.config + "/SOFTWARE", x.config + "/SYSTEM",
                           fs::copy_options::overwrite_existing);
         },
         "SYSTEM: a hive of another kind (SOFTWARE)"},
        {"no Select",
         [](XpPartition& x) {
             std::ofstream(x.config + "/SYSTEM", std::ios::binary) << simwin::emptyHive("SYSTEM");
         },
         "SYSTEM: not a SYSTEM hive: it has no Select key naming a control set"},
        {"a user's hive as SOFTWARE, its header naming nothing",
         [](XpPartition& x) {
             std::string b = slurp(x.config + "/DEFAULT");
             std::fill(b.begin() + 48, b.begin() + 48 + 64, '\0');
             uint32_t sum = 0;
             for (int i = 0; i < 127; ++i) sum ^= u32(b, 4 * i);
             for (int i = 0; i < 4; ++i) b[508 + i] = static_cast<char>(sum >> (8 * i));
             std::ofstream(x.config + "/SOFTWARE", std::ios::binary) << b;
         },
         "SOFTWARE: a hive of another kind (DEFAULT)"},
        {"95/98 file",
         [](XpPartition& x) { std::ofstream(x.config + "/SYSTEM") << "CREG\1\0\0\0"; }, "95/98"},
        {"no Windows", [](XpPartition& x) { fs::rename(x.root + "/WINDOWS", x.root + "/other"); },
         "no Windows"},
        // 95/98 files that libcreg would read wrong, or for minutes and gigabytes.
        {"keys sharing one data entry",
         [](XpPartition& x) {
             patch(x.root + "/WINDOWS/SYSTEM.DAT", [](std::string& b) {
                 for (size_t at = 0x40 + 28 * 2; u32(b, at + 12) != 0; at += 28)
                     b.replace(at + 24, 4, b.substr(0x40 + 28 + 24, 4));
             });
         },
         "SYSTEM.DAT: corrupt: two keys share one data entry", false},
        {"a value longer than its entry",
         [](XpPartition& x) {
             patch(x.root + "/WINDOWS/SYSTEM.DAT", [](std::string& b) {
                 size_t e = u32(b, 8) + 0x20;
                 while (u32(b, e + 12) >> 16 == 0) e += u32(b, e);  // an entry with values
                 b[e + 20 + (u32(b, e + 12) & 0xFFFF) + 10] = '\xFF';
             });
         },
         "SYSTEM.DAT: corrupt: a value is longer than its entry", false},
        {"a link back to the key area's header",
         [](XpPartition& x) {
             fs::copy_file(std::string(SOURCE_DIR) + "/../shared/hives/crafted/slow-SYSTEM.DAT",
                           x.root + "/WINDOWS/SYSTEM.DAT", fs::copy_options::overwrite_existing);
         },
         "SYSTEM.DAT: corrupt", false},
        {"two Windows",
         [](XpPartition& x) {
             fs::copy(x.root + "/WINDOWS", x.root + "/winnt", fs::copy_options::recursive);
         },
         "two Windows"},
        {"system32 twice",
         [](XpPartition& x) {
             fs::copy(x.root + "/WINDOWS/SYSTEM32", x.root + "/WINDOWS/system32",
                      fs::copy_options::recursive);
         },
         "holds both"},
        {"no USER.DAT", [](XpPartition& x) { fs::remove(x.root + "/WINDOWS/USER.DAT"); },
         "WINDOWS has no USER.DAT", false},
        {"hive links outside",
         [&](XpPartition& x) {
             fs::copy_file(x.config + "/SYSTEM", outside + "/SYSTEM");
             fs::remove(x.config + "/SYSTEM");
             fs::create_symlink(outside + "/SYSTEM", x.config + "/SYSTEM");
         },
         "SYSTEM is a link"},
    };
    for (const Case& c : cases) {
        XpPartition x(c.nt);
        c.spoil(x);
        auto before = contents(x.root);
        auto r = x.dot4sim({"import", x.machine, "--root", x.root});
        EXPECT_EQ(r.status, 2) << c.why << r.out;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << c.why << ": " << r.err;
        EXPECT_FALSE(fs::exists(x.machine)) << c.why;
        EXPECT_EQ(contents(x.root), before) << c.why;
    }
    // Of two Windows directories, --windir takes one, and apply keeps to it.
    XpPartition x;
    fs::copy(x.root + "/WINDOWS", x.root + "/winnt", fs::copy_options::recursive);
    auto r = x.dot4sim({"import", x.machine, "--root", x.root, "--windir", "WINNT"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(x.machine + "/machine.ini").find("windir=WINNT"), std::string::npos);
    const auto hives = contents(x.config);
    r = x.dot4sim(
        {"apply", x.machine, "--root", x.root, "--backup", x.scratch.dir() + "/b", "--yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contents(x.config) == hives);
    EXPECT_NE(r.out.find("winnt/SYSTEM32/config/SYSTEM:"), std::string::npos) << r.out;
}

TEST(Offline, ApplyAndUndoRefuseWhatTheyCannotDoSafely) {
    XpPartition x;
    fs::create_symlink("/etc", x.root + "/WINDOWS/outside");  // listed never, followed never
    auto r = x.dot4sim({"import", x.machine, "--root", x.root});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("outside is a link"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(x.machine + "/drive_c/WINDOWS/outside"));
    auto before = contents(x.root);
    fs::create_directory(x.scratch.dir() + "/exists");
    const std::string b = x.scratch.dir() + "/b";
    std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
        {{"apply", x.machine, "--root", x.root, "--backup", x.scratch.dir() + "/exists", "--yes"},
         "exists"},
        {{"apply", x.scratch.dir(), "--root", x.root, "--yes"}, "machine.ini"},
        {{"undo", "--backup", x.scratch.dir() + "/exists", "--root", x.root}, "manifest"},
        {{"apply", x.machine, "--yes"}, "--root"},
    };
    for (auto& [args, named] : refusals) {
        r = x.dot4sim(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
        EXPECT_EQ(contents(x.root), before);
    }
    // A hive changed with its size and time kept is seen by its hash.
    const std::string system = slurp(x.config + "/SYSTEM");
    const auto mtime = fs::last_write_time(x.config + "/SYSTEM");
    patch(x.config + "/SYSTEM", [](std::string& b) { b[b.size() - 1] ^= 1; });
    fs::last_write_time(x.config + "/SYSTEM", mtime);
    r = x.dot4sim({"apply", x.machine, "--root", x.root, "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SYSTEM has another size, time or content"), std::string::npos) << r.err;
    patch(x.config + "/SYSTEM", [&](std::string& b) { b = system; });
    fs::last_write_time(x.config + "/SYSTEM", mtime);
    before = contents(x.root);
    // A backup disk that fills up: said as such, and nothing changed.
    const std::string full = x.scratch.dir() + "/full";
    fs::create_directory(full);
    if (std::system(("mount -t tmpfs -o size=16k tmpfs '" + full + "' 2>/dev/null").c_str()) == 0) {
        r = x.dot4sim({"apply", x.machine, "--root", x.root, "--backup", full + "/b", "--yes"});
        std::system(("umount '" + full + "'").c_str());
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
        EXPECT_TRUE(contents(x.root) == before);
    }
    // Declined: nothing changes. Then an undo whose backup lost a file refuses before starting.
    std::istringstream no("n\n");
    std::ostringstream out, err;
    EXPECT_EQ(simwin::applyMain({x.machine, "--root", x.root, "--backup", b}, no, out, err), 1);
    EXPECT_EQ(contents(x.root), before);
    ASSERT_EQ(x.dot4sim({"apply", x.machine, "--root", x.root, "--backup", b, "--yes"}).status, 0);
    auto applied = contents(x.root);
    // Each damage to the backup, or a backup of another partition, is refused before anything
    // changes.
    XpPartition other;
    std::ofstream(other.config + "/SYSTEM", std::ios::app) << "another machine";
    const std::string dll = "/files/WINDOWS/SYSTEM/Dot4Mon.dll";
    const std::string manifest = slurp(b + "/manifest");
    struct Damage {
        const char* named;
        std::function<void(const std::string&)> spoil;
        std::string root;
    } damages[] = {
        {"not of", [](const std::string&) {}, other.root},
        {"not the copy", [&](const std::string& c) { fs::remove(c + dll); }, x.root},
        {"not the copy", [&](const std::string& c) { fs::resize_file(c + "/hives/SYSTEM", 4096); },
         x.root},
        {"not the copy",
         [&](const std::string& c) {
             std::fstream f(c + dll, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(0), f.put('m');
         },
         x.root},
        {"a link",
         [&](const std::string& c) {
             fs::remove(c + dll), fs::create_symlink(x.root + "/WINDOWS/win.ini", c + dll);
         },
         x.root},
        {"damaged",
         [&](const std::string& c) {
             std::ofstream(c + "/manifest")
                 << manifest.substr(0, manifest.find("\nfile\t")) +
                        manifest.substr(manifest.find('\n', manifest.find("\nfile\t") + 1));
         },
         x.root},
    };
    for (const Damage& d : damages) {
        const std::string copy = x.scratch.dir() + "/damaged";
        fs::remove_all(copy);
        fs::copy(b, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        d.spoil(copy);
        auto otherBefore = contents(other.root);
        r = x.dot4sim({"undo", "--backup", copy, "--root", d.root});
        EXPECT_EQ(r.status, 2) << d.named << r.out;
        EXPECT_NE(r.err.find(d.named), std::string::npos) << r.err;
        EXPECT_TRUE(contents(x.root) == applied && contents(other.root) == otherBefore) << d.named;
    }
    // Windows wrote to a hive since: undo asks, and puts the saved hive back only when told.
    std::ofstream(x.config + "/SYSTEM", std::ios::app) << "written by Windows";
    applied = contents(x.root);
    std::istringstream declined("n\n");
    EXPECT_EQ(simwin::undoMain({"--backup", b, "--root", x.root}, declined, out, err), 1);
    EXPECT_NE(out.str().find("Windows has written to it"), std::string::npos) << out.str();
    EXPECT_TRUE(contents(x.root) == applied);
    EXPECT_EQ(x.dot4sim({"undo", "--backup", b, "--root", x.root, "--yes"}).status, 0);
    EXPECT_TRUE(contents(x.root) == before);
}

}  // namespace
