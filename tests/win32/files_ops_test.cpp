// DeleteFileA, MoveFileA, MoveFileExA, CreateDirectoryA and platformOpenFile on simwin's drives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "TestImage.h"
#include "drive_view.h"
#include "model/drives.h"
#include "model/registry.h"

namespace fs = std::filesystem;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

const char* const kSessionManager =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager";

// Runs one call and gives its last error, or 0 when it succeeded.
template <class F>
DWORD errorOf(F call) {
    SetLastError(0);
    return call() ? 0 : GetLastError();
}

std::string pending(SimMachine& sm) {
    auto v = sm.m().run.registry->value(kSessionManager, "PendingFileRenameOperations");
    if (!v) return "<none>";
    EXPECT_EQ(v->type, static_cast<DWORD>(REG_MULTI_SZ));
    return v->bytes;
}

class FileOps : public ::testing::Test {
  protected:
    FileOps() {
        img.machineIni(
            "[files]\n"
            "C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=in_use\n"
            "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll=read_only\n"
            "C:\\WINDOWS\\SYSTEM\\locked.dll=no_schedule\n");
        img.file("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "mon")
            .file("C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll", "rtl")
            .file("C:\\WINDOWS\\SYSTEM\\plain.dll", "plain")
            .file("C:\\WINDOWS\\INF\\mirelc.inf", "inf");
        sm = std::make_unique<SimMachine>(img);
        root = "C:";
    }
    bool onDrive(const std::string& rel) { return driveview::exists(root + "/" + rel); }

    TestImage img;
    std::unique_ptr<SimMachine> sm;
    std::string root;
};

}  // namespace

TEST_F(FileOps, DeleteFileErrors) {
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\dot4mon.DLL"); }),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll"); }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(onDrive("WINDOWS/SYSTEM/Dot4Mon.dll"));
    EXPECT_TRUE(onDrive("WINDOWS/SYSTEM/Dot4Rtl.dll"));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\none.dll"); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\NONE\\x.dll"); }),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM"); }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\*.dll"); }),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\plain.dll"); }), 0u);
    EXPECT_FALSE(onDrive("WINDOWS/SYSTEM/plain.dll"));
    EXPECT_EQ(sm->m().report.traceLines.back(),
              "DeleteFileA(\"C:\\\\WINDOWS\\\\SYSTEM\\\\plain.dll\") = TRUE");
}

TEST_F(FileOps, InjectedDeleteFaultHasNoSideEffect) {
    sm->m().config.faults.push_back(
        simwin::Fault{"DeleteFileA", 5, 0, "C:\\WINDOWS\\INF\\mirelc.inf"});
    EXPECT_EQ(errorOf([] { return DeleteFileA("c:\\windows\\inf\\MIRELC.INF"); }), 5u);
    EXPECT_TRUE(onDrive("WINDOWS/INF/mirelc.inf"));
    EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\WINDOWS\\SYSTEM\\plain.dll"); }), 0u);
}

TEST_F(FileOps, MoveAndCreateDirectoryErrors) {
    EXPECT_EQ(errorOf([] {
                  return MoveFileA("C:\\WINDOWS\\SYSTEM\\plain.dll",
                                   "C:\\WINDOWS\\INF\\mirelc.inf");
              }),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\WINDOWS\\none.dll", "C:\\WINDOWS\\x.dll"); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\NONE\\none.dll", "C:\\WINDOWS\\x.dll"); }),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(
        errorOf([] { return MoveFileA("C:\\WINDOWS\\SYSTEM\\plain.dll", "C:\\NONE\\x.dll"); }),
        static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(onDrive("WINDOWS/SYSTEM/plain.dll"));
    EXPECT_EQ(errorOf([] {
                  return MoveFileA("C:\\WINDOWS\\SYSTEM\\plain.dll", "C:\\WINDOWS\\Moved.DLL");
              }),
              0u);
    EXPECT_EQ(driveview::read(root + "/WINDOWS/Moved.DLL"), "plain");
    EXPECT_FALSE(onDrive("WINDOWS/SYSTEM/plain.dll"));
    // Only the case changes.
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\WINDOWS\\Moved.DLL", "C:\\WINDOWS\\moved.dll"); }),
              0u);
    EXPECT_TRUE(onDrive("WINDOWS/moved.dll"));
    EXPECT_FALSE(onDrive("WINDOWS/Moved.DLL"));

    EXPECT_EQ(errorOf([] { return CreateDirectoryA("C:\\WINDOWS\\inf", nullptr); }),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(errorOf([] { return CreateDirectoryA("C:\\WINDOWS\\INF\\mirelc.inf", nullptr); }),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(errorOf([] { return CreateDirectoryA("C:\\NONE\\SUB", nullptr); }),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(errorOf([] { return CreateDirectoryA("C:\\NEW\\", nullptr); }), 0u);
    EXPECT_TRUE(driveview::isDirectory(root + "/NEW"));
}

TEST_F(FileOps, MoveFileExReplacesOnlyWhenAsked) {
    auto move = [](DWORD flags) {
        return errorOf([&] {
            return MoveFileExA("C:\\WINDOWS\\SYSTEM\\plain.dll", "C:\\WINDOWS\\INF\\mirelc.inf",
                               flags);
        });
    };
    EXPECT_EQ(move(0), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(move(MOVEFILE_REPLACE_EXISTING), 0u);
    EXPECT_EQ(driveview::read(root + "/WINDOWS/INF/mirelc.inf"), "plain");
    EXPECT_EQ(errorOf([] { return MoveFileExA("C:\\WINDOWS\\INF\\mirelc.inf", nullptr, 0); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A read-only target is not replaced.
    EXPECT_EQ(errorOf([] {
                  return MoveFileExA("C:\\WINDOWS\\INF\\mirelc.inf",
                                     "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll", MOVEFILE_REPLACE_EXISTING);
              }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(driveview::read(root + "/WINDOWS/SYSTEM/Dot4Rtl.dll"), "rtl");
}

TEST_F(FileOps, DelayedDeletionIsRecordedForTheSessionManager) {
    EXPECT_EQ(pending(*sm), "<none>");
    ASSERT_TRUE(
        MoveFileExA("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    // The file need not exist; a relative name is made full against the current directory.
    ASSERT_TRUE(MoveFileExA("uninstall.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("c:\\a.tmp", "C:\\b.tmp",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    const std::string z(1, '\0');
    std::string expected = "\\??\\C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll" + z + z +
                           "\\??\\C:\\uninstall.txt" + z + z + "\\??\\C:\\a.tmp" + z +
                           "!\\??\\C:\\b.tmp" + z + z;
    EXPECT_EQ(pending(*sm), expected);
    EXPECT_TRUE(onDrive("WINDOWS/SYSTEM/Dot4Mon.dll"));  // nothing happens before the restart

    EXPECT_EQ(errorOf([] {
                  return MoveFileExA("C:\\WINDOWS\\SYSTEM\\locked.dll", nullptr,
                                     MOVEFILE_DELAY_UNTIL_REBOOT);
              }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(errorOf([] {
                  return MoveFileExA("C:\\x", nullptr,
                                     MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED);
              }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pending(*sm), expected);
    EXPECT_NE(sm->registryText().find("PendingFileRenameOperations"), std::string::npos);
}

TEST(FileOpsWindows98, MoveFileExIsNotImplemented) {
    TestImage img;
    img.machineIni("[system]\nplatform=1\n");
    img.file("C:\\WINDOWS\\x.dll", "x").file("C:\\WINDOWS\\y.dll", "y");
    SimMachine sm(img);
    EXPECT_EQ(errorOf([] {
                  return MoveFileExA("C:\\WINDOWS\\x.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
              }),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(errorOf([] { return MoveFileExA("C:\\WINDOWS\\x.dll", "C:\\z.dll", 0); }),
              static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_FALSE(sm.m().run.registry->value(kSessionManager, "PendingFileRenameOperations"));
    // MoveFileA is there on 95/98.
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\WINDOWS\\x.dll", "C:\\WINDOWS\\z.dll"); }), 0u);
}

TEST(FileOpsDrives, MovesBetweenDrives) {
    TestImage img;
    img.file("C:\\a.txt", "a").directory("C:\\DIR").directory("D:\\");
    SimMachine sm(img);
    EXPECT_EQ(errorOf([] { return MoveFileExA("C:\\a.txt", "D:\\a.txt", 0); }), 17u);
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\DIR", "D:\\DIR"); }), 17u);
    EXPECT_EQ(errorOf([] { return MoveFileA("C:\\a.txt", "D:\\a.txt"); }), 0u);
    EXPECT_EQ(driveview::read("D:/a.txt"), "a");
}

TEST_F(FileOps, TextModeWritesCrLfAndReadsItBack) {
    FILE* f = platformOpenFile("C:\\log.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("one\ntwo\n", f);
    std::fputc('\r', f);  // a lone CR stays as it is
    std::fputs("x\n", f);
    std::fclose(f);
    EXPECT_EQ(driveview::read(root + "/log.txt"), "one\r\ntwo\r\n\rx\r\n");

    f = platformOpenFile("C:\\log.txt", "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    ASSERT_TRUE(std::fgets(line, sizeof line, f));
    EXPECT_STREQ(line, "one\n");
    ASSERT_TRUE(std::fgets(line, sizeof line, f));
    EXPECT_STREQ(line, "two\n");
    ASSERT_TRUE(std::fgets(line, sizeof line, f));
    EXPECT_STREQ(line, "\rx\n");
    EXPECT_FALSE(std::fgets(line, sizeof line, f));
    std::fclose(f);

    f = platformOpenFile("C:\\log.txt", "a");
    ASSERT_NE(f, nullptr);
    std::fputs("three\n", f);
    std::fclose(f);
    f = platformOpenFile("C:\\log.txt", "rb");
    ASSERT_NE(f, nullptr);
    char raw[64] = {};
    size_t n = std::fread(raw, 1, sizeof raw, f);
    std::fclose(f);
    EXPECT_EQ(std::string(raw, n), "one\r\ntwo\r\n\rx\r\nthree\r\n");

    f = platformOpenFile("C:\\bin.dat", "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("a\nb\n", f);
    std::fclose(f);
    EXPECT_EQ(driveview::read(root + "/bin.dat"), "a\nb\n");
}

TEST_F(FileOps, TextModeSurvivesBufferBoundariesAndRewind) {
    // The log's way: "w+", write, rewind, write over the start.
    FILE* f = platformOpenFile("C:\\uninstall.txt", "w+");
    ASSERT_NE(f, nullptr);
    std::string text;
    for (int i = 0; i < 3000; ++i) text += std::string(static_cast<size_t>(i % 7 + 1), 'a') + "\n";
    std::fputs(text.c_str(), f);
    std::rewind(f);
    std::fputc('\x01', f);
    std::fclose(f);
    std::string raw = driveview::read(root + "/uninstall.txt");
    std::string expected;
    for (char c : text) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    expected[0] = '\x01';
    EXPECT_TRUE(raw == expected);  // large: no dump on failure

    f = platformOpenFile("C:\\uninstall.txt", "r");
    ASSERT_NE(f, nullptr);
    std::string back;
    char buf[1000];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) back.append(buf, n);
    std::fclose(f);
    text[0] = '\x01';
    EXPECT_EQ(back.size(), text.size());
    EXPECT_TRUE(back == text);
}

TEST_F(FileOps, OpenFailures) {
    auto openError = [](const char* path, const char* mode, int& err) {
        SetLastError(0);
        errno = 0;
        FILE* f = platformOpenFile(path, mode);
        err = errno;
        if (f) std::fclose(f);
        return f ? 0 : GetLastError();
    };
    int e;
    EXPECT_EQ(openError("C:\\none.txt", "r", e), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(e, ENOENT);
    EXPECT_EQ(openError("C:\\NONE\\x.txt", "w", e), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(e, ENOENT);
    EXPECT_EQ(openError("C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll", "w", e),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(e, EACCES);
    EXPECT_EQ(driveview::read(root + "/WINDOWS/SYSTEM/Dot4Rtl.dll"), "rtl");  // not truncated
    EXPECT_EQ(openError("C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll", "r", e), 0u);
    EXPECT_EQ(openError("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "a", e),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(e, EACCES);
    EXPECT_EQ(openError("C:\\WINDOWS", "r", e), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(e, EACCES);
    EXPECT_EQ(openError("C:\\x*.txt", "w", e), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(e, EINVAL);
    sm->m().config.faults.push_back(simwin::Fault{"platformOpenFile", 5, 1, ""});
    sm->m().run.callCounts["platformOpenFile"] = 0;
    EXPECT_EQ(openError("C:\\fresh.txt", "w", e), 5u);
    EXPECT_FALSE(onDrive("fresh.txt"));
    EXPECT_EQ(openError("C:\\fresh.txt", "w", e), 0u);
}

TEST(FileOpsImage, ChangesReachTheImageOnlyOnSave) {
    TestImage img;
    img.file("C:\\keep.txt", "k").file("C:\\gone.txt", "g");
    {
        SimMachine sm(img);
        ASSERT_TRUE(DeleteFileA("C:\\gone.txt"));
        EXPECT_TRUE(img.exists("C:\\gone.txt"));  // the image is untouched during the run
    }                                             // discarded
    EXPECT_TRUE(img.exists("C:\\gone.txt"));
    {
        SimMachine sm(img);
        ASSERT_TRUE(DeleteFileA("C:\\gone.txt"));
        ASSERT_TRUE(CreateDirectoryA("C:\\New", nullptr));
        sm.save();
    }
    EXPECT_FALSE(img.exists("C:\\gone.txt"));
    EXPECT_TRUE(fs::is_directory(img.hostPath("C:\\New")));
    EXPECT_EQ(img.readFile("C:\\keep.txt"), "k");
}

// What the [files] states do on NT, and a Session Manager key the user may not write.
TEST(FileStatesNt, LoadedAndUnschedulableFilesAndTheSessionManagersRights) {
    for (const char* keyRule : {"", "read_only", "no_access"}) {
        TestImage img;
        img.machineIni(
            std::string("[files]\nC:\\a.dll=loaded, no_schedule\nC:\\b.dll=loaded\n") +
            (*keyRule ? std::string("[registry]\n") + kSessionManager + "=" + keyRule + "\n" : ""));
        img.registry(std::string("[") + kSessionManager + "]\r\n\r\n");
        img.file("C:\\a.dll", "a").file("C:\\b.dll", "b");
        SimMachine sm(img);
        EXPECT_EQ(errorOf([] { return DeleteFileA("C:\\a.dll"); }), 5u);
        EXPECT_EQ(platformOpenFile("C:\\b.dll", "ab"), nullptr);
        EXPECT_EQ(GetLastError(), 32u);
        EXPECT_EQ(
            errorOf([] { return MoveFileExA("C:\\a.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }),
            5u);
        EXPECT_EQ(
            errorOf([] { return MoveFileExA("C:\\b.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }),
            *keyRule ? 5u : 0u)
            << keyRule;
        EXPECT_EQ(pending(sm) == "<none>", *keyRule != 0) << keyRule;
    }
}

// GetShortPathNameA of each file of one folder.
std::vector<std::string> shortPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) {
        char buf[MAX_PATH] = {};
        out.push_back(GetShortPathNameA(p.c_str(), buf, MAX_PATH) ? buf : "<error>");
    }
    return out;
}

TEST(ShortNames, MachineIniFirstThenTheOthersNumberedInNameOrder) {
    TestImage img;
    img.machineIni("[short_names]\nC:\\Data\\Quillmark Zeta.inf = QUILLM~1.INF\n");
    std::vector<std::string> names = {"Quillmark Zeta.inf",   "QUILLM~2.INF",
                                      "quillmark beta.inf",   "Quillmark Alpha.inf",
                                      "..Hidden file+x.text", "ok.txt"};
    for (int i = 0; i <= 10; ++i) names.push_back("Longname" + std::to_string(100 + i) + ".txt");
    std::vector<std::string> paths;
    for (const std::string& n : names) {
        paths.push_back("C:\\Data\\" + n);
        img.file(paths.back(), "x");
    }
    img.directory("C:\\Program Files\\Dot4");
    SimMachine sm(img);
    std::vector<std::string> want = {"QUILLM~1.INF", "QUILLM~2.INF", "QUILLM~4.INF",
                                     "QUILLM~3.INF", "HIDDEN~1.TEX", "ok.txt"};
    for (int i = 1; i <= 11; ++i)
        want.push_back((i < 10 ? "LONGNA~" : "LONGN~") + std::to_string(i) + ".TXT");
    for (std::string& w : want) w = "C:\\Data\\" + w;  // an 8.3 name as given
    EXPECT_EQ(shortPaths(paths), want);
    EXPECT_EQ(shortPaths({"c:\\program files\\dot4", "Program Files\\..\\Data\\ok.txt"}),
              (std::vector<std::string>{"c:\\PROGRA~1\\dot4", "PROGRA~1\\..\\Data\\ok.txt"}));
}
