// The drives' write-back: a crash at any point of the swap leaves old or new drives, never a mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "TestImage.h"
#include "files.h"

namespace fs = std::filesystem;
using testsupport::TestImage;

namespace {

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

// One run's changes, made on the staging copy: old.txt goes, new.txt comes, on both drives.
void change(simwin::FileSystem& fs) {
    for (char d : {'C', 'D'}) {
        std::string root = fs.driveRoot(d);
        ASSERT_FALSE(root.empty());
        fs::remove(root + "/old.txt");
        std::ofstream(root + "/new.txt") << "new";
    }
}

}  // namespace

TEST(FilesCommit, EveryCrashPointRecoversToOneWholeState) {
    const std::set<std::string> before = {"old.txt"}, after = {"new.txt"};
    for (unsigned renames = 0; renames <= 6; ++renames) {
        SCOPED_TRACE("crash after " + std::to_string(renames) + " renames");
        TestImage img;
        img.file("C:\\old.txt", "old").file("D:\\old.txt", "old");
        {
            auto fs = simwin::FileSystem::attach(img.dir());
            change(*fs);
            fs->commitInterrupted(renames);
        }
        // The next attach finishes or forgets the swap; then the image is whole.
        simwin::FileSystem::attach(img.dir())->discard();
        auto c = names(img.dir() + "/drive_c"), d = names(img.dir() + "/drive_d");
        EXPECT_EQ(c, d);  // the drives move together
        EXPECT_EQ(c, renames == 0 ? before : after);
        EXPECT_EQ(names(img.dir()), (std::set<std::string>{"drive_c", "drive_d"}));
    }
}

TEST(FilesCommit, CompleteCommitAndDiscard) {
    TestImage img;
    img.file("C:\\old.txt", "old").file("D:\\old.txt", "old");
    {
        auto fs = simwin::FileSystem::attach(img.dir());
        change(*fs);
        fs->discard();
        EXPECT_THROW(fs->commit(), std::logic_error);
    }
    EXPECT_EQ(names(img.dir() + "/drive_c"), (std::set<std::string>{"old.txt"}));
    {
        auto fs = simwin::FileSystem::attach(img.dir());
        change(*fs);
        fs->commit();
    }
    EXPECT_EQ(names(img.dir() + "/drive_c"), (std::set<std::string>{"new.txt"}));
    EXPECT_EQ(names(img.dir() + "/drive_d"), (std::set<std::string>{"new.txt"}));
    EXPECT_EQ(names(img.dir()), (std::set<std::string>{"drive_c", "drive_d"}));
}

TEST(FilesCommit, MissingDriveCIsEmptyAndCreatedOnCommit) {
    TestImage img;
    {
        auto fs = simwin::FileSystem::attach(img.dir());
        EXPECT_TRUE(names(fs->driveRoot('C')).empty());
        EXPECT_EQ(fs->driveRoot('D'), "");
        fs->commit();
    }
    EXPECT_TRUE(fs::is_directory(img.dir() + "/drive_c"));
}

TEST(FilesCommit, ALeftoverStagingCopyIsForgotten) {
    TestImage img;
    img.file("C:\\old.txt", "old");
    // Left by a process that no longer runs (no pid is that large).
    const std::string dead = img.dir() + "/.dot4sim-staging.4000000000.1";
    fs::create_directories(dead + "/drive_c");
    std::ofstream(dead + "/drive_c/half.txt") << "half";
    auto fs = simwin::FileSystem::attach(img.dir());
    EXPECT_EQ(names(fs->driveRoot('C')), (std::set<std::string>{"old.txt"}));
    EXPECT_FALSE(fs::exists(dead));
}

TEST(FilesCommit, TwoLiveRunsKeepTheirOwnCopies) {
    TestImage img;
    img.file("C:\\old.txt", "old");
    auto first = simwin::FileSystem::attach(img.dir());
    std::ofstream(first->driveRoot('C') + "/first.txt") << "1";
    auto second = simwin::FileSystem::attach(img.dir());
    EXPECT_NE(first->driveRoot('C'), second->driveRoot('C'));
    second->discard();
    first->commit();
    EXPECT_EQ(names(img.dir() + "/drive_c"), (std::set<std::string>{"first.txt", "old.txt"}));
}
