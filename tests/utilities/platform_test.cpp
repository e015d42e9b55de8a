#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestImage.h"
#include "win32/handles.h"
#include "utilities/Platform.h"

using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

int calls(SimMachine& sm, const std::string& function) {
    int n = 0;
    for (const std::string& l : sm.m().report.traceLines)
        if (l.rfind(function + "(", 0) == 0) ++n;
    return n;
}

TEST(OSVersion, EveryPlatformRow) {
    struct Row {
        const char* ini;
        OSFamily family;
    };
    const Row rows[] = {
        {"platform=0\n", OS_WIN32S},
        {"platform=1\nminor=0\n", OS_WIN95},
        {"platform=1\nminor=10\n", OS_WIN98},
        {"platform=1\nminor=90\n", OS_UNKNOWN},
        {"platform=1\nmajor=5\nminor=10\n", OS_WIN98},
        {"platform=2\nmajor=3\nminor=51\n", OS_WINNT},
        {"platform=2\nmajor=4\nminor=0\n", OS_WINNT},
        {"platform=2\nmajor=10\nminor=0\n", OS_WINNT},
        {"platform=2\nversion_query=5\n", OS_UNKNOWN},
    };
    for (const Row& row : rows) {
        SimMachine sm(std::string("[system]\n") + row.ini);
        BOSVersion version;
        EXPECT_EQ(version.getOSFamily(), row.family) << row.ini;
        // Nothing is cached: every call asks the system.
        version.getOSFamily();
        EXPECT_EQ(calls(sm, "GetVersionExA"), 2);
    }
}

TEST(FileSystem, WindowsDirectoryAsTheSystemGivesIt) {
    {
        SimMachine sm("[system]\nwindows_directory=D:\\WIN\n");
        std::string dir = "before";
        EXPECT_TRUE(BFileSystem().getWindowsDirectory(dir));
        EXPECT_EQ(dir, "D:\\WIN");
    }
    {
        SimMachine sm("[system]\nwindows_directory=5\n");
        std::string dir = "before";
        EXPECT_TRUE(BFileSystem().getWindowsDirectory(dir));
        EXPECT_EQ(dir, "");
    }
}

TEST(FileSystem, FileExists) {
    TestImage image;
    image.file("C:\\WINDOWS\\INF\\Mirelc.INF", "x").directory("C:\\WINDOWS\\SYSTEM");
    SimMachine sm(image);
    BFileSystem files;
    EXPECT_FALSE(files.fileExists(""));
    EXPECT_EQ(calls(sm, "FindFirstFileA"), 0);
    EXPECT_TRUE(files.fileExists("C:\\WINDOWS\\INF\\mirelc.inf"));
    EXPECT_TRUE(files.fileExists("C:\\WINDOWS\\SYSTEM"));
    EXPECT_TRUE(files.fileExists("C:\\WINDOWS\\INF\\*.inf"));
    EXPECT_FALSE(files.fileExists("C:\\WINDOWS\\INF\\mirelPrt.INF"));
    EXPECT_FALSE(files.fileExists("C:\\NOWHERE\\mirelc.inf"));
    EXPECT_EQ(calls(sm, "FindFirstFileA"), 5);
    EXPECT_EQ(calls(sm, "FindClose"), 3);
}

struct PrivilegeCase {
    const char* ini;
    bool result;
    int processTokenCalls;
    int adjustCalls;
};

TEST(System, SetPrivilegeTokenPaths) {
    const PrivilegeCase cases[] = {
        {"thread_token=none\n", true, 1, 1}, {"thread_token=present\n", true, 0, 1},
        {"thread_token=5\n", false, 0, 0},   {"thread_token=none\nprocess_token=5\n", false, 1, 0},
        {"lookup=1313\n", false, 1, 0},      {"adjust=5\n", false, 1, 1},
    };
    for (const PrivilegeCase& c : cases) {
        SimMachine sm(std::string("[privileges]\n") + c.ini);
        EXPECT_EQ(BSystem().setPrivilege("SeShutdownPrivilege", true), c.result) << c.ini;
        EXPECT_EQ(calls(sm, "OpenThreadToken"), 1) << c.ini;
        EXPECT_EQ(calls(sm, "OpenProcessToken"), c.processTokenCalls) << c.ini;
        EXPECT_EQ(calls(sm, "AdjustTokenPrivileges"), c.adjustCalls) << c.ini;
        // A token that was opened is closed again on every path.
        EXPECT_TRUE(simwin::handleTable(sm.m()).count<simwin::TokenHandle>() == 0) << c.ini;
        EXPECT_EQ(sm.m().run.shutdownPrivilegeEnabled, c.result) << c.ini;
    }
}

TEST(System, SetPrivilegeDisables) {
    SimMachine sm("");
    BSystem system;
    ASSERT_TRUE(system.setPrivilege("SeShutdownPrivilege", true));
    EXPECT_TRUE(system.setPrivilege("SeShutdownPrivilege", false));
    EXPECT_FALSE(sm.m().run.shutdownPrivilegeEnabled);
    EXPECT_FALSE(system.setPrivilege("SeNoSuchPrivilege", true));
}

TEST(System, RebootOnNTEnablesTheShutdownPrivilegeFirst) {
    SimMachine sm("");
    EXPECT_TRUE(BSystem().rebootSystem());
    EXPECT_TRUE(sm.m().report.outcome.restartRequested);
    ASSERT_TRUE(sm.m().report.outcome.restartFlags.has_value());
    EXPECT_EQ(*sm.m().report.outcome.restartFlags, static_cast<UINT>(EWX_REBOOT));
    EXPECT_EQ(calls(sm, "AdjustTokenPrivileges"), 1);
}

TEST(System, RebootOnNTWithoutPrivilegeIsNotAskedFor) {
    for (const char* ini : {"[privileges]\nadjust=1300\n", "[privileges]\nthread_token=6\n"}) {
        SimMachine sm(ini);
        EXPECT_FALSE(BSystem().rebootSystem()) << ini;
        EXPECT_EQ(calls(sm, "ExitWindowsEx"), 0) << ini;
        EXPECT_FALSE(sm.m().report.outcome.restartRequested);
    }
}

TEST(System, RebootFailureIsReported) {
    SimMachine sm("[shutdown]\nresult=5\n");
    EXPECT_FALSE(BSystem().rebootSystem());
    EXPECT_EQ(calls(sm, "ExitWindowsEx"), 1);
}

TEST(System, RebootOnWindows98MakesNoTokenCall) {
    for (const char* ini :
         {"[system]\nplatform=1\nminor=10\n", "[system]\nplatform=1\nminor=90\n"}) {
        SimMachine sm(ini);
        EXPECT_TRUE(BSystem().rebootSystem()) << ini;
        EXPECT_TRUE(sm.m().report.outcome.restartRequested);
        for (const char* f : {"OpenThreadToken", "OpenProcessToken", "LookupPrivilegeValueA",
                              "AdjustTokenPrivileges", "CloseHandle"})
            EXPECT_EQ(calls(sm, f), 0) << ini << f;
    }
}

TEST(System, DeleteFileOnRebootOnNT) {
    TestImage image;
    image.file("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "x");
    image.file("C:\\WINDOWS\\SYSTEM\\Locked.dll", "x");
    image.machineIni("[files]\nC:\\WINDOWS\\SYSTEM\\Locked.dll=no_schedule\n");
    SimMachine sm(image);
    BSystem system;
    EXPECT_FALSE(system.deleteFileOnReboot(""));
    EXPECT_FALSE(system.deleteFileOnReboot("C:\\WINDOWS\\SYSTEM\\Absent.dll"));
    EXPECT_EQ(calls(sm, "MoveFileExA"), 0);
    EXPECT_TRUE(system.deleteFileOnReboot("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    EXPECT_FALSE(system.deleteFileOnReboot("C:\\WINDOWS\\SYSTEM\\Locked.dll"));
    EXPECT_EQ(calls(sm, "MoveFileExA"), 2);
    EXPECT_NE(sm.registryText().find("PendingFileRenameOperations"), std::string::npos);
    sm.save();
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\wininit.ini"));
}

TEST(System, DeleteFileOnRebootWithoutAMethod) {
    for (const char* ini : {"[system]\nplatform=1\nminor=90\n", "[system]\nplatform=0\n"}) {
        TestImage image;
        image.file("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "x").machineIni(ini);
        SimMachine sm(image);
        EXPECT_FALSE(BSystem().deleteFileOnReboot("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll")) << ini;
        EXPECT_EQ(calls(sm, "MoveFileExA"), 0);
        sm.save();
        EXPECT_FALSE(image.exists("C:\\WINDOWS\\wininit.ini")) << ini;
    }
}

}  // namespace
