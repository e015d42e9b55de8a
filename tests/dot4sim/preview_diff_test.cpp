#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "TestImage.h"

namespace fs = std::filesystem;
using testsupport::jsonField;
using testsupport::jsonStrings;
using testsupport::TestImage;

namespace {

// The samples as they are (no machine.ini given), and with files that wait for the restart:
// on NT by their long names, on 98 by their short names in wininit.ini.
const std::pair<const char*, const char*> kMachines[] = {
    {"road-of-one-device", nullptr},
    {"win98-files-in-use", nullptr},
    {"only-device", nullptr},
    {"shared-stack", nullptr},
    {"road-of-one-device",
     "[system]\nplatform = 2\n[files]\nC:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF = "
     "in_use\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll = in_use\n"},
    {"road-of-one-device",
     "[system]\nplatform = 1\n[files]\nC:\\WINDOWS\\INF\\OTHER\\QuillmarkMIRELUSB.INF = "
     "read_only\n"},
};

// Every path below the image with its content.
std::map<std::string, std::string> contents(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string& s = out[e.path().string()];
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        s.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

// The preview of each sample tells what a real run then does, as diff sees it, and leaves the
// image as it was.
TEST(Preview, AgreesWithARealRunAndLeavesTheImageAlone) {
    for (const auto& [name, ini] : kMachines) {
        SCOPED_TRACE(std::string(name) + (ini ? "\n" + std::string(ini) : ""));
        TestImage before, after, restarted;
        for (TestImage* t : {&before, &after, &restarted}) {
            t->fromExample(name);
            if (ini) t->machineIni(ini);
        }
        // Times that differ everywhere, so that diff has to look at the bytes.
        if (fs::exists(after.dir() + "/drive_c"))
            for (const auto& e : fs::recursive_directory_iterator(after.dir() + "/drive_c"))
                fs::last_write_time(e.path(),
                                    fs::file_time_type::clock::now() - std::chrono::hours(1));
        auto was = contents(before.dir());
        std::string json = before.dir() + ".preview.json";
        auto p = before.cli({"preview", before.dir(), "--json", json, "--", "-l"});
        ASSERT_EQ(p.status, 0) << p.err;
        EXPECT_EQ(contents(before.dir()), was);  // no bookkeeping folder either
        std::string pj = slurp(json);
        EXPECT_EQ(pj.front(), '[');
        EXPECT_EQ(jsonField(pj, "machine"), "\"" + before.dir() + "\"");

        after.run({"-l"}, "no");
        std::string dj = after.dir() + ".diff.json";
        auto d = before.cli({"diff", before.dir(), after.dir(), "--json", dj});
        ASSERT_EQ(d.status, 1) << d.err;  // as diff(1): they differ
        std::string djson = slurp(dj);
        for (const char* f : {"keys_created", "files_deleted"})
            EXPECT_EQ(jsonField(pj, f), jsonField(djson, f)) << f;
        size_t keys = 0;
        for (std::smatch m; std::regex_search(djson, m, std::regex("\"keys\": (\\d+)"));
             djson = m.suffix())
            keys += std::stoul(m[1]);
        EXPECT_EQ(count(jsonField(pj, "keys_deleted"), "\"HKEY_"), keys);
        // A file listed as changed is one whose bytes changed, whatever the times say.
        for (const std::string& f : jsonStrings(jsonField(slurp(dj), "files_changed")))
            EXPECT_NE(before.readFile(f), after.readFile(f)) << f;
        // What diff sees waiting for the restart is what preview says was scheduled.
        std::string added = jsonField(slurp(dj), "restart_added");
        EXPECT_EQ(count(added, "\"delete "), count(jsonField(pj, "files_scheduled"), "\"C:"));
        EXPECT_EQ(jsonField(pj, "printers_deleted").find("Office") != std::string::npos,
                  after.outcome("spooler", "deleted.1") == "Office");
        EXPECT_EQ(jsonField(pj, "reboot_needed"), added == "[]" ? "false" : "true");
        for (const std::string& f : jsonStrings(jsonField(pj, "files_scheduled")))
            EXPECT_TRUE(after.exists(f)) << f;  // spelt as the drive spells it
        // What the restart then deletes is what the preview said it would.
        restarted.run({"-l"}, "no");
        restarted.restart();
        auto r = before.cli({"diff", after.dir(), restarted.dir(), "--json", dj});
        ASSERT_LE(r.status, 1) << r.err;
        // wininit.ini goes too, renamed wininit.bak: the restart's doing, not a deletion.
        std::vector<std::string> gone;
        for (const std::string& f : jsonStrings(jsonField(slurp(dj), "files_deleted")))
            if (f != "C:\\WINDOWS\\wininit.ini") gone.push_back(f);
        EXPECT_EQ(gone, jsonStrings(jsonField(pj, "restart_deletes")));
        fs::remove(json);
        fs::remove(dj);
    }
}

// Paths are spelt as the drive spells them, whatever case the program or machine.ini used.
TEST(Preview, AFileThatCannotBeScheduledIsNeitherDeletedNorScheduled) {
    TestImage img;
    img.fromExample("road-of-one-device");
    fs::rename(img.hostPath("C:\\WINDOWS\\SYSTEM"), img.hostPath("C:\\WINDOWS") + "/system");
    img.machineIni(
        "[system]\nplatform = 2\n[files]\nC:\\WINDOWS\\SYSTEM\\Dot4Mon.dll = in_use,no_schedule\n"
        "C:\\WINDOWS\\SYSTEM\\Dot4Rtl.dll = in_use\n");
    std::string json = img.dir() + ".json";
    auto p = img.cli({"preview", img.dir(), "--json", json});
    ASSERT_EQ(p.status, 0) << p.err;
    std::string pj = slurp(json);
    EXPECT_EQ(jsonField(pj, "files_failed"), "[\"C:\\\\WINDOWS\\\\system\\\\Dot4Mon.dll\"]");
    EXPECT_EQ(jsonField(pj, "files_scheduled"), "[\"C:\\\\WINDOWS\\\\system\\\\Dot4Rtl.dll\"]");
    EXPECT_NE(p.out.find("files neither deleted nor scheduled: 1"), std::string::npos);
    fs::remove(json);
}

TEST(Preview, ParallelJobsGiveTheSameReportAndABadImageIsNamed) {
    TestImage a, b, c;
    a.fromExample("road-of-one-device");
    b.fromExample("win98-files-in-use");
    c.registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=dword:zz\r\n");
    std::string j1 = a.dir() + ".1.json", j2 = a.dir() + ".2.json";
    auto one = a.cli({"preview", a.dir(), b.dir(), c.dir(), "--json", j1, "--", "-l"});
    auto two =
        a.cli({"preview", a.dir(), b.dir(), c.dir(), "--json", j2, "--jobs", "2", "--", "-l"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(slurp(j1), slurp(j2));
    EXPECT_NE(jsonField(slurp(j1), "error"), "(missing error)");
    EXPECT_NE(one.out.find("not previewed: " + c.dir() + "/registry.reg:"), std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("stack  machine\n"), std::string::npos);
    EXPECT_EQ(a.cli({"preview", a.dir(), "--jobs", "0"}).status, 2);
    EXPECT_EQ(a.cli({"preview"}).status, 2);
    EXPECT_NE(a.cli({"preview", a.dir() + "-nosuch"}).out.find("does not exist"),
              std::string::npos);
    auto help = a.cli({"preview", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--jobs N"), std::string::npos);
    EXPECT_EQ(a.cli({"diff", "--help"}).status, 0);
    fs::remove(j1);
    fs::remove(j2);
}

// What only the file's layout tells apart is not a change; what the registry holds is.
TEST(Diff, ShowsChangesWithoutLayoutNoise) {
    TestImage before, after;
    before.registry(testsupport::withCrlf(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C]\n"
        "\"dir\\\\\"=\"x\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n;class=\"Old\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Deep]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000001\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print]\n\"v\"=\"1\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print]\n\"v\"=\"1\"\n\n"));
    after.registry(testsupport::withCrlf(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C]\n"
        "\"dir\\\\\"=\"y\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\n;class=\"New\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Deep]\n\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New\\Leaf]\n\"n\"=dword:0000000a\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n\"Current\"=dword:00000001\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print]\n\"v\"=\"1\"\n\n"));
    after.file("C:\\WINDOWS\\new.txt", "n");
    auto d = before.cli({"diff", before.dir(), after.dir()});
    ASSERT_EQ(d.status, 1) << d.err;
    EXPECT_EQ(d.out,
              "- [HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]  (2 keys)\n"
              "+ [HKEY_LOCAL_MACHINE\\SOFTWARE\\New\\Leaf]\n"
              "+     \"n\" = dword:0000000a\n"
              "~ [HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C] \"dir\\\\\": \"x\" -> \"y\"\n"
              "~ [HKEY_LOCAL_MACHINE\\SOFTWARE\\K] class: \"Old\" -> \"New\"\n"
              "+ C:\\WINDOWS\\\n"
              "+ C:\\WINDOWS\\new.txt\n");
    auto same = before.cli(
        {"diff", before.dir(), before.dir() + "/../" + fs::path(before.dir()).filename().string()});
    EXPECT_EQ(same.out, "no changes\n");
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(before.cli({"diff", before.dir()}).status, 2);
}

// The first line after the heading answers whether the stack is there and what goes.
TEST(Preview, TheVerdictSaysWhetherTheStackIsThere) {
    TestImage with, without;
    with.fromExample("only-device");
    without.registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n");
    for (TestImage* t : {&with, &without}) {
        std::string json = t->dir() + ".json";
        auto p = t->cli({"preview", t->dir(), "--json", json, "--", "-l"});
        ASSERT_EQ(p.status, 0) << p.err;
        std::string second = lines(p.out).at(1), pj = slurp(json);
        bool found = t == &with;
        EXPECT_EQ(second.find(found ? "verdict: the Dot4 stack is here (" : "verdict: no trace"),
                  0u)
            << second;
        EXPECT_EQ(jsonField(pj, "stack_found"), found ? "true" : "false");
        EXPECT_NE(second.find(found ? "1 Dot4 port" : "empty base keys and its log C:\\"),
                  std::string::npos)
            << second;
        EXPECT_EQ(count(p.out, "(empty base key)"),
                  jsonStrings(jsonField(pj, "keys_created_empty")).size());
        EXPECT_EQ(jsonStrings(jsonField(pj, "files_created")),
                  std::vector<std::string>{"C:\\uninstall.txt"});
        EXPECT_NE(p.out.find("stack  machine\n"), std::string::npos);  // one machine too
        fs::remove(json);
    }
}

TEST(Preview, WarningsAreCountedByReason) {
    const size_t shown = 5, more = 3;
    std::string reg;
    for (size_t i = 0; i < shown + more; ++i)
        reg += "[HKEY_LOCAL_MACHINE\\Odd" + std::to_string(i) + "]\r\n\r\n";
    TestImage img;
    img.registry(reg);
    std::string json = img.dir() + ".json";
    auto p = img.cli({"preview", img.dir(), "--json", json});
    auto all = img.cli({"preview", img.dir(), "--warnings", "all"});
    EXPECT_EQ(count(p.out, "registry.reg:"), shown) << p.out;
    EXPECT_NE(p.out.find("warning: ... and " + std::to_string(more) + " more: "),
              std::string::npos);
    EXPECT_NE(p.out.find(std::to_string(shown + more) + " warnings in all\n"), std::string::npos);
    EXPECT_EQ(count(all.out, "registry.reg:"), shown + more);
    EXPECT_EQ(jsonStrings(jsonField(slurp(json), "warnings")).size(), shown + more);
    fs::remove(json);
}

// Finishing a commit an earlier command left is news about the image, not the machine.
TEST(Preview, ARecoveredCommitIsReportedOnStandardError) {
    TestImage img;
    img.fromExample("road-of-one-device");
    ::setenv("DOT4SIM_CRASH_AT", "1", 1);
    img.cli({"run", img.dir()});
    ::unsetenv("DOT4SIM_CRASH_AT");
    auto p = img.cli({"preview", img.dir()});
    EXPECT_NE(p.err.find("interrupted"), std::string::npos) << p.err;
    EXPECT_EQ(p.out.find("interrupted"), std::string::npos) << p.out;
}

// A 1251 machine's printer reads as Cyrillic in the terminal, the JSON and diff.
TEST(Preview, NamesAreUtf8) {
    const std::string ansi = "\xce\xf2\xe4\xe5\xeb", utf8 = "\u041e\u0442\u0434\u0435\u043b";
    TestImage before, after;
    for (TestImage* t : {&before, &after}) {
        t->fromExample("only-device");
        t->machineIni("[system]\nplatform = 2\ncodepage = 1251\n");
        t->registry(std::regex_replace(t->registryText(), std::regex("Printers\\\\Office"),
                                       "Printers\\" + ansi));
    }
    std::string json = before.dir() + ".json";
    auto p = before.cli({"preview", before.dir(), "--json", json});
    ASSERT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("printers deleted through the spooler: 1\n  " + utf8), std::string::npos);
    EXPECT_EQ(jsonStrings(jsonField(slurp(json), "printers_deleted")),
              std::vector<std::string>{utf8});
    EXPECT_EQ(jsonField(slurp(json), "codepage"), "1251");
    after.run({}, "no");
    EXPECT_NE(before.cli({"diff", before.dir(), after.dir()}).out.find(utf8), std::string::npos);
    fs::remove(json);
}

}  // namespace
