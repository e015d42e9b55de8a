// The fault sweep: every seam call a clean run of an image makes fails in turn, with a code
// Windows gives for that function, each on a fresh copy of the image. Whatever fails, the run
// must end normally, still ask its question, and take nothing from the machine that the clean
// run does not take, nor drop a restart-time operation scheduled before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>

#include "image/image.h"
#include "image/regfile.h"
#include "model/registry.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;

namespace {

// One or two typical failures per function. GetCommandLineA, GetCurrentThread,
// GetCurrentProcess and the critical section calls cannot fail on Windows and are left out.
const std::map<std::string, std::vector<unsigned>> kCodes = {
    {"RegCreateKeyExA", {5}},
    {"RegOpenKeyExA", {5, 2}},
    {"RegQueryValueExA", {5}},
    // ERROR_KEY_DELETED and ERROR_NO_MORE_ITEMS too soon: another program changed the key.
    {"RegEnumKeyA", {1018, 259}},
    {"RegDeleteKeyA", {5}},
    {"RegCloseKey", {6}},
    {"RegSetValueExA", {5}},
    {"RegDeleteValueA", {5}},
    {"DeleteFileA", {5, 32}},
    {"FindFirstFileA", {5, 32}},
    {"FindClose", {6}},
    {"GetWindowsDirectoryA", {8}},
    {"MoveFileExA", {5, 32}},
    {"MoveFileA", {5, 32}},
    {"CreateDirectoryA", {5}},
    {"GetVersionExA", {87}},
    {"OpenThreadToken", {1008}},
    {"OpenProcessToken", {5}},
    {"LookupPrivilegeValueA", {1313}},
    {"AdjustTokenPrivileges", {5}},
    {"CloseHandle", {6}},
    {"ExitWindowsEx", {1314}},
    {"OpenPrinterA", {1801}},
    {"DeletePrinter", {5}},
    {"ClosePrinter", {6}},
    {"MessageBoxA", {8}},
    {"platformOpenFile", {5, 32}},
};

// The log is on, so its own open is swept too.
const std::vector<std::string> kArgs = {"-l"};

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string readHost(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b);
}

// What a run may take from a machine, and the restart-time work that must outlive it.
struct State {
    std::set<std::string> keys;   // upper-cased key paths
    std::set<std::string> files;  // upper-cased host paths relative to the image
    std::set<std::string>
        renames;  // wininit.ini [rename] lines, PendingFileRenameOperations entries
};

State snapshot(const std::string& dir) {
    State s;
    std::unique_ptr<simwin::Machine> m = simwin::loadImage(dir);
    std::ostringstream text;
    simwin::writeRegFile(*m->run.registry, text);
    std::istringstream lines(text.str());
    std::string line;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.size() < 2 || line[0] != '[') continue;
        const std::string key = line.substr(1, line.size() - 2);
        s.keys.insert(upper(key));
        if (upper(key).size() >= 25 &&
            upper(key).compare(upper(key).size() - 25, 25, "\\CONTROL\\SESSION MANAGER") == 0) {
            if (auto v = m->run.registry->value(key, "PendingFileRenameOperations")) {
                std::string entry;
                for (char c : v->bytes) {
                    if (c != '\0') {
                        entry += c;
                    } else if (!entry.empty()) {
                        s.renames.insert("pending:" + entry);
                        entry.clear();
                    }
                }
            }
        }
    }
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        if (!e.is_directory() || e.path().filename().string().rfind("drive_", 0) != 0) continue;
        for (const fs::directory_entry& f : fs::recursive_directory_iterator(e.path())) {
            const std::string rel = upper(fs::relative(f.path(), dir).string());
            s.files.insert(rel);
            if (f.is_regular_file() && upper(f.path().filename().string()) == "WININIT.INI") {
                std::istringstream ini(readHost(f.path()));
                bool inRename = false;
                while (std::getline(ini, line)) {
                    line = trim(line);
                    if (!line.empty() && line[0] == '[')
                        inRename = upper(line) == "[RENAME]";
                    else if (inRename && !line.empty())
                        s.renames.insert(rel + ":" + upper(line));
                }
            }
        }
    }
    return s;
}

std::set<std::string> minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
}

std::string list(const std::set<std::string>& s) {
    std::string out;
    for (const std::string& x : s) out += "\n  " + x;
    return out;
}

// A fresh copy of an image. Runs sync what they write, so the copies live in memory when the
// machine has a tmpfs: on a disk the sweep would wait on the syncs, not on the runs.
class ImageCopy {
  public:
    explicit ImageCopy(const fs::path& from) {
        static const std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/dot4sweep-XXXXXX";
        if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed in " + base);
        dir = pattern;
        fs::copy(from, dir, fs::copy_options::recursive);
    }
    ~ImageCopy() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    int run(std::optional<bool> answerYes, const std::string& traceFile, std::string& err) const {
        simwin::RunOptions o;
        o.image = dir;
        o.answerYes = answerYes;
        o.args = kArgs;
        o.traceFile = traceFile;
        std::ostringstream e;
        const int status = simwin::runImage(o, e);
        err = e.str();
        return status;
    }

    bool promptShownOnce() const {
        return readHost(fs::path(dir) / "outcome.ini").find("\nshown=1\n") != std::string::npos;
    }

    std::string dir;
};

using Calls = std::map<std::string, unsigned>;

// Sweeps one answer to the prompt; calls that `done` already swept are left out. Gives the
// clean run's calls.
Calls sweep(const fs::path& source, std::optional<bool> answerYes, const Calls& done,
            unsigned& runs) {
    // The clean run: what the program takes by design, and how often it calls each function.
    // The sources are only ever read through copies.
    const ImageCopy clean(source);
    const State before = snapshot(clean.dir);
    std::string err;
    const std::string tracePath = clean.dir + ".trace";
    EXPECT_EQ(clean.run(answerYes, tracePath, err), 0) << err;
    const State cleanAfter = snapshot(clean.dir);
    const std::set<std::string> removedKeys = minus(before.keys, cleanAfter.keys);
    const std::set<std::string> removedFiles = minus(before.files, cleanAfter.files);
    Calls calls;
    {
        std::istringstream trace(readHost(tracePath));
        std::string line;
        while (std::getline(trace, line)) {
            const std::string name = line.substr(0, line.find('('));
            if (kCodes.count(name)) ++calls[name];
        }
    }
    fs::remove(tracePath);
    EXPECT_FALSE(calls.empty());

    for (const auto& [function, count] : calls) {
        const auto swept = done.find(function);
        for (unsigned code : kCodes.at(function)) {
            for (unsigned n = swept == done.end() ? 1 : swept->second + 1; n <= count; ++n) {
                const std::string fault =
                    function + "=" + std::to_string(code) + "@" + std::to_string(n);
                const ImageCopy image(source);
                {
                    std::ofstream ini(fs::path(image.dir) / "machine.ini", std::ios::app);
                    ini << "\n[faults]\n" << fault << "\n";
                }
                const int status = image.run(answerYes, "", err);
                ++runs;
                EXPECT_EQ(status, 0) << fault << "\n" << err;
                if (status != 0) continue;
                if (function != "MessageBoxA") {
                    EXPECT_TRUE(image.promptShownOnce()) << fault;
                }
                const State after = snapshot(image.dir);
                EXPECT_EQ(list(minus(minus(before.keys, after.keys), removedKeys)), "")
                    << fault << ": keys removed outside the clean run's";
                EXPECT_EQ(list(minus(minus(before.files, after.files), removedFiles)), "")
                    << fault << ": files removed outside the clean run's";
                EXPECT_EQ(list(minus(before.renames, after.renames)), "")
                    << fault << ": restart-time operations lost";
            }
        }
    }
    return calls;
}

std::vector<std::string> images() {
    std::vector<std::string> out;
    for (const char* parent : {"examples/machines", "tests/wine/scenarios"})
        for (const fs::directory_entry& e : fs::directory_iterator(fs::path(SOURCE_DIR) / parent))
            if (e.is_directory()) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

class FaultSweep : public testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EveryFailingCall) {
    const fs::path source = GetParam();
    unsigned runs = 0;
    // The image's own answer, then Yes for the calls of the restart that only it makes.
    const Calls first = sweep(source, std::nullopt, {}, runs);
    sweep(source, true, first, runs);
    RecordProperty("runs", static_cast<int>(runs));
    std::printf("%s: %u faulted runs\n", source.filename().c_str(), runs);
}

std::string testName(const testing::TestParamInfo<std::string>& info) {
    const fs::path p(info.param);
    std::string name = p.parent_path().filename().string() + "_" + p.filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Images, FaultSweep, testing::ValuesIn(images()), testName);

}  // namespace
