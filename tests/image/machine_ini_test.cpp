#include <gtest/gtest.h>

#include "win32/gate.h"
#include "image/image.h"
#include "model/machine.h"

using simwin::ImageError;
using simwin::Machine;
using simwin::parseMachineIni;

namespace {

std::string errorOf(const std::string& text) {
    Machine m;
    try {
        parseMachineIni(m, text, "img/machine.ini");
    } catch (const ImageError& e) {
        return e.what();
    }
    return "";
}

TEST(MachineIni, DefaultsDescribeAnXpMachine) {
    Machine m;
    parseMachineIni(m, "", "machine.ini");
    EXPECT_EQ(m.config.system.platform, 2u);
    EXPECT_EQ(m.config.system.major, 5u);
    EXPECT_EQ(m.config.system.minor, 1u);
    EXPECT_EQ(m.config.system.build, 2600u);
    EXPECT_EQ(m.config.system.windowsDirectory, "C:\\WINDOWS");
    EXPECT_EQ(m.config.system.currentDirectory, "C:\\");
    EXPECT_EQ(m.config.system.program, "\"C:\\Program Files\\Dot4\\dot4uninstall.exe\"");
    EXPECT_EQ(m.config.promptAnswer, IDNO);
    EXPECT_EQ(m.config.privileges.threadToken, simwin::PrivilegeConfig::Thread::None);
}

TEST(MachineIni, Windows98GetsItsOwnVersionDefaults) {
    Machine m;
    parseMachineIni(m, "[system]\nplatform = 1\n", "machine.ini");
    EXPECT_EQ(m.config.system.major, 4u);
    EXPECT_EQ(m.config.system.minor, 10u);
    EXPECT_EQ(m.config.system.build, 2222u);
    Machine m95;
    parseMachineIni(m95, "[system]\nplatform=1\nminor=0\n", "machine.ini");
    EXPECT_EQ(m95.config.system.minor, 0u);
    EXPECT_EQ(m95.config.system.major, 4u);
}

TEST(MachineIni, EverySectionIsRead) {
    Machine m;
    parseMachineIni(m,
                    "; a comment\r\n"
                    "[system]\r\n"
                    "windows_directory = 1234\r\n"
                    "current_directory = C:\\TEMP\r\n"
                    "version_query = 0x57\r\n"
                    "[prompt]\r\nanswer = YES\r\n"
                    "[privileges]\r\nthread_token = present\r\nprocess_token = 5\r\n"
                    "lookup = ok\r\nadjust = 1300\r\n"
                    "[shutdown]\r\nresult = 5\r\n"
                    "[spooler]\r\nOffice = open=5\r\nLab = delete=1801\r\nExtra = ok\r\n"
                    "[files]\r\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll = in_use, no_schedule\r\n"
                    "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\Dot4.sys = loaded\r\n"
                    "[short_names]\r\nc:\\program files\\..\\Program Files = progra~2\r\n"
                    "[registry]\r\nHKEY_LOCAL_MACHINE\\enum\\DOT4\\ = no_delete\r\n"
                    "[faults]\r\nDeleteFileA = 5\r\nRegDeleteKeyA = 5@2\r\n"
                    "RegDeleteKeyA = 1018@HKEY_LOCAL_MACHINE\\enum\r\n",
                    "machine.ini");
    EXPECT_EQ(m.config.system.windowsDirectoryResult.error, 1234u);
    EXPECT_EQ(m.config.system.currentDirectory, "C:\\TEMP");
    EXPECT_EQ(m.config.system.versionQuery.error, 0x57u);
    EXPECT_EQ(m.config.promptAnswer, IDYES);
    EXPECT_EQ(m.config.privileges.threadToken, simwin::PrivilegeConfig::Thread::Present);
    EXPECT_EQ(m.config.privileges.processToken.error, 5u);
    EXPECT_EQ(m.config.privileges.adjust.error, 1300u);
    EXPECT_EQ(m.config.shutdown.error, 5u);
    ASSERT_EQ(m.config.printerRules.size(), 3u);
    EXPECT_EQ(m.config.printerRules[0].first, "Office");
    EXPECT_EQ(m.config.printerRules[0].second.kind, simwin::PrinterRule::Kind::OpenFails);
    EXPECT_EQ(m.config.printerRules[1].second.code, 1801u);
    EXPECT_EQ(m.config.fileRule("c:\\windows\\system\\DOT4MON.DLL"),
              unsigned(simwin::kFileInUse | simwin::kFileNoSchedule));
    EXPECT_EQ(m.config.fileRule("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\DOT4.SYS"),
              unsigned(simwin::kFileLoaded));
    EXPECT_EQ(m.config.shortNames.at("C:\\PROGRAM FILES"), "PROGRA~2");
    EXPECT_EQ(m.config.registryRule("HKEY_LOCAL_MACHINE\\ENUM\\dot4"),
              unsigned(simwin::kRuleNoDelete));
    ASSERT_EQ(m.config.faults.size(), 3u);
    EXPECT_EQ(m.config.faults[1].nth, 2u);
    EXPECT_EQ(m.config.faults[2].subject, "HKEY_LOCAL_MACHINE\\enum");
}

TEST(MachineIni, BadInputNamesFileLineAndWhatWasExpected) {
    EXPECT_EQ(
        errorOf("[system]\nplatform = 2\n[sytem]\n"),
        "img/machine.ini:3: unknown section [sytem]; expected [system], [prompt], "
        "[privileges], [shutdown], [spooler], [files], [short_names], [registry] or [faults]");
    EXPECT_EQ(errorOf("\n\n[system]\nplatfrom = 2\n")
                  .rfind("img/machine.ini:4: unknown key 'platfrom'", 0),
              0u);
    EXPECT_EQ(
        errorOf("[system]\nplatform = 7\n"),
        "img/machine.ini:2: expected platform 0 (Win32s), 1 (Windows 95/98) or 2 (NT), got '7'");
    EXPECT_EQ(errorOf("[system]\nmajor = five\n"),
              "img/machine.ini:2: expected a number for major, got 'five'");
    EXPECT_EQ(errorOf("[prompt]\nanswer = maybe\n"),
              "img/machine.ini:2: expected yes or no for answer, got 'maybe'");
    EXPECT_EQ(errorOf("platform = 2\n"),
              "img/machine.ini:1: expected a [section] header before 'platform'");
    EXPECT_EQ(errorOf("[system]\njust words\n"),
              "img/machine.ini:2: expected key = value or a [section] header");
    EXPECT_EQ(errorOf("[system]\nplatform=1\nplatform=2\n"),
              "img/machine.ini:3: key 'platform' given twice in [system]");
    EXPECT_EQ(errorOf("[spooler]\nOffice = gone\n"),
              "img/machine.ini:2: expected ok, absent, open=CODE or delete=CODE for printer "
              "'Office', got 'gone'");
    EXPECT_EQ(errorOf("[faults]\nDeleteFile = 5\n").rfind("img/machine.ini:2: unknown function", 0),
              0u);
    EXPECT_EQ(errorOf("[faults]\nDeleteFileA = 0\n"),
              "img/machine.ini:2: expected a non-zero error code for DeleteFileA, got '0'");
    EXPECT_EQ(
        errorOf("[files]\nC:\\x = locked\n"),
        "img/machine.ini:2: expected in_use, loaded, read_only or no_schedule for 'C:\\x', got "
        "'locked'");
    EXPECT_EQ(errorOf("[short_names]\nC:\\Long Name = LONG-NAME\n"),
              "img/machine.ini:2: expected an 8.3 name for 'C:\\Long Name', got 'LONG-NAME'");
    EXPECT_EQ(errorOf("[system\n"),
              "img/machine.ini:1: expected a section header such as [system]");
}

TEST(Faults, AlwaysNthCallAndSubject) {
    Machine m;
    simwin::activate(&m);
    m.config.faults.push_back({"DeleteFileA", 5, 0, ""});
    m.config.faults.push_back({"RegDeleteKeyA", 1018, 2, ""});
    m.config.faults.push_back({"RegOpenKeyExA", 2, 0, "HKEY_LOCAL_MACHINE\\enum"});
    EXPECT_EQ(simwin::injectedFault("DeleteFileA", "C:\\a"), std::optional<DWORD>(5));
    EXPECT_EQ(simwin::injectedFault("DeleteFileA", "C:\\b"), std::optional<DWORD>(5));
    EXPECT_EQ(simwin::injectedFault("RegDeleteKeyA"), std::nullopt);
    EXPECT_EQ(simwin::injectedFault("RegDeleteKeyA"), std::optional<DWORD>(1018));
    EXPECT_EQ(simwin::injectedFault("RegDeleteKeyA"), std::nullopt);
    EXPECT_EQ(simwin::injectedFault("RegOpenKeyExA", "hkey_local_machine\\ENUM"),
              std::optional<DWORD>(2));
    EXPECT_EQ(simwin::injectedFault("RegOpenKeyExA", "HKEY_LOCAL_MACHINE\\enum\\USB"),
              std::nullopt);
    simwin::activate(nullptr);
}

}  // namespace
