// dot4sim run killed at every step of its commit, on a large image: after the next command's
// recovery the image is exactly the old one or exactly the new one, and runs again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "TestImage.h"
#include "image/transaction.h"
#include "model/drives.h"

extern char** environ;

namespace fs = std::filesystem;
using testsupport::TestImage;

namespace {

// registry.reg, outcome.ini and every drive entry, with a hash of its content.
std::map<std::string, size_t> state(const std::string& dir) {
    std::map<std::string, size_t> out;
    auto add = [&](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        out[fs::relative(p, dir).string()] =
            std::hash<std::string>()(std::string(std::istreambuf_iterator<char>(in), {}));
    };
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name == "registry.reg" || name == "outcome.ini") add(e.path());
        if (name.rfind("drive_", 0) != 0) continue;
        for (const auto& d : fs::recursive_directory_iterator(e.path())) {
            if (d.is_directory())
                out[fs::relative(d.path(), dir).string()] = 0;
            else
                add(d.path());
        }
    }
    return out;
}

// dot4sim run DIR, killed before commit step `crashAt`+1 unless negative. The exit status, or
// -1 when it was killed.
int run(const std::string& dir, int crashAt) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    if (crashAt >= 0) env.push_back("DOT4SIM_CRASH_AT=" + std::to_string(crashAt));
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string exe = DOT4SIM_PATH, cmd = "run";
    std::string image = dir;
    argv = {&exe[0], &cmd[0], &image[0], nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -2;
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : -3;
}

// A copy that shares the files: a run replaces files, it never writes into a live one.
void linkCopy(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::create_hard_links);
}

}  // namespace

TEST(CommitKill, EveryStepOfACommitRecoversToTheOldOrTheNewImage) {
    TestImage base;
    base.fromExample("road-of-one-device");
    {
        std::ofstream reg(base.dir() + "/registry.reg", std::ios::app | std::ios::binary);
        char key[96];
        for (int i = 0; i < 200000; ++i) {
            std::snprintf(key, sizeof key, "\r\n[HKEY_LOCAL_MACHINE\\Software\\Filler\\K%06d]\r\n",
                          i);
            reg << key << "\"v\"=dword:" << std::hex << i << std::dec << "\r\n";
        }
    }
    for (int i = 0; i < 3000; ++i)
        base.file("C:\\DATA\\D" + std::to_string(i % 30) + "\\f" + std::to_string(i) + ".txt",
                  std::to_string(i));
    const auto old = state(base.dir());
    const std::string work = base.dir() + ".work";
    linkCopy(base.dir(), work);
    const int status = run(work, -1);
    ASSERT_GE(status, 0);
    const auto now = state(work);
    ASSERT_NE(now, old);
    ASSERT_NE(now.count("outcome.ini"), 0u);

    bool sawOld = false, sawNew = false;
    int crashAt = 0;
    for (; crashAt < 200; ++crashAt) {
        SCOPED_TRACE("killed before commit step " + std::to_string(crashAt + 1));
        linkCopy(base.dir(), work);
        int killed = run(work, crashAt);
        if (killed != -1) {
            EXPECT_EQ(killed, status);  // the commit had fewer steps: it ran through
            EXPECT_EQ(state(work), now);
            break;
        }
        std::string said = simwin::recoverImage(work);
        EXPECT_FALSE(said.empty());
        auto after = state(work);
        EXPECT_TRUE(after == old || after == now);
        sawOld |= after == old;
        sawNew |= after == now;
        EXPECT_EQ(run(work, -1), status);
    }
    EXPECT_TRUE(sawOld && sawNew);
    EXPECT_GT(crashAt, 5);
    fs::remove_all(work);
}
