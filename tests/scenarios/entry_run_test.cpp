// The whole program through dot4sim, as a user runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestImage.h"

using testsupport::TestImage;

namespace {

TEST(EntryScenario, NothingToRemoveStillRunsEveryStepAndPrompts) {
    TestImage image;
    const TestImage::Result run = image.cli({"run", image.dir(), "--answer", "no", "--", "-L"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(image.outcome("prompt", "shown"), "1");
    EXPECT_EQ(image.outcome("restart", "requested"), "0");
    const std::vector<std::string> messages = image.logMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "Ossel WinMain Startup");
    EXPECT_EQ(messages[1], "Begin removeRegistryEntries()");
    EXPECT_EQ(messages.back(), "Finished removeInstalledFilesOnReboot()");
    int deleted = 0;
    for (const std::string& m : messages)
        if (m.rfind("Deleted C:\\WINDOWS\\", 0) == 0) ++deleted;
    EXPECT_GE(deleted, 5);
}

TEST(EntryScenario, YesRestartsAndTheRestartClearsThePendingLog) {
    TestImage image;
    const TestImage::Result run = image.cli({"run", image.dir(), "--answer", "yes", "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(image.outcome("restart", "requested"), "1");
    EXPECT_TRUE(image.exists("C:\\uninstall.txt"));
    ASSERT_EQ(image.cli({"restart", image.dir()}).status, 0);
    EXPECT_FALSE(image.exists("C:\\uninstall.txt"));
}

TEST(EntryScenario, CommandLineIsTheProgramPathAndArguments) {
    TestImage image;
    image.machineIni("[system]\nprogram=C:\\dot4uninstall.exe\n");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "/x"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(image.outcome("run", "command_line"), "C:\\dot4uninstall.exe /x");
    EXPECT_FALSE(image.exists("C:\\uninstall.txt"));
    EXPECT_EQ(image.outcome("run", "exit_code"), "0");
}

}  // namespace
