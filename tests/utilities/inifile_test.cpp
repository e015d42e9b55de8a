#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestImage.h"
#include "log/BLogFile.h"
#include "utilities/BIniFile.h"
#include "utilities/Platform.h"

using testsupport::LogRecord;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

const char* const kWin98 = "[system]\nplatform=1\nminor=10\n";
const std::string kIni = "C:\\WINDOWS\\wininit.ini";
const std::string kDll = "C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll";

// The ini files are text-mode files: their lines end in CR LF on Windows.
using testsupport::withoutCr;

// A Windows 98 machine with the module to schedule and, optionally, a wininit.ini; the log on.
class Win98 {
  public:
    explicit Win98(const std::string* wininit, const std::string& extraIni = "",
                   const std::vector<std::string>& files = {}) {
        image.machineIni(kWin98 + extraIni).file(kDll, "module").directory("C:\\WINDOWS");
        for (const std::string& f : files) image.file(f, "x");
        if (wininit) image.file(kIni, *wininit);
        sm = std::make_unique<SimMachine>(image);
        log = std::make_unique<testsupport::TestLog>(0);
    }

    // Closes the log and writes the image back.
    void finish() { records = log->finish(*sm); }
    std::string ini() const { return withoutCr(image.readFile(kIni)); }
    std::vector<std::string> messages() const { return testsupport::messagesOf(records); }

    TestImage image;
    std::unique_ptr<SimMachine> sm;
    std::unique_ptr<testsupport::TestLog> log;
    std::vector<LogRecord> records;
};

std::string scheduled(const std::string& wininit) {
    Win98 w(&wininit);
    EXPECT_TRUE(BSystem().deleteFileOnReboot(kDll));
    w.finish();
    EXPECT_FALSE(w.image.exists("C:\\mirnul.ini"));
    return w.ini();
}

TEST(IniFile, WorkedExampleOnWindows98) {
    const std::string wininit = "[rename]\nNUL=C:\\OLD.TMP\n";
    Win98 w(&wininit);
    EXPECT_TRUE(BSystem().deleteFileOnReboot(kDll));
    w.finish();
    EXPECT_EQ(w.ini(), "[rename]\nNUL=C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\nNUL=C:\\OLD.TMP\n");
    EXPECT_EQ(w.messages(), (std::vector<std::string>{
                                "BIniFile: Constructor - File Found " + kIni,
                                "BIniFile::bWriteNULKeyStringVector: File exists." + kIni}));
    ASSERT_EQ(w.records.size(), 2u);
    EXPECT_EQ(w.records[0].level, "release");
    EXPECT_EQ(w.records[1].level, "omega");
    EXPECT_EQ(w.records[1].source, "BIniFile.cpp");
    EXPECT_TRUE(w.image.exists(kDll));
}

TEST(IniFile, SectionFoundByASubstringIgnoringCase) {
    EXPECT_EQ(scheduled("[boot]\nshell=x\n[Rename]\nNUL=C:\\A\n"),
              "[boot]\nshell=x\n[Rename]\nNUL=" + kDll + "\nNUL=C:\\A\n");
    EXPECT_EQ(scheduled(";[rename]\n[rename]\n"),
              ";[rename]\nNUL=" + kDll + "\n[rename]\nNUL=" + kDll + "\n");
}

TEST(IniFile, SectionAppendedWhenMissing) {
    EXPECT_EQ(scheduled("[boot]\nshell=x\n\n"), "[boot]\nshell=x\n\n[rename]\nNUL=" + kDll + "\n");
    EXPECT_EQ(scheduled(""), "[rename]\nNUL=" + kDll + "\n");
}

TEST(IniFile, LastLineWithoutLineEndIsKept) {
    EXPECT_EQ(scheduled("[boot]\nshell=x"), "[boot]\nshell=x\n[rename]\nNUL=" + kDll + "\n");
    EXPECT_EQ(scheduled("NUL=C:\\A\n[rename]"), "NUL=C:\\A\n[rename]\nNUL=" + kDll + "\n");
}

TEST(IniFile, LongLinesAreCopiedWhole) {
    const std::string plain(300, 'p');
    EXPECT_EQ(scheduled(plain + "\nx=1\n"), plain + "\nx=1\n[rename]\nNUL=" + kDll + "\n");
    // The section name lies beyond the first read of the line; the NUL line follows the line.
    const std::string tagged = std::string(280, ';') + "[rename]" + std::string(20, ';');
    EXPECT_EQ(scheduled(tagged + "\n"), tagged + "\nNUL=" + kDll + "\n");
}

TEST(IniFile, VectorWritesEveryElementInOrder) {
    const std::string wininit = "[rename]\nNUL=C:\\OLD\n";
    Win98 w(&wininit);
    StringList list(64);
    for (const char* p : {"C:\\1", "C:\\2", "C:\\3"}) list.append(p);
    BIniFile ini(kIni);
    EXPECT_TRUE(ini.bWriteNULKeyStringVector(list));
    EXPECT_TRUE(ini.bWriteNULKeyStringVector(StringList(64)));
    w.finish();
    EXPECT_EQ(w.ini(), "[rename]\nNUL=C:\\1\nNUL=C:\\2\nNUL=C:\\3\nNUL=C:\\OLD\n");
}

TEST(IniFile, MissingFileIsCreated) {
    Win98 w(nullptr);
    EXPECT_TRUE(BSystem().deleteFileOnReboot(kDll));
    w.finish();
    EXPECT_EQ(w.ini(), "[rename]\nNUL=" + kDll + "\n");
    EXPECT_EQ(w.messages(), (std::vector<std::string>{
                                "BIniFile: Constructor - File NOT Found",
                                "BIniFile: Constructor - File created. " + kIni,
                                "BIniFile::bWriteNULKeyStringVector: File exists." + kIni}));
}

TEST(IniFile, MissingDirectoryIsCreated) {
    Win98 w(nullptr, "windows_directory=C:\\WIN98\n");
    EXPECT_TRUE(BSystem().deleteFileOnReboot(kDll));
    w.finish();
    EXPECT_EQ(withoutCr(w.image.readFile("C:\\WIN98\\wininit.ini")),
              "[rename]\nNUL=" + kDll + "\n");
    ASSERT_GE(w.records.size(), 3u);
    EXPECT_EQ(w.records[1].message, "BIniFile: Constructor - Directory created. C:\\WIN98");
}

TEST(IniFile, DirectoryThatCannotBeCreated) {
    Win98 w(nullptr, "windows_directory=C:\\WIN98\n[faults]\nCreateDirectoryA=5\n");
    BIniFile ini("C:\\WIN98\\wininit.ini");
    EXPECT_EQ(ini.path(), "C:\\WIN98\\wininit.ini");
    EXPECT_FALSE(ini.bWriteNULKeyString(kDll));
    w.finish();
    EXPECT_FALSE(w.image.exists("C:\\WIN98"));
    EXPECT_EQ(
        w.messages(),
        (std::vector<std::string>{
            "BIniFile: Constructor - File NOT Found",
            "BIniFile: Constructor - Directory created. C:\\WIN98",
            "BIniFile::bWriteNULKeyStringVector: File DOESN'T exist.C:\\WIN98\\wininit.ini"}));
}

TEST(IniFile, NullNameAndDirectoryPart) {
    Win98 w(nullptr);
    BIniFile ini("");
    EXPECT_FALSE(ini.bWriteNULKeyString(kDll));
    std::string dir = "x";
    ini.getDirectory("wininit.ini", dir);
    EXPECT_EQ(dir, "");
    ini.getDirectory(kIni, dir);
    EXPECT_EQ(dir, "C:\\WINDOWS");
    w.finish();
    EXPECT_EQ(w.messages().front(), "BIniFile: Constructor - File name is null. ");
}

TEST(IniFile, TemporaryFileThatCannotBeCreated) {
    const std::string wininit = "[rename]\nNUL=C:\\OLD\n";
    Win98 w(&wininit, "current_directory=C:\\NODIR\n");
    EXPECT_FALSE(BSystem().deleteFileOnReboot(kDll));
    w.finish();
    EXPECT_EQ(w.ini(), wininit);
}

// The move of the new file into place fails: its old content, with the restart-time operations
// other programs scheduled, must survive.
TEST(IniFile, FailedRenameKeepsTheOldContent) {
    const std::string wininit = "[rename]\nNUL=C:\\OTHER.TMP\n";
    for (unsigned nth : {0u, 1u, 2u}) {
        Win98 w(&wininit);
        w.sm->m().config.faults.push_back(simwin::Fault{"MoveFileA", 5, nth, ""});
        EXPECT_FALSE(BSystem().deleteFileOnReboot(kDll)) << nth;
        w.finish();
        EXPECT_EQ(w.ini(), wininit) << nth;
        ASSERT_FALSE(w.records.empty());
        const LogRecord& error = w.records.back();
        EXPECT_EQ(error.message,
                  "BIniFile::bWriteNULKeyStringVector: Unable to move the temporary ini file.");
        EXPECT_EQ(error.type, "error");
        EXPECT_EQ(error.level, "release");
        EXPECT_EQ(error.data, (std::vector<uint8_t>{5, 0, 0, 0})) << nth;
        // The new content is left in the temporary file.
        EXPECT_NE(w.image.readFile("C:\\mirnul.ini").find("NUL=" + kDll), std::string::npos);
    }
}

// Only a wininit.ini that the system says is not there may be created: one that cannot be
// opened or looked up is left alone, with the operations other programs scheduled in it.
TEST(IniFile, FileThatCannotBeReadIsLeftAlone) {
    const std::string wininit = "[rename]\nNUL=C:\\OTHER.TMP\n";
    // The log is the first open, the ini file for reading the second.
    for (const std::string& fault : std::vector<std::string>{
             "platformOpenFile=5@2", "platformOpenFile=32@2", "platformOpenFile=2@2",
             "FindFirstFileA=5@" + kIni, "FindFirstFileA=32@" + kIni}) {
        Win98 w(&wininit, "[faults]\n" + fault + "\n");
        EXPECT_FALSE(BSystem().deleteFileOnReboot(kDll)) << fault;
        w.finish();
        EXPECT_EQ(w.ini(), wininit) << fault;
        EXPECT_FALSE(w.image.exists("C:\\mirnul.ini")) << fault;
        ASSERT_FALSE(w.records.empty());
        EXPECT_EQ(w.records.back().message,
                  "BIniFile: The ini file cannot be read; it is left as it is.")
            << fault;
        EXPECT_EQ(w.records.back().type, "error");
    }
}

TEST(IniFile, ThreeFilesEndUpInReverseOrder) {
    const std::string wininit = "[rename]\n";
    Win98 w(&wininit, "", {"C:\\A.DLL", "C:\\B.DLL", "C:\\C.DLL"});
    for (const char* f : {"C:\\A.DLL", "C:\\B.DLL", "C:\\C.DLL"})
        EXPECT_TRUE(BSystem().deleteFileOnReboot(f));
    w.finish();
    EXPECT_EQ(w.ini(), "[rename]\nNUL=C:\\C.DLL\nNUL=C:\\B.DLL\nNUL=C:\\A.DLL\n");
}

TEST(IniFile, Windows95UsesTheIniToo) {
    TestImage image;
    image.machineIni("[system]\nplatform=1\nminor=0\n").file(kDll, "x").file(kIni, "");
    SimMachine sm(image);
    EXPECT_TRUE(BSystem().deleteFileOnReboot(kDll));
    sm.save();
    EXPECT_EQ(withoutCr(image.readFile(kIni)), "[rename]\nNUL=" + kDll + "\n");
}

}  // namespace
