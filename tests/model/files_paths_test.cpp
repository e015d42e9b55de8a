// Path resolution and confinement, case rules and directory searches of simwin's drives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "TestImage.h"
#include "drive_view.h"
#include "image/image.h"
#include "model/drives.h"
#include "win32/handles.h"

namespace fs = std::filesystem;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

std::string slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names a search finds, first entry included.
std::vector<std::string> findAll(const std::string& pattern) {
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA(pattern.c_str(), &d);
    std::vector<std::string> out;
    if (h == INVALID_HANDLE_VALUE) return out;
    auto& s = *simwin::handleTable(simwin::machine()).find<simwin::SearchHandle>(h);
    for (const auto& e : s.entries) out.push_back(e.name);
    EXPECT_EQ(out.front(), d.cFileName);
    FindClose(h);
    return out;
}

DWORD findError(const std::string& path) {
    WIN32_FIND_DATAA d;
    SetLastError(0);
    HANDLE h = FindFirstFileA(path.c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        FindClose(h);
        return 0;
    }
    return GetLastError();
}

class OutsideDir {
  public:
    OutsideDir() {
        char t[] = "/tmp/dot4outside-XXXXXX";
        dir = mkdtemp(t);
        std::ofstream(dir + "/secret.txt") << "secret";
    }
    ~OutsideDir() { fs::remove_all(dir); }
    std::string dir;
};

}  // namespace

TEST(FilesPaths, DotDotAboveTheRootStaysOnTheDrive) {
    TestImage img;
    img.file("C:\\top.txt", "top");
    SimMachine sm(img);
    std::string root = "C:";
    FILE* f = platformOpenFile("C:\\..\\..\\..\\escape.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("x", f);
    std::fclose(f);
    EXPECT_TRUE(driveview::exists(root + "/escape.txt"));
    EXPECT_FALSE(fs::exists(img.dir() + "/escape.txt"));
    EXPECT_FALSE(fs::exists(fs::path(img.dir()).parent_path() / "escape.txt"));
    // Relative climbing from the current directory stops at the root too.
    sm.m().config.system.currentDirectory = "C:\\WINDOWS";
    EXPECT_EQ(findError("..\\..\\..\\top.txt"), 0u);
    EXPECT_EQ(findError("C:\\a\\..\\..\\top.txt"), 0u);
}

TEST(FilesPaths, HostAndNetworkPathsNameNothing) {
    TestImage img;
    img.file("C:\\x.txt");
    SimMachine sm(img);
    // A host absolute path is a rooted path on the current drive.
    EXPECT_EQ(findError("/etc/passwd"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(platformOpenFile("/etc/passwd", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    for (const char* p : {"\\\\server\\share\\x.txt", "\\\\?\\C:\\x.txt", "\\\\.\\C:\\x.txt",
                          "\\??\\C:\\x.txt", "//server/share/x.txt", ""})
        EXPECT_EQ(findError(p), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << p;
    // Only drives the image has exist.
    EXPECT_EQ(findError("D:\\x.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(findError("C:\\x.txt"), 0u);
    EXPECT_EQ(findError("c:/x.txt"), 0u);
}

TEST(FilesPaths, OtherDrivesExistWhereTheImageHasThem) {
    TestImage img;
    img.file("D:\\data\\d.txt", "d");
    SimMachine sm(img);
    EXPECT_EQ(findError("d:\\DATA\\D.TXT"), 0u);
    EXPECT_EQ(findError("E:\\"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FilesPaths, SymbolicLinksAreNeverFollowed) {
    OutsideDir outside;
    TestImage img;
    img.directory("C:\\WINDOWS");
    ASSERT_EQ(::symlink(outside.dir.c_str(), img.hostPath("C:\\WINDOWS\\linkdir").c_str()), 0);
    ASSERT_EQ(::symlink((outside.dir + "/secret.txt").c_str(),
                        img.hostPath("C:\\WINDOWS\\secret.lnk").c_str()),
              0);
    {
        SimMachine sm(img);
        EXPECT_EQ(findError("C:\\WINDOWS\\linkdir\\secret.txt"),
                  static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(findError("C:\\WINDOWS\\secret.lnk"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(findAll("C:\\WINDOWS\\*"), (std::vector<std::string>{".", ".."}));
        EXPECT_EQ(platformOpenFile("C:\\WINDOWS\\secret.lnk", "r"), nullptr);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(platformOpenFile("C:\\WINDOWS\\secret.lnk", "w"), nullptr);
        EXPECT_EQ(platformOpenFile("C:\\WINDOWS\\linkdir\\new.txt", "w"), nullptr);
        EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\secret.lnk"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\linkdir\\secret.txt"));
        EXPECT_FALSE(MoveFileA("C:\\WINDOWS\\secret.lnk", "C:\\WINDOWS\\moved.txt"));
        EXPECT_FALSE(CreateDirectoryA("C:\\WINDOWS\\linkdir\\sub", nullptr));
        sm.save();
    }
    EXPECT_EQ(slurp(outside.dir + "/secret.txt"), "secret");
    EXPECT_EQ(fs::directory_iterator(outside.dir) == fs::directory_iterator(), false);
    EXPECT_EQ(std::distance(fs::directory_iterator(outside.dir), fs::directory_iterator()), 1);
    // The links survive the run as links.
    EXPECT_TRUE(fs::is_symlink(img.hostPath("C:\\WINDOWS\\linkdir")));
    EXPECT_TRUE(fs::is_symlink(img.hostPath("C:\\WINDOWS\\secret.lnk")));
}

TEST(FilesPaths, ADriveThatIsALinkIsRefused) {
    OutsideDir outside;
    TestImage img;
    ASSERT_EQ(::symlink(outside.dir.c_str(), (img.dir() + "/drive_c").c_str()), 0);
    EXPECT_THROW(simwin::loadImage(img.dir()), simwin::ImageError);
    for (const auto& e : fs::directory_iterator(img.dir()))
        EXPECT_EQ(e.path().filename().string().rfind(".dot4sim", 0), std::string::npos);
}

TEST(FilesPaths, LookupIgnoresCaseAndCreationKeepsIt) {
    TestImage img;
    img.file("C:\\WINDOWS\\INF\\Mirelc.INF", "inf");
    SimMachine sm(img);
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA("c:/windows/inf/MIRELC.inf", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(d.cFileName, "Mirelc.INF");
    EXPECT_EQ(d.nFileSizeLow, 3u);
    EXPECT_EQ(d.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    FindClose(h);

    std::string root = "C:";
    ASSERT_TRUE(CreateDirectoryA("c:\\windows\\NewDir", nullptr));
    EXPECT_TRUE(driveview::isDirectory(root + "/WINDOWS/NewDir"));
    FILE* f = platformOpenFile("C:\\WINDOWS\\newdir\\Log.Txt", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(driveview::exists(root + "/WINDOWS/NewDir/Log.Txt"));
    // Writing an existing file under another spelling writes that file.
    f = platformOpenFile("C:\\windows\\inf\\MIRELC.INF", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    std::fclose(f);
    EXPECT_EQ(driveview::read(root + "/WINDOWS/INF/Mirelc.INF"), "new");
    EXPECT_FALSE(driveview::exists(root + "/WINDOWS/INF/MIRELC.INF"));
}

TEST(FilesPaths, RelativePathsUseTheCurrentDirectory) {
    TestImage img;
    img.machineIni("[system]\ncurrent_directory=C:\\WINDOWS\\INF\n");
    img.file("C:\\WINDOWS\\INF\\a.inf").file("C:\\WINDOWS\\b.txt").file("C:\\root.txt");
    SimMachine sm(img);
    EXPECT_EQ(findError("a.inf"), 0u);
    EXPECT_EQ(findError(".\\a.inf"), 0u);
    EXPECT_EQ(findError("..\\b.txt"), 0u);
    EXPECT_EQ(findError("C:a.inf"), 0u);  // drive-relative
    EXPECT_EQ(findError("\\root.txt"), 0u);
    EXPECT_EQ(findError("C:\\WINDOWS\\\\INF\\\\a.inf"), 0u);  // doubled separators collapse
    std::string full;
    ASSERT_EQ(simwin::fullWindowsPath("sub\\..\\x.dll", "C:\\WINDOWS\\INF", full), 0u);
    EXPECT_EQ(full, "C:\\WINDOWS\\INF\\x.dll");
    ASSERT_EQ(simwin::fullWindowsPath("d:/a/./b", "C:\\", full), 0u);
    EXPECT_EQ(full, "D:\\a\\b");
}

TEST(FilesSearch, WildcardsMatchTheLastComponentWithoutCase) {
    TestImage img;
    img.file("C:\\W\\a.inf").file("C:\\W\\b.INF").file("C:\\W\\c.pnf").file("C:\\W\\README");
    img.directory("C:\\W\\SUB");
    SimMachine sm(img);
    EXPECT_EQ(findAll("C:\\W\\*.inf"), (std::vector<std::string>{"a.inf", "b.INF"}));
    EXPECT_EQ(findAll("C:\\W\\?.PNF"), (std::vector<std::string>{"c.pnf"}));
    EXPECT_EQ(findAll("C:\\W\\*"),
              (std::vector<std::string>{".", "..", "a.inf", "b.INF", "c.pnf", "README", "SUB"}));
    EXPECT_EQ(findAll("C:\\W\\*.*").size(), 7u);  // DOS: "*.*" also matches names without a dot
    EXPECT_EQ(findAll("C:\\*"), (std::vector<std::string>{"W"}));  // a root has no "." or ".."
    EXPECT_EQ(findError("C:\\W\\*.xyz"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(findError("C:\\W*\\a.inf"), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(findError("C:\\nodir\\*"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(FilesSearch, PatternRules) {
    using simwin::wildcardMatch;
    EXPECT_TRUE(wildcardMatch("*.*", "README"));
    EXPECT_TRUE(wildcardMatch("foo.*", "FOO"));
    EXPECT_TRUE(wildcardMatch("*.", "noext"));
    EXPECT_FALSE(wildcardMatch("*.", "a.b"));
    EXPECT_TRUE(wildcardMatch("d*4*.s?s", "Dot4Usb.sys"));
    EXPECT_FALSE(wildcardMatch("?", "ab"));
    EXPECT_FALSE(wildcardMatch("a*b", "abc"));
    EXPECT_TRUE(wildcardMatch("*a*a*a*a*b", std::string(60, 'a') + "b"));
}

TEST(FilesSearch, ExactNamesDirectoriesAndHandles) {
    TestImage img;
    img.machineIni("[files]\nC:\\WINDOWS\\ro.txt=read_only\n");
    img.file("C:\\WINDOWS\\ro.txt", "12345");
    SimMachine sm(img);
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA("C:\\WINDOWS", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));

    h = FindFirstFileA("C:\\WINDOWS\\RO.TXT", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.dwFileAttributes,
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(d.nFileSizeLow, 5u);
    FindClose(h);

    EXPECT_EQ(findError("C:\\WINDOWS\\"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(findError("C:\\"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(findError("C:\\WINDOWS\\none.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(findError("C:\\NONE\\none.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(findError("C:\\WINDOWS\\ro.txt\\x"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(findError("C:\\WINDOWS\\a|b"), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(FilesSearch, InjectedFaultFailsTheNamedPathOnly) {
    TestImage img;
    img.machineIni("[faults]\nFindFirstFileA=5@C:\\a.txt\n");
    img.file("C:\\a.txt").file("C:\\b.txt");
    SimMachine sm(img);
    EXPECT_EQ(findError("c:\\A.TXT"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(findError("C:\\b.txt"), 0u);
    ASSERT_FALSE(sm.m().report.traceLines.empty());
    EXPECT_EQ(sm.m().report.traceLines.front(),
              "FindFirstFileA(\"c:\\\\A.TXT\") = INVALID_HANDLE_VALUE [5]");
}
