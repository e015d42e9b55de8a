// Dirty hives recovered from their logs, checked against what Windows itself made of the same
// files (yarp-logs: Windows 7 and Windows 10 recovered them), and damaged logs swept over.
#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Partition.h"
#include "TestImage.h"
#include "image/regfile.h"
#include "imports/hive.h"
#include "imports/hivelog.h"
#include "model/codepage.h"
#include "model/registry.h"

namespace fs = std::filesystem;
using namespace simwin;
using testsupport::kHives;
using testsupport::slurp;
using testsupport::TestImage;

namespace {

void spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
uint32_t u32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}
void put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void fixSum(std::string& b) {
    uint32_t x = 0;
    for (size_t i = 0; i < 508; i += 4) x ^= u32(b, i);
    put32(b, 508, x == 0 ? 1 : x == 0xFFFFFFFF ? 0xFFFFFFFE : x);
}

using Set = std::pair<std::string, std::string>;  // folder, hive
const Set kNew{"yarp-logs/NewDirtyHive1/", "NewDirtyHive"};
const Set kOld{"yarp-logs/OldDirtyHive/", "OldDirtyHive"};

std::vector<LogInput> logsOf(const std::string& dir, const std::string& hive) {
    std::vector<LogInput> logs;
    for (const char* suffix : {".LOG1", ".LOG2"})
        logs.push_back({hive + suffix, slurp(dir + hive + suffix)});
    return logs;
}
std::vector<LogInput> logsOf(const Set& s) { return logsOf(kHives + s.first, s.second); }

// A hive's keys and values as import reads them, as registry text.
std::string registryText(const std::string& bytes) {
    TestImage scratch;
    spit(scratch.dir() + "/SYSTEM", bytes);
    setActiveCodePage(CodePage::get(1252, true));
    Partition p;
    p.hives.push_back({"SYSTEM", scratch.dir() + "/SYSTEM", "HKEY_LOCAL_MACHINE\\SYSTEM"});
    Registry r;
    std::ostringstream warnings, err, out;
    EXPECT_TRUE(readHives(p, r, warnings, err)) << err.str();
    writeRegFile(r, out);
    return out.str();
}

}  // namespace

TEST(HiveLog, NewFormatGivesWindows10sRecoveryByteForByte) {
    const std::string windows = slurp(kHives + kNew.first + "RecoveredHive_Windows10");
    // NewDirtyHive2 holds the same logs over a primary file that has the first of them already.
    for (const char* dir : {"yarp-logs/NewDirtyHive1/", "yarp-logs/NewDirtyHive2/"}) {
        std::string hive = slurp(kHives + dir + kNew.second);
        RecoveryReport report;
        ASSERT_EQ(recoverHive(hive, logsOf(kHives + dir, kNew.second), report), "") << dir;
        EXPECT_EQ(hive.substr(4096, u32(windows, 40)), windows.substr(4096, u32(windows, 40)));
        std::string differs;
        for (size_t at = 0; at < 4096; at += 4)
            if (u32(hive, at) != u32(windows, at)) differs += " " + std::to_string(at);
        EXPECT_EQ(differs, "") << dir << ": base block fields at these offsets differ";
        EXPECT_TRUE(report.logs[1].applied) << report.summary();
    }
}

TEST(HiveLog, OldFormatGivesWindows7sKeysAndValues) {
    std::string hive = slurp(kHives + kOld.first + kOld.second);
    const std::string before = registryText(hive);
    RecoveryReport report;
    ASSERT_EQ(recoverHive(hive, logsOf(kOld), report), "");
    EXPECT_FALSE(hiveIsDirty(hive));
    EXPECT_EQ(registryText(hive),
              registryText(slurp(kHives + kOld.first + "RecoveredHive_Windows7")));
    EXPECT_NE(registryText(hive), before);
    EXPECT_NE(report.summary().find("OldDirtyHive.LOG2 (empty)"), std::string::npos);
}

TEST(HiveLog, Windows10SystemHiveRecoversAndReads) {
    TestImage scratch;
    const std::string dir = scratch.dir() + "/";
    for (const char* name : {"SYSTEM_B", "SYSTEM_B.LOG1", "SYSTEM_B.LOG2"})
        ASSERT_EQ(
            std::system(
                ("xz -dc '" + kHives + "regipy/" + name + ".xz' > '" + dir + name + "'").c_str()),
            0);
    std::string hive = slurp(dir + "SYSTEM_B");
    const std::string before = registryText(hive);
    RecoveryReport report;
    ASSERT_EQ(recoverHive(hive, logsOf(dir, "SYSTEM_B"), report), "");
    EXPECT_TRUE(report.logs[0].applied && report.logs[1].applied) << report.summary();
    EXPECT_GT(report.gapTo, report.gapFrom);  // Windows wrote earlier entries into the hive
    const std::string after = registryText(hive);
    EXPECT_NE(after, before);
    EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]"), std::string::npos);
}

// Each log damaged in each way, at many places: it is not applied (or only up to the damage),
// and its name is said with why.
TEST(HiveLog, DamagedLogsAreNotAppliedAndSaidByName) {
    for (const Set* set : {&kNew, &kOld}) {
        const std::string primary = slurp(kHives + set->first + set->second);
        const std::vector<LogInput> good = logsOf(*set);
        std::string recovered = primary;
        RecoveryReport whole;
        ASSERT_EQ(recoverHive(recovered, good, whole), "");
        for (size_t l = 0; l < good.size(); ++l) {
            const std::string& bytes = good[l].bytes;
            if (bytes.empty()) continue;
            auto refused = [&](const std::string& damaged, const char* why, size_t at) {
                std::vector<LogInput> logs = good;
                logs[l].bytes = damaged;
                std::string hive = primary;
                RecoveryReport r;
                std::string said = recoverHive(hive, logs, r);
                said += r.summary();
                EXPECT_LT(r.logs[l].pages, whole.logs[l].pages) << good[l].name << " " << at;
                EXPECT_NE(r.logs[l].why.find(why), std::string::npos)
                    << at << ": " << r.logs[l].why;
                EXPECT_TRUE(said.find(good[l].name) != std::string::npos &&
                            said.find(r.logs[l].why) != std::string::npos)
                    << said;
            };
            const size_t end = bytes.find_last_not_of('\0');
            for (size_t at = 1531; at < end; at += 1531)
                refused(bytes.substr(0, at), "truncated", at);
            for (size_t at = 4; at < 512; at += 7) {
                std::string b = bytes;
                b[at] ^= 0x5A;
                refused(b, "checksum", at);
            }
            // A new-format log's entries, off the signatures that begin them: both hashes.
            for (size_t at = 516; whole.newFormat && at < end; at += 509) {
                std::string b = bytes;
                b[at] ^= at % 512 < 4 ? 0 : 0x5A;
                if (b != bytes) refused(b, "hash", at);
            }
            for (int d = -3; d <= 3; ++d) {
                const uint32_t seq = u32(bytes, 4) + d;
                std::string b = bytes;
                put32(b, 4, seq), put32(b, 8, seq), fixSum(b);
                const bool fits =
                    !whole.newFormat && seq >= u32(primary, 8) && seq <= u32(primary, 4);
                if (!fits && b != bytes) refused(b, "sequence number", seq);
            }
        }
        // Another hive's logs: none fits, each said by name.
        std::string hive = primary;
        RecoveryReport r;
        const std::string why = recoverHive(hive, logsOf(set == &kNew ? kOld : kNew), r);
        EXPECT_EQ(hive, primary);
        for (const LogUse& u : r.logs)
            EXPECT_TRUE(u.why == "empty" ||
                        why.find(u.name + ": of another hive") != std::string::npos)
                << why;
    }
}

// import --root recovers SYSTEM from a new-format log beside it, leaves the partition as it was,
// refuses it by name without the log, and with --stale-hives reads it as it is, so recorded
// that the preview's verdict says so.
TEST(HiveLog, ImportRecoversADirtySystemHive) {
    TestImage scratch;
    const std::string root = scratch.dir() + "/part";
    testsupport::makePartition(std::string(SOURCE_DIR) + "/tests/wine/scenarios/nt-whole-stack",
                               root, true);
    std::string config;
    for (auto& e : fs::recursive_directory_iterator(root))
        if (e.path().filename() == "SYSTEM") config = e.path().parent_path().string();
    const std::string clean = slurp(config + "/SYSTEM");
    hive_h* h = hivex_open((config + "/SYSTEM").c_str(), HIVEX_OPEN_WRITE);
    ASSERT_TRUE(h && hivex_node_add_child(h, hivex_root(h), "Dot4Recovered"));
    ASSERT_EQ(hivex_commit(h, (scratch.dir() + "/later").c_str(), 0), 0);
    hivex_close(h);
    const std::string later = slurp(scratch.dir() + "/later");
    // The primary file as a crash left it: the write begun, its data only in the log.
    std::string dirty = clean;
    const uint32_t seq = u32(clean, 8), bins = u32(later, 40);
    put32(dirty, 4, seq + 1), fixSum(dirty);
    spit(config + "/SYSTEM", dirty);
    std::string log = dirty.substr(0, 512), entry = "HvLE" + std::string(44, '\0');
    put32(log, 4, seq), put32(log, 28, 6), fixSum(log);
    entry += later.substr(4096, bins);
    entry.resize((entry.size() + 511) / 512 * 512, '\0');
    put32(entry, 4, static_cast<uint32_t>(entry.size())), put32(entry, 12, seq);
    put32(entry, 16, bins), put32(entry, 20, 1), put32(entry, 44, bins);
    for (size_t at : {24, 32}) {  // the hash of the pages, then that of the header
        const uint64_t h = at == 24 ? marvin32(&entry[40], entry.size() - 40, kLogEntrySeed)
                                    : marvin32(&entry[0], 32, kLogEntrySeed);
        put32(entry, at, static_cast<uint32_t>(h)), put32(entry, at + 4, h >> 32);
    }
    spit(config + "/SYSTEM.LOG1", log + entry);
    spit(config + "/SYSTEM.LOG2", "");
    const auto partition = [&] {
        std::map<std::string, std::string> files;
        for (auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file()) files[e.path().string()] = slurp(e.path().string());
        return files;
    };
    const auto before = partition();
    const std::string m1 = scratch.dir() + "/m1", m2 = scratch.dir() + "/m2";
    auto r = scratch.cli({"import", m1, "--root", root});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("SYSTEM.LOG1 (1 log entry, 1 page"), std::string::npos) << r.out;
    EXPECT_NE(slurp(m1 + "/registry.reg").find("SYSTEM\\Dot4Recovered]"), std::string::npos);
    EXPECT_EQ(partition(), before);
    fs::remove(config + "/SYSTEM.LOG1");
    r = scratch.cli({"import", m2, "--root", root});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("SYSTEM: not saved cleanly"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("SYSTEM.LOG1 is missing"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(m2));
    r = scratch.cli({"import", m2, "--root", root, "--stale-hives"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(m2 + "/machine.ini").find("stale=SYSTEM\r\n"), std::string::npos);
    EXPECT_EQ(slurp(m2 + "/registry.reg").find("Dot4Recovered"), std::string::npos);
    r = scratch.cli({"preview", m2});
    EXPECT_NE(r.out.find("verdict: stale (SYSTEM "), std::string::npos) << r.out;
    EXPECT_EQ(scratch.cli({"preview", m1}).out.find("stale"), std::string::npos);
}
