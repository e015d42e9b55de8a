#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

#include "TestImage.h"
#include "model/drives.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;
using testsupport::TestImage;

namespace {

// Every path below the image with its size, to prove a refused run wrote nothing.
std::map<std::string, uintmax_t> snapshot(const std::string& dir) {
    std::map<std::string, uintmax_t> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out[e.path().string()] = e.is_regular_file() ? e.file_size() : 0;
    return out;
}

TEST(Dot4simCli, HelpAndUsageErrors) {
    TestImage img;
    auto help = img.cli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("dot4sim run MACHINE"), std::string::npos);
    auto runHelp = img.cli({"run", "--help"});
    EXPECT_EQ(runHelp.status, 0);
    EXPECT_NE(runHelp.out.find("--trace FILE"), std::string::npos);
    EXPECT_EQ(img.cli({"restart", "--help"}).status, 0);
    EXPECT_EQ(img.cli({}).status, 2);
    auto unknown = img.cli({"frobnicate"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(img.cli({"run"}).status, 2);
    EXPECT_EQ(img.cli({"run", img.dir(), "--answer", "perhaps"}).status, 2);
    EXPECT_EQ(img.cli({"run", img.dir(), "-l"}).status, 2);
    auto missing = img.cli({"run", img.dir() + "/nowhere"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos);
}

TEST(Dot4simCli, ABrokenMachineIniIsRefusedAndNothingIsWritten) {
    TestImage img;
    img.machineIni("[system]\nplatform = 2\nanswer = yes\n");
    img.registry("[HKEY_LOCAL_MACHINE\\enum\\DOT4]\r\n\r\n");
    img.file("C:\\WINDOWS\\INF\\mirelc.inf", "x");
    auto before = snapshot(img.dir());
    auto r = img.cli({"run", img.dir(), "--", "-l"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "dot4sim: " + img.dir() +
                         "/machine.ini:3: unknown key 'answer' in [system]; expected platform, "
                         "major, minor, build, version_query, windows_directory, "
                         "current_directory, program or codepage\n");
    EXPECT_EQ(snapshot(img.dir()), before);
}

TEST(Dot4simCli, ARegistryWithOneBrokenLineIsRefusedWithThatLineAndLeftAlone) {
    TestImage img;
    img.registry(
        "[HKEY_LOCAL_MACHINE\\enum\\DOT4]\r\n"
        "\"Name\"=\"ok\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\enum\\DOT4\\VID_5E7A&PID_0C21]\r\n"
        "\"Port Number\"=dword:zz\r\n");
    auto before = snapshot(img.dir());
    std::string text = img.registryText();
    auto r = img.cli({"run", img.dir(), "--", "-l"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("dot4sim: " + img.dir() + "/registry.reg:7: expected", 0), 0u) << r.err;
    EXPECT_EQ(snapshot(img.dir()), before);
    EXPECT_EQ(img.registryText(), text);
}

TEST(Dot4simCli, CommandLineQuotesArgumentsLikeWindows) {
    EXPECT_EQ(simwin::buildCommandLine("\"C:\\P\\u.exe\"", {"-l", "two words", ""}),
              "\"C:\\P\\u.exe\" -l \"two words\" \"\"");
    EXPECT_EQ(simwin::buildCommandLine("u.exe", {"say \"hi\""}), "u.exe \"say \\\"hi\\\"\"");
}

TEST(Dot4simRun, EmptyMachineWithLogAnsweredYesOnNt) {
    TestImage img;
    std::string traceFile = img.dir() + ".trace";
    auto r = img.cli({"run", img.dir(), "--answer", "yes", "--trace", traceFile, "--", "-l"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(img.outcome("run", "exit_code"), "0");
    EXPECT_EQ(img.outcome("run", "command_line"),
              "\"C:\\Program Files\\Dot4\\dot4uninstall.exe\" -l");
    EXPECT_EQ(img.outcome("prompt", "shown"), "1");
    EXPECT_EQ(img.outcome("prompt", "text"),
              "You must reboot for the uninstallation to complete.  Reboot Now?");
    EXPECT_EQ(img.outcome("prompt", "caption"), "REBOOT REQUIRED");
    EXPECT_EQ(img.outcome("prompt", "style"), "4");
    EXPECT_EQ(img.outcome("prompt", "answer"), "yes");
    EXPECT_EQ(img.outcome("restart", "requested"), "1");
    EXPECT_EQ(img.outcome("restart", "flags"), "2");
    std::string log = img.readFile("C:\\uninstall.txt");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], '\x01');
    EXPECT_EQ(log.compare(1, 5, "event"), 0);
    auto records = img.log();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].message, "Ossel WinMain Startup");
    EXPECT_EQ(records[0].category, "general");
    EXPECT_EQ(records[0].level, "release");
    std::ifstream t(traceFile);
    std::string all((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("ExitWindowsEx(2, 0) = TRUE"), std::string::npos);
    std::remove(traceFile.c_str());
}

TEST(Dot4simRun, NoLogWithoutTheSwitchAndRestartLeavesNoOutcome) {
    TestImage img;
    ASSERT_EQ(img.run().status, 0);
    EXPECT_FALSE(img.exists("C:\\uninstall.txt"));
    EXPECT_EQ(img.outcome("restart", "requested"), "0");
    EXPECT_EQ(img.outcome("restart", "flags"), "");
    EXPECT_NE(img.registryText().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillmark\\Corlis]"),
              std::string::npos);
    EXPECT_EQ(img.restart().status, 0);
}

TEST(Dot4simRun, NothingOutsideTheImageIsFollowedOrWritten) {
    TestImage img, outside;
    outside.file("C:\\victim.txt", "victim");
    const std::string victim = outside.dir() + "/drive_c/victim.txt";
    fs::create_symlink(victim, img.dir() + "/registry.reg.tmp");
    fs::create_symlink(victim, img.dir() + "/outcome.ini.tmp");
    fs::create_directory(img.dir() + "/.dot4sim-ready");
    fs::create_directory_symlink(outside.dir() + "/drive_c", img.dir() + "/.dot4sim-ready/drive_c");
    img.registry("[HKEY_LOCAL_MACHINE\\Software\\Kept]\r\n\r\n").file("C:\\kept.txt", "kept");
    auto outsideBefore = snapshot(outside.dir());
    auto r = img.run();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(outside.dir()), outsideBefore);
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "victim");
    EXPECT_EQ(img.readFile("C:\\kept.txt"), "kept");
    EXPECT_NE(img.registryText().find("Kept"), std::string::npos);
    EXPECT_EQ(img.outcome("run", "exit_code"), "0");
}

TEST(Dot4simRun, SpecialFilesInPlaceOfTheImageFilesAreRefusedByName) {
    for (const char* name : {"registry.reg", "machine.ini", "outcome.ini"}) {
        for (bool fifo : {true, false}) {
            SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO" : " as a folder"));
            TestImage img;
            std::string path = img.dir() + "/" + name;
            ASSERT_EQ(fifo ? ::mkfifo(path.c_str(), 0644) : ::mkdir(path.c_str(), 0755), 0);
            auto before = snapshot(img.dir());
            auto r = img.run();
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err.rfind("dot4sim: " + path + ": ", 0), 0u) << r.err;
            EXPECT_EQ(snapshot(img.dir()), before);
        }
    }
}

TEST(Dot4simRun, ATraceThatCannotBeWrittenIsRefusedBeforeTheRun) {
    TestImage img;
    auto before = snapshot(img.dir());
    auto r = img.cli({"run", img.dir(), "--trace", img.dir() + "/no/such/folder/trace.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("trace.txt"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(img.dir()), before);
}

TEST(Dot4simRun, AMissingRegistryIsWarnedAboutAndABusyImageRefused) {
    TestImage img;
    auto r = img.cli({"run", img.dir()});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("warning: " + img.dir() + "/registry.reg is missing"), std::string::npos)
        << r.err;
    auto before = snapshot(img.dir());
    testsupport::SimMachine holder(img);  // a command that is still running on the image
    auto busy = img.cli({"run", img.dir()});
    EXPECT_EQ(busy.status, 2);
    EXPECT_NE(busy.err.find("another dot4sim command is using this image"), std::string::npos)
        << busy.err;
    holder.m().run.staging->discard();
    EXPECT_EQ(snapshot(img.dir()), before);
}

}  // namespace
