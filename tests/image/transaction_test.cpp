// The image as one transaction: a crash at any step of a commit leaves the old or the new image
// once the next command has recovered it, and nothing outside the image is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "TestImage.h"
#include "model/drives.h"
#include "image/image.h"
#include "image/transaction.h"
#include "model/registry.h"

namespace fs = std::filesystem;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below `dir`, relative, with its content ("/" for a folder, "@" for a link).
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        out[rel] = e.is_symlink() ? "@" : e.is_directory() ? "/" : slurp(e.path());
    }
    return out;
}

void build(TestImage& img) {
    img.registry("[HKEY_LOCAL_MACHINE\\Software\\Old]\n\"v\"=\"1\"\n");
    img.file("C:\\gone.txt", "gone")
        .file("C:\\kept.txt", "kept")
        .file("C:\\over.txt", "old")
        .file("C:\\log.txt", "line1\r\n")
        .file("C:\\DIR\\a.txt", "a")
        .file("C:\\DIR\\SUB\\b.txt", "b")
        .file("C:\\EMPTY\\x.txt", "x")
        .file("C:\\Case.txt", "case")
        .file("C:\\ISDIR\\y.txt", "y")
        .file("D:\\d.txt", "d");
}

// Every kind of change, through the Win32 calls, then the registry and outcome.ini staged.
void change(SimMachine& sm) {
    ASSERT_TRUE(DeleteFileA("C:\\gone.txt"));
    FILE* f = platformOpenFile("C:\\over.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    std::fclose(f);
    ASSERT_NE(f = platformOpenFile("C:\\log.txt", "a"), nullptr);
    std::fputs("line2\n", f);
    std::fclose(f);
    ASSERT_EQ(platformOpenFile("C:\\NEWDIR\\made.txt", "w"), nullptr);  // no folder yet
    ASSERT_TRUE(CreateDirectoryA("C:\\NEWDIR", nullptr));
    ASSERT_NE(f = platformOpenFile("C:\\NEWDIR\\made.txt", "w"), nullptr);
    std::fputs("made", f);
    std::fclose(f);
    ASSERT_TRUE(MoveFileA("C:\\DIR", "C:\\MOVED"));
    ASSERT_TRUE(MoveFileA("C:\\kept.txt", "D:\\kept.txt"));
    ASSERT_TRUE(DeleteFileA("C:\\EMPTY\\x.txt"));
    ASSERT_EQ(sm.m().run.files->removeDirectory("C:\\EMPTY", sm.m()), 0u);
    ASSERT_TRUE(MoveFileA("C:\\Case.txt", "C:\\CASE.TXT"));
    ASSERT_TRUE(DeleteFileA("C:\\ISDIR\\y.txt"));
    ASSERT_EQ(sm.m().run.files->removeDirectory("C:\\ISDIR", sm.m()), 0u);
    ASSERT_NE(f = platformOpenFile("C:\\ISDIR", "w"), nullptr);  // a folder becomes a file
    std::fclose(f);
    sm.m().run.registry->setValue("HKEY_LOCAL_MACHINE\\Software\\Old", "v", REG_SZ,
                                  std::string("2\0", 2));
    simwin::transactionOf(sm.m()).stageImageFile("registry.reg", sm.registryText());
    simwin::transactionOf(sm.m()).stageImageFile("outcome.ini",
                                                 simwin::formatOutcome(sm.m().report.outcome));
}

}  // namespace

TEST(FilesCommit, EveryCrashPointRecoversToTheOldOrTheNewImage) {
    TestImage before, after;
    build(before);
    build(after);
    const auto old = tree(before.dir());
    {
        SimMachine sm(after);
        change(sm);
        simwin::transactionOf(sm.m()).commit(*sm.m().run.files);
    }
    const auto now = tree(after.dir());
    ASSERT_NE(old, now);
    EXPECT_EQ(now.at("drive_c/over.txt"), "new");
    EXPECT_EQ(now.at("drive_c/log.txt"), "line1\r\nline2\r\n");
    EXPECT_EQ(now.at("drive_c/MOVED/SUB/b.txt"), "b");
    EXPECT_EQ(now.at("drive_d/kept.txt"), "kept");
    EXPECT_EQ(now.at("drive_c/CASE.TXT"), "case");
    EXPECT_EQ(now.at("drive_c/ISDIR"), "");
    EXPECT_EQ(now.count("drive_c/EMPTY") + now.count("drive_c/DIR") + now.count("drive_c/gone.txt"),
              0u);
    bool finished = false;
    for (unsigned steps = 0; !finished; ++steps) {
        SCOPED_TRACE("stopped after " + std::to_string(steps) + " steps");
        ASSERT_LT(steps, 100u);
        TestImage img;
        build(img);
        {
            SimMachine sm(img);
            change(sm);
            simwin::transactionOf(sm.m()).commitInterrupted(*sm.m().run.files, steps);
        }
        finished = tree(img.dir()) == now;
        // A recovery killed part way is finished by the next one: no step undoes another.
        std::string said = simwin::recoverImage(img.dir(), steps % 7);
        said += simwin::recoverImage(img.dir());
        EXPECT_EQ(tree(img.dir()), steps == 0 ? old : now);
        if (!finished) {
            EXPECT_NE(said.find(steps == 0 ? "rolled back" : "finish"), std::string::npos) << said;
        }
        EXPECT_EQ(simwin::recoverImage(img.dir()), "");  // nothing left to do
    }
}

TEST(FilesCommit, ARunCopiesNothingAndDiscardLeavesTheImageAsItWas) {
    TestImage img;
    build(img);
    const auto old = tree(img.dir());
    {
        SimMachine sm(img);
        change(sm);
        // The run's view has the changes; the live drive does not, and holds no copy.
        EXPECT_FALSE(sm.m().run.files->resolve("C:\\gone.txt", "C:\\").exists);
        EXPECT_TRUE(sm.m().run.files->resolve("c:\\moved\\sub\\B.TXT", "C:\\").exists);
        EXPECT_TRUE(fs::exists(img.dir() + "/drive_c/gone.txt"));
        EXPECT_EQ(slurp(img.dir() + "/drive_c/over.txt"), "old");

        size_t staged = 0;
        for (const auto& e : fs::recursive_directory_iterator(img.dir()))
            if (e.path().string().find(".dot4sim-txn") != std::string::npos) ++staged;
        EXPECT_LE(staged, 10u);  // the folder, three written files, registry and outcome
        // A second command on the same image is refused while this one holds it.
        EXPECT_THROW(simwin::recoverImage(img.dir()), simwin::ImageError);
    }
    EXPECT_EQ(tree(img.dir()), old);
}

TEST(FilesCommit, BookkeepingThatIsALinkIsRefusedAndNothingOutsideIsTouched) {
    TestImage img, outside;
    outside.file("C:\\victim.txt", "victim");
    const auto outsideBefore = tree(outside.dir());
    // A transaction folder that is a link, and a committed journal that leads through one.
    fs::create_directory_symlink(outside.dir(), img.dir() + "/.dot4sim-txn.1.1");
    EXPECT_THROW(simwin::recoverImage(img.dir()), simwin::ImageError);
    fs::remove(img.dir() + "/.dot4sim-txn.1.1");
    fs::create_directory(img.dir() + "/.dot4sim-txn.1.2");
    fs::create_directory_symlink(outside.dir() + "/drive_c", img.dir() + "/drive_c");
    std::ofstream(img.dir() + "/.dot4sim-txn.1.2/journal") << "U\tdrive_c/victim.txt\t\n";
    EXPECT_THROW(simwin::recoverImage(img.dir()), simwin::ImageError);
    std::ofstream(img.dir() + "/.dot4sim-txn.1.2/journal") << "U\t../x/victim.txt\t\n";
    EXPECT_THROW(simwin::recoverImage(img.dir()), simwin::ImageError);
    EXPECT_EQ(tree(outside.dir()), outsideBefore);
}

TEST(FilesCommit, ALinkOnTheWayFailsTheCommitBeforeAnythingChanges) {
    TestImage img, outside;
    build(img);
    outside.file("C:\\SUB\\b.txt", "outside");
    const auto outsideBefore = tree(outside.dir());
    {
        SimMachine sm(img);
        change(sm);
        // The moved folder's subfolder turns into a link before the commit.
        fs::rename(img.dir() + "/drive_c/DIR/SUB", img.dir() + "/SUB.saved");
        fs::create_directory_symlink(outside.dir() + "/drive_c/SUB",
                                     img.dir() + "/drive_c/DIR/SUB");
        EXPECT_THROW(simwin::transactionOf(sm.m()).commit(*sm.m().run.files),
                     simwin::CommitRefused);
    }
    EXPECT_EQ(tree(outside.dir()), outsideBefore);
    EXPECT_EQ(slurp(img.dir() + "/drive_c/over.txt"), "old");
    EXPECT_FALSE(img.imageFileExists("outcome.ini"));
}

TEST(FilesCommit, AFolderThisUserMayNotChangeFailsTheCommitBeforeAnythingChanges) {
    TestImage img;
    build(img);
    const auto old = tree(img.dir());
    ::chmod((img.dir() + "/drive_c/DIR/SUB").c_str(), 0555);
    // Root may write any folder: the run is then made by an ordinary user that owns the image.
    const bool root = ::geteuid() == 0;
    const uid_t nobody = 65534;
    if (root) {
        ASSERT_EQ(::lchown(img.dir().c_str(), nobody, nobody), 0);
        for (const auto& e : fs::recursive_directory_iterator(img.dir()))
            ASSERT_EQ(::lchown(e.path().c_str(), nobody, nobody), 0);
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        if (root && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) std::_Exit(3);
        try {
            SimMachine sm(img);
            change(sm);
            simwin::transactionOf(sm.m()).commit(*sm.m().run.files);
            std::_Exit(1);
        } catch (const simwin::CommitRefused&) {
            std::_Exit(0);
        } catch (...) {
            std::_Exit(2);
        }
    }
    int st = -1;
    ::waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    ::chmod((img.dir() + "/drive_c/DIR/SUB").c_str(), 0755);
    EXPECT_EQ(tree(img.dir()), old);
}
