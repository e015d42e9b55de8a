#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestImage.h"
#include "log/BLogFile.h"
#include "uninstaller/Dot4Uninstaller.h"

using testsupport::LogRecord;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

const std::vector<std::string> kSetupFiles = {
    "C:\\WINDOWS\\INF\\mirelc.inf", "C:\\WINDOWS\\INF\\mirelPrt.INF",
    "C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF", "C:\\WINDOWS\\INF\\mirelc.pnf",
    "C:\\WINDOWS\\INF\\mirelPrt.pnf"};
const std::vector<std::string> kModules = {
    "C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll",
    "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Prt.sys",
    "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Usb.sys"};

std::vector<std::string> allFiles() {
    std::vector<std::string> all = kSetupFiles;
    all.insert(all.end(), kModules.begin(), kModules.end());
    return all;
}

class Files {
  public:
    Files(const std::vector<std::string>& present, const std::string& ini, bool withLog = true) {
        for (const std::string& f : present) image.file(f, "content");
        image.directory("C:\\WINDOWS");
        if (!ini.empty()) image.machineIni(ini);
        sm = std::make_unique<SimMachine>(image);
        if (withLog) log = std::make_unique<testsupport::TestLog>(0);
    }

    bool run(bool stackRemoved) {
        uninstaller.stackRemoved = stackRemoved;
        rebootNeeded = !stackRemoved;  // the step must set its own start value
        const bool result = uninstaller.removeInstalledFilesOnReboot(rebootNeeded);
        if (log)
            messages = testsupport::messagesOf(log->finish(*sm));
        else
            sm->save();
        return result;
    }

    TestImage image;
    std::unique_ptr<SimMachine> sm;
    std::unique_ptr<testsupport::TestLog> log;
    Dot4Uninstaller uninstaller;
    bool rebootNeeded = false;
    std::vector<std::string> messages;
};

std::vector<std::string> expectedMessages(const std::vector<std::string>& files,
                                          const std::string& outcome) {
    std::vector<std::string> out = {"Begin removeInstalledFilesOnReboot()"};
    for (const std::string& f : files) out.push_back("Deleted " + f + outcome);
    out.push_back("Finished removeInstalledFilesOnReboot()");
    return out;
}

TEST(InstalledFiles, StackKeptRemovesOnlyTheSetupFiles) {
    Files f(allFiles(), "");
    EXPECT_TRUE(f.run(false));
    EXPECT_EQ(f.messages, expectedMessages(kSetupFiles, " - Reboot Not Needed"));
    EXPECT_FALSE(f.rebootNeeded);
    for (const std::string& p : kSetupFiles) EXPECT_FALSE(f.image.exists(p)) << p;
    for (const std::string& p : kModules) EXPECT_TRUE(f.image.exists(p)) << p;
}

TEST(InstalledFiles, StackRemovedRemovesAllTenInOrder) {
    Files f(allFiles(), "");
    EXPECT_TRUE(f.run(true));
    EXPECT_EQ(f.messages, expectedMessages(allFiles(), " - Reboot Not Needed"));
    for (const std::string& p : allFiles()) EXPECT_FALSE(f.image.exists(p)) << p;
}

TEST(InstalledFiles, AbsentFilesNeedNoReboot) {
    Files f({}, "");
    EXPECT_TRUE(f.run(true));
    EXPECT_EQ(f.messages, expectedMessages(allFiles(), " - Reboot Not Needed"));
    EXPECT_FALSE(f.rebootNeeded);
}

TEST(InstalledFiles, FileInUseOnNTIsScheduled) {
    Files f(allFiles(), "[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=in_use\n");
    EXPECT_TRUE(f.run(true));
    EXPECT_TRUE(f.rebootNeeded);
    ASSERT_EQ(f.messages.size(), 12u);
    EXPECT_EQ(f.messages[6], "Deleted C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll - Reboot Needed");
    EXPECT_EQ(f.messages[7], "Deleted C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll - Reboot Not Needed");
    EXPECT_TRUE(f.image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    EXPECT_FALSE(f.image.exists("C:\\WINDOWS\\wininit.ini"));
    EXPECT_NE(f.image.registryText().find("PendingFileRenameOperations"), std::string::npos);
}

TEST(InstalledFiles, UndeletableFileOnWindows98GoesIntoWininit) {
    // Windows 98 deletes a file in use; one that DeleteFileA refuses waits for the restart.
    Files f(allFiles(),
            "[system]\nplatform=1\nminor=10\n[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=in_use\n"
            "[faults]\nDeleteFileA=5@C:\\WINDOWS\\INF\\mirelc.inf\n"
            "DeleteFileA=5@C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys\n");
    EXPECT_TRUE(f.run(true));
    EXPECT_TRUE(f.rebootNeeded);
    // The ini writer's own records come before the file's record.
    ASSERT_GE(f.messages.size(), 4u);
    EXPECT_EQ(f.messages[1], "BIniFile: Constructor - File NOT Found");
    EXPECT_EQ(f.messages[4], "Deleted C:\\WINDOWS\\INF\\mirelc.inf - Reboot Needed");
    EXPECT_EQ(testsupport::withoutCr(f.image.readFile("C:\\WINDOWS\\wininit.ini")),
              "[rename]\nNUL=C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys\n"
              "NUL=C:\\WINDOWS\\INF\\mirelc.inf\n");
    EXPECT_EQ(f.image.registryText().find("PendingFileRenameOperations"), std::string::npos);
    EXPECT_FALSE(f.image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
}

TEST(InstalledFiles, NeitherDeletableNorSchedulable) {
    for (bool withLog : {true, false}) {
        Files f(kSetupFiles, "[files]\nC:\\WINDOWS\\INF\\mirelPrt.INF=in_use, no_schedule\n",
                withLog);
        EXPECT_TRUE(f.run(false));
        EXPECT_FALSE(f.rebootNeeded);
        EXPECT_TRUE(f.image.exists("C:\\WINDOWS\\INF\\mirelPrt.INF"));
        EXPECT_FALSE(f.image.exists("C:\\WINDOWS\\INF\\mirelc.pnf"));
        if (withLog) {
            ASSERT_EQ(f.messages.size(), 7u);
            EXPECT_EQ(f.messages[2], "Deleted C:\\WINDOWS\\INF\\mirelPrt.INF");
        } else {
            EXPECT_TRUE(f.messages.empty());
        }
    }
}

TEST(InstalledFiles, SingleFileResult) {
    Files f({"C:\\A.DLL", "C:\\B.DLL"},
            "[system]\nplatform=1\nminor=90\n[faults]\nDeleteFileA=5@C:\\A.DLL\n", false);
    bool reboot = true;
    EXPECT_FALSE(f.uninstaller.removeInstalledFile("C:\\A.DLL", reboot));
    EXPECT_TRUE(reboot);
    EXPECT_TRUE(f.uninstaller.removeInstalledFile("C:\\B.DLL", reboot));
    EXPECT_TRUE(f.uninstaller.removeInstalledFile("C:\\NONE.DLL", reboot));
}

TEST(InstalledFiles, PortNames) {
    Dot4Uninstaller u;
    EXPECT_FALSE(u.stackRemoved);
    EXPECT_EQ(u.savedPrinters.count(), 0u);
    EXPECT_EQ(u.savedPrinters.capacity(), 64u);
    EXPECT_EQ(u.dot4PortName("7"), "Dot4_007");
    EXPECT_EQ(u.dot4PortName("42"), "Dot4_042");
    EXPECT_EQ(u.dot4PortName("123"), "Dot4_123");
    EXPECT_EQ(u.dot4PortName("-12"), "Dot4_-12");
    EXPECT_EQ(u.dot4PortName("1234"), "Dot4_");
    EXPECT_EQ(u.padPortNumber(""), "");
}

}  // namespace
