#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestImage.h"

using testsupport::TestImage;

namespace {

const char* const kText = "You must reboot for the uninstallation to complete.  Reboot Now?";

std::string traceText(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "";
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

TEST(WinMain, WithoutTheSwitchNoLogIsTouched) {
    TestImage image;
    image.file("C:\\uninstall.txt", "kept");
    EXPECT_EQ(image.run({"-x"}).status, 0);
    EXPECT_EQ(image.readFile("C:\\uninstall.txt"), "kept");
    TestImage fresh;
    EXPECT_EQ(fresh.run().status, 0);
    EXPECT_FALSE(fresh.exists("C:\\uninstall.txt"));
}

TEST(WinMain, PromptIsShownOnEveryRun) {
    TestImage image;
    EXPECT_EQ(image.run({}, "no").status, 0);
    EXPECT_EQ(image.outcome("run", "exit_code"), "0");
    EXPECT_EQ(image.outcome("prompt", "shown"), "1");
    EXPECT_EQ(image.outcome("prompt", "text"), kText);
    EXPECT_EQ(image.outcome("prompt", "caption"), "REBOOT REQUIRED");
    EXPECT_EQ(image.outcome("prompt", "style"), "4");
    EXPECT_EQ(image.outcome("restart", "requested"), "0");
    EXPECT_EQ(image.outcome("restart", "flags"), "");
}

TEST(WinMain, SwitchFoundAnywhereInAnyCase) {
    struct Case {
        std::string ini;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"", {"-l"}},
        {"", {"-L"}},
        {"", {"/quiet-log"}},
        {"[system]\nprogram=\"C:\\Tools-Lib\\dot4uninstall.exe\"\n", {}},
    };
    for (const Case& c : cases) {
        TestImage image;
        if (!c.ini.empty()) image.machineIni(c.ini);
        EXPECT_EQ(image.run(c.args).status, 0) << c.ini;
        const std::vector<testsupport::LogRecord> records = image.log();
        ASSERT_FALSE(records.empty()) << c.ini;
        const testsupport::LogRecord& first = records.front();
        EXPECT_EQ(first.number, 0);
        EXPECT_EQ(first.message, "Ossel WinMain Startup");
        EXPECT_EQ(first.source, "WinMain.cpp");
        EXPECT_EQ(first.category, "general");
        EXPECT_EQ(first.level, "release");
        EXPECT_EQ(image.readFile("C:\\uninstall.txt").substr(0, 6),
                  "\x01"
                  "event");
    }
}

TEST(WinMain, LogHoldsEveryStepBeforeThePromptIsAnswered) {
    TestImage image;
    image.file("C:\\uninstall.txt", std::string(20000, 'o'));
    const std::string trace = image.dir() + ".trace";
    EXPECT_EQ(image.run({"-l"}, "no", trace).status, 0);
    const std::vector<std::string> messages = image.logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Finished removeInstalledFilesOnReboot()");
    EXPECT_EQ(image.readFile("C:\\uninstall.txt").find("ooo"), std::string::npos);
    // The log's deletion at restart is asked for before any step runs.
    const std::string t = traceText(trace);
    std::remove(trace.c_str());
    const size_t schedule = t.find("MoveFileExA(\"uninstall.txt\"");
    ASSERT_NE(schedule, std::string::npos) << t;
    EXPECT_LT(schedule, t.find("RegCreateKeyExA"));
    EXPECT_EQ(t.find("ExitWindowsEx"), std::string::npos);
}

TEST(WinMain, YesRestartsOnNTWithThePrivilege) {
    TestImage image;
    EXPECT_EQ(image.run({"-l"}, "yes").status, 0);
    EXPECT_EQ(image.outcome("prompt", "answer"), "yes");
    EXPECT_EQ(image.outcome("restart", "requested"), "1");
    EXPECT_EQ(image.outcome("restart", "flags"), "2");
    // The log was closed before the restart request, with every record in it.
    EXPECT_EQ(image.logMessages().back(), "Finished removeInstalledFilesOnReboot()");
}

TEST(WinMain, YesWithoutTheShutdownPrivilegeStillEndsWithZero) {
    TestImage image;
    image.machineIni("[privileges]\nadjust=1300\n");
    EXPECT_EQ(image.run({}, "yes").status, 0);
    EXPECT_EQ(image.outcome("run", "exit_code"), "0");
    EXPECT_EQ(image.outcome("restart", "requested"), "0");
    EXPECT_EQ(image.outcome("restart", "flags"), "");
}

TEST(WinMain, YesOnWindows98) {
    TestImage image;
    image.machineIni("[system]\nplatform=1\nminor=10\n");
    const std::string trace = image.dir() + ".trace";
    EXPECT_EQ(image.run({"-l"}, "yes", trace).status, 0);
    EXPECT_EQ(image.outcome("restart", "requested"), "1");
    EXPECT_EQ(image.outcome("restart", "flags"), "2");
    const std::string t = traceText(trace);
    std::remove(trace.c_str());
    EXPECT_EQ(t.find("OpenProcessToken"), std::string::npos);
    EXPECT_EQ(t.find("MoveFileExA(\"uninstall.txt\""), std::string::npos);
    EXPECT_FALSE(image.log().empty());
}

}  // namespace
