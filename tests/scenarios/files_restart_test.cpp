// Installed files through a whole run and the restart that follows.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestImage.h"

using testsupport::TestImage;
using testsupport::withoutCr;

namespace {

TEST(FilesScenario, Windows98LoadedModulesWaitInWininitUntilTheRestart) {
    TestImage image;
    image.fromExample("win98-files-in-use");
    // Windows 98 deletes files in use, but not a module mapped in memory.
    image.machineIni(
        "[system]\nplatform=1\n[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=loaded\n"
        "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll=loaded\n"
        "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys=loaded\n");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(withoutCr(image.readFile("C:\\WINDOWS\\wininit.ini")),
              "[rename]\n"
              "NUL=C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys\n"
              "NUL=C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll\n"
              "NUL=C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\n"
              "NUL=C:\\WINDOWS\\TEMP\\OLDSETUP.TMP\n");
    EXPECT_FALSE(image.exists("C:\\mirnul.ini"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\INF\\mirelc.inf"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Prt.sys"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));

    int needed = 0;
    for (const std::string& m : image.logMessages())
        if (m.size() > 16 && m.substr(m.size() - 16) == " - Reboot Needed") ++needed;
    EXPECT_EQ(needed, 3);

    const TestImage::Result restart = image.cli({"restart", image.dir()});
    ASSERT_EQ(restart.status, 0) << restart.err;
    for (const char* f : {"C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll", "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll",
                          "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys",
                          "C:\\WINDOWS\\TEMP\\OLDSETUP.TMP", "C:\\WINDOWS\\wininit.ini"})
        EXPECT_FALSE(image.exists(f)) << f;
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\wininit.bak"));
    // Windows 98 has no restart-time deletion for the log.
    EXPECT_TRUE(image.exists("C:\\uninstall.txt"));
}

TEST(FilesScenario, NTFilesInUseAndTheLogGoAtTheRestart) {
    TestImage image;
    // The Windows 98 sample's drive, on NT with the monitor and the USB driver loaded.
    image.fromExample("road-of-one-device");
    image.machineIni(
        "[system]\nplatform=2\n[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll=in_use\n"
        "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Usb.sys=in_use\n");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Usb.sys"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\INF\\usbprint.inf"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\wininit.ini"));
    EXPECT_NE(image.registryText().find("PendingFileRenameOperations"), std::string::npos);

    const TestImage::Result restart = image.cli({"restart", image.dir()});
    ASSERT_EQ(restart.status, 0) << restart.err;
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4Usb.sys"));
    EXPECT_FALSE(image.exists("C:\\uninstall.txt"));
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\usbprint.sys"));
}

TEST(FilesScenario, UnwritableWininitLeavesTheFileInPlace) {
    TestImage image;
    image.fromExample("win98-files-in-use");
    image.machineIni(
        "[system]\nplatform=1\n[faults]\nDeleteFileA=32@C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll\n"
        "MoveFileA=5\n");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(image.exists("C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll"));
    // The other program's restart-time deletion is still there.
    EXPECT_EQ(withoutCr(image.readFile("C:\\WINDOWS\\wininit.ini")),
              "[rename]\nNUL=C:\\WINDOWS\\TEMP\\OLDSETUP.TMP\n");
    bool bare = false;
    for (const std::string& m : image.logMessages())
        if (m == "Deleted C:\\WINDOWS\\SYSTEM\\Dot4Mon.dll") bare = true;
    EXPECT_TRUE(bare);
}

TEST(FilesScenario, Windows98LongNamedFileIsScheduledByItsShortName) {
    TestImage image;
    const std::string usb = "C:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF";
    image.machineIni("[system]\nplatform=1\n[faults]\nDeleteFileA=32@" + usb + "\n");
    image.file(usb, "usb");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(withoutCr(image.readFile("C:\\WINDOWS\\wininit.ini")),
              "[rename]\nNUL=C:\\WINDOWS\\INF\\OTHER\\QUILLM~1.INF\n");
    bool logged = false;
    for (const std::string& m : image.logMessages())
        if (m == "Deleted " + usb + " - Reboot Needed") logged = true;
    EXPECT_TRUE(logged);
    const TestImage::Result restart = image.cli({"restart", image.dir()});
    ASSERT_EQ(restart.status, 0) << restart.err;
    EXPECT_EQ(restart.out, "");
    EXPECT_FALSE(image.exists(usb));
}

}  // namespace
