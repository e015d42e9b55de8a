// dot4sim restart: the pending deletions of NT's Session Manager and of Windows 98's wininit.ini.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "TestImage.h"
#include "drive_view.h"
#include "model/drives.h"
#include "dot4sim/restart.h"
#include "model/registry.h"
#include "model/spooler.h"

namespace fs = std::filesystem;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

const char* const kSessionManager =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager";

std::string hex7(const std::string& bytes) {
    std::string out = "hex(7):";
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(bytes[i]));
        out += (i ? "," : "") + std::string(b);
    }
    return out;
}

}  // namespace

TEST(RestartNT, CarriesOutThePendingOperationsInProcess) {
    TestImage img;
    img.machineIni("[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=in_use\n");
    img.file("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "mon")
        .file("C:\\WINDOWS\\a.tmp", "a")
        .file("C:\\WINDOWS\\b.tmp", "old b")
        .file("C:\\keep.txt", "keep");
    img.directory("C:\\EMPTY");
    SimMachine sm(img);
    ASSERT_FALSE(DeleteFileA("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    ASSERT_TRUE(
        MoveFileExA("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\WINDOWS\\a.tmp", "C:\\WINDOWS\\b.tmp",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExA("C:\\EMPTY", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\never.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    simwin::restartMachine(sm.m());
    std::string root = "C:";
    EXPECT_FALSE(driveview::exists(root + "/WINDOWS/SYSTEM/Dot4Mon.dll"));
    EXPECT_FALSE(driveview::exists(root + "/WINDOWS/a.tmp"));
    EXPECT_TRUE(driveview::exists(root + "/WINDOWS/b.tmp"));
    EXPECT_FALSE(driveview::exists(root + "/EMPTY"));
    EXPECT_TRUE(driveview::exists(root + "/keep.txt"));
    EXPECT_FALSE(sm.m().run.registry->value(kSessionManager, "PendingFileRenameOperations"));
    EXPECT_EQ(sm.m().config.fileRule("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"), 0u);  // no longer in use
}

TEST(RestartNT, DotDotRestartsFromTheImageStayConfined) {
    TestImage img;
    const std::string z(1, '\0');
    std::string list = "\\??\\C:\\WINDOWS\\INF\\mirelc.inf" + z + z +
                       "\\??\\C:\\..\\..\\..\\outside.txt" + z + z +  // clamps to C:\outside.txt
                       "\\??\\UNC\\server\\share\\x" + z + z + z;
    img.registry(
        std::string(
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n") +
        "\"PendingFileRenameOperations\"=" + hex7(list) + "\r\n" + "\"Other\"=\"stays\"\r\n\r\n");
    img.file("C:\\WINDOWS\\INF\\mirelc.inf", "inf").file("C:\\WINDOWS\\INF\\mirelPrt.INF", "prt");
    img.file("C:\\outside.txt", "drive root");
    std::ofstream(img.dir() + "/outside.txt") << "image dir";
    auto r = img.restart();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\INF\\mirelc.inf"));
    EXPECT_TRUE(img.exists("C:\\WINDOWS\\INF\\mirelPrt.INF"));
    EXPECT_FALSE(img.exists("C:\\outside.txt"));
    EXPECT_TRUE(fs::exists(img.dir() + "/outside.txt"));
    std::string reg = img.registryText();
    EXPECT_EQ(reg.find("PendingFileRenameOperations"), std::string::npos);
    EXPECT_NE(reg.find("\"Other\"=\"stays\""), std::string::npos);
    // A second restart has nothing to do.
    EXPECT_EQ(img.restart().status, 0);
}

TEST(Restart98, CarriesOutWininitAndKeepsItAsBak) {
    TestImage img;
    img.machineIni("[system]\nplatform=1\n");
    img.file("C:\\WINDOWS\\wininit.ini",
             "[Settings]\r\nNUL=C:\\keep.txt\r\n"
             "[rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\r\n"
             "nul = C:\\WINDOWS\\INF\\mirelc.inf\r\n"
             "C:\\new.txt=C:\\old.txt\r\n"
             "NUL=C:\\..\\..\\escape.txt\r\n");
    img.file("C:\\WINDOWS\\wininit.bak", "older bak");
    img.file("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll").file("C:\\WINDOWS\\INF\\mirelc.inf");
    img.file("C:\\old.txt", "moved").file("C:\\keep.txt", "kept");
    std::ofstream(img.dir() + "/escape.txt") << "outside";
    std::string ini = img.readFile("C:\\WINDOWS\\wininit.ini");
    auto r = img.cli({"restart", img.dir()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\INF\\mirelc.inf"));
    EXPECT_EQ(img.readFile("C:\\new.txt"), "moved");
    EXPECT_FALSE(img.exists("C:\\old.txt"));
    EXPECT_EQ(img.readFile("C:\\keep.txt"), "kept");  // not in [rename]
    EXPECT_TRUE(fs::exists(img.dir() + "/escape.txt"));
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\wininit.ini"));
    EXPECT_EQ(img.readFile("C:\\WINDOWS\\wininit.bak"), ini);
}

TEST(Restart98, WithoutWininitNothingHappens) {
    TestImage img;
    img.machineIni("[system]\nplatform=1\n");
    img.file("C:\\WINDOWS\\x.dll", "x");
    ASSERT_EQ(img.restart().status, 0);
    EXPECT_TRUE(img.exists("C:\\WINDOWS\\x.dll"));
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\wininit.bak"));
}

TEST(Restart98, WininitLinesWithLongNamesAreLeftUndone) {
    TestImage img;
    img.machineIni("[system]\nplatform=1\n");
    img.file("C:\\WINDOWS\\INF\\OTHER\\Quillmark Other.inf", "o")
        .file("C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF", "u")
        .file("C:\\Program Files\\a.dll", "a")
        .file("C:\\WINDOWS\\wininit.ini",
              "[rename]\r\nNUL=C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF\r\n"
              "NUL=C:\\Program Files\\a.dll\r\nNUL=C:\\WINDOWS\\INF\\OTHER\\QUILLM~1.INF\r\n");
    auto r = img.restart();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "wininit.ini: NUL=C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF: left undone, "
        "WININIT ignores long names\n"
        "wininit.ini: NUL=C:\\Program Files\\a.dll: left undone, WININIT ignores long names\n");
    EXPECT_TRUE(img.exists("C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF"));
    EXPECT_TRUE(img.exists("C:\\Program Files\\a.dll"));
    EXPECT_FALSE(img.exists("C:\\WINDOWS\\INF\\OTHER\\Quillmark Other.inf"));  // by its alias
    EXPECT_TRUE(img.exists("C:\\WINDOWS\\wininit.bak"));
}

TEST(Restart98, WininitDeletesNoDirectoryAndRenamesOnlyWithinAVolume) {
    // {line, why WININIT leaves it undone or "", a path there after, a path gone after}
    const std::vector<std::vector<std::string>> lines = {
        {"NUL=C:\\DIR\\F.TXT", "", "C:\\DIR", "C:\\DIR\\F.TXT"},
        {"NUL=C:\\DIR", "moves and deletes files, not directories", "C:\\DIR", "C:\\NONE"},
        {"D:\\TO.TXT=C:\\FROM.TXT", "renames only within one volume", "C:\\FROM.TXT", "D:\\TO.TXT"},
        {"C:\\TO.TXT=C:\\FROM2.TXT", "", "C:\\TO.TXT", "C:\\FROM2.TXT"}};
    TestImage img;
    std::string ini = "[rename]\r\n", out;
    for (const auto& l : lines) {
        ini += l[0] + "\r\n";
        if (!l[1].empty()) out += "wininit.ini: " + l[0] + ": left undone, WININIT " + l[1] + "\n";
    }
    img.machineIni("[system]\nplatform=1\n").file("D:\\KEEP.TXT").file("C:\\DIR\\F.TXT");
    img.file("C:\\FROM.TXT").file("C:\\FROM2.TXT").file("C:\\WINDOWS\\wininit.ini", ini);
    auto r = img.restart();
    EXPECT_EQ(r.out, out) << r.err;
    for (const auto& l : lines) EXPECT_TRUE(img.exists(l[2]) && !img.exists(l[3])) << l[0];
}
