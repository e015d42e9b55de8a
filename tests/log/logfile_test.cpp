#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "TestImage.h"
#include "log/BLogFile.h"

using testsupport::SimMachine;

namespace {

const std::string kTitle =
    "event category type    level   source          line  timestamp               \n";
const std::string kRule =
    "----- -------- ------- ------- --------------- ----- ------------------------\n";
const std::string kHeader = "\x01" + kTitle + kRule;
const std::string kStamp = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4})";

std::string columnPattern(const std::string& number, const std::string& source,
                          const std::string& line) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-6s%-9s%-8s%-8s%-16s%-6s", number.c_str(), "general", "info",
                  "release", source.c_str(), line.c_str());
    std::string fixed = buf;
    std::string escaped;
    for (char c : fixed) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
        escaped += c;
    }
    return escaped + kStamp + "\n";
}

std::string hexAddress(const void* p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu));
    return buf;
}

class LogFileTest : public ::testing::Test {
  protected:
    explicit LogFileTest(const std::string& ini = "") : sm(ini) {}

    std::unique_ptr<BLogFile> open(unsigned short perCycle = 16384, bool deleteAtRestart = false) {
        return std::make_unique<BLogFile>("uninstall.txt", perCycle, deleteAtRestart);
    }
    void info(BLogFile& log, const std::string& message, const void* data = nullptr,
              uint32_t length = 0, const std::string& source = "Main.cpp") {
        log.writeEvent(LC_GENERAL, LT_INFO, LL_RELEASE, source, 12, message, data, length);
    }
    // The file as written; the log is a text-mode file, so lines end in CR LF on Windows.
    std::string raw() {
        if (!saved) sm.save();
        saved = true;
        return sm.image().readFile("C:\\uninstall.txt");
    }
    // The file with the line ends as the program wrote them.
    std::string bytes() { return testsupport::withoutCr(raw()); }
    bool traced(const std::string& function) {
        for (const std::string& l : sm.m().report.traceLines)
            if (l.rfind(function + "(", 0) == 0) return true;
        return false;
    }

    SimMachine sm;
    bool saved = false;
};

TEST_F(LogFileTest, LogWithoutRecordsIsEmpty) {
    open().reset();
    EXPECT_EQ(bytes(), "");
    EXPECT_TRUE(sm.image().exists("C:\\uninstall.txt"));
}

TEST(LogFile, ExistingLogIsEmptied) {
    testsupport::TestImage image;
    image.file("C:\\uninstall.txt", "old content");
    SimMachine sm(image);
    std::make_unique<BLogFile>("uninstall.txt", 16384, false).reset();
    sm.save();
    EXPECT_EQ(image.readFile("C:\\uninstall.txt"), "");
}

TEST_F(LogFileTest, RecordWithoutMessageIsItsColumnLine) {
    auto log = open();
    EXPECT_EQ(log->levelThreshold, 4);
    info(*log, "");
    info(*log, "", nullptr, 0, "C:\\src\\dir\\Other.cpp");
    log.reset();
    const std::string all = bytes();
    ASSERT_EQ(all.rfind(kHeader, 0), 0u) << all;
    EXPECT_TRUE(std::regex_match(all.substr(kHeader.size()),
                                 std::regex(columnPattern("0000", "Main.cpp", "12") +
                                            columnPattern("0001", "Other.cpp", "12"))))
        << all;
}

TEST_F(LogFileTest, CodesPrintTheirNamesAndLongSourceTouchesLineColumn) {
    auto log = open();
    log->writeEvent(LC_PRNTPATH, LT_ERROR, LL_OMEGA, "ABCDEFGHIJKLMNOPQ.cpp", 4242, "", nullptr, 0);
    log.reset();
    const std::string all = bytes();
    ASSERT_GT(all.size(), kHeader.size());
    const std::string line = all.substr(kHeader.size());
    EXPECT_EQ(line.substr(0, 53), "0000  prntpath error   omega   ABCDEFGHIJKLMNOP4242  ");
    EXPECT_EQ(line.size(), 78u);
}

std::vector<std::string> messageLines(const std::string& all) {
    // After the header: column line, empty line, message lines, empty line.
    std::vector<std::string> lines;
    size_t start = all.find('\n', kHeader.size()) + 1;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(LogFile, MessagesWrapAtSeventyFourColumns) {
    std::string m74(74, 'a'), m148(148, 'b'), m150(150, 'c');
    for (size_t i = 0; i < m150.size(); ++i) m150[i] = static_cast<char>('A' + i % 26);
    struct Case {
        std::string message;
        std::vector<size_t> lengths;
    };
    for (const Case& c : {Case{m74, {76}}, Case{m148, {74, 78}}, Case{m150, {74, 73, 9}}}) {
        SimMachine sm;
        auto log = std::make_unique<BLogFile>("uninstall.txt", 16384, false);
        log->writeEvent(LC_GENERAL, LT_INFO, LL_RELEASE, "Main.cpp", 1, c.message, nullptr, 0);
        log.reset();
        sm.save();
        const std::string all = testsupport::withoutCr(sm.image().readFile("C:\\uninstall.txt"));
        std::vector<std::string> lines = messageLines(all);
        ASSERT_EQ(lines.size(), c.lengths.size() + 2) << c.message.size();
        EXPECT_EQ(lines.front(), "");
        EXPECT_EQ(lines.back(), "");
        std::string joined;
        for (size_t i = 0; i < c.lengths.size(); ++i) {
            const std::string& l = lines[i + 1];
            EXPECT_EQ(l.size(), c.lengths[i]) << c.message.size() << " line " << i;
            EXPECT_EQ(l.substr(0, 2), "  ");
            joined += l.substr(2);
        }
        EXPECT_EQ(joined, c.message);
    }
}

TEST_F(LogFileTest, FourByteDataBlockIsOneHexRow) {
    const uint32_t code = 5;
    auto log = open();
    log->writeEvent(LC_PRNTPATH, LT_ERROR, LL_RELEASE, "P.cpp", 1, "Fail = ", &code, 4);
    log.reset();
    const std::string all = bytes();
    const std::string expected = "\n  Fail = \n\n  " + hexAddress(&code) + ": 05 00 00 00 " +
                                 std::string(36, ' ') + " ....\n\n";
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(all.substr(all.size() - expected.size()), expected);
}

TEST_F(LogFileTest, LongDataBlockRowsLineUp) {
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>('A' + i);
    data[3] = 0x01;
    data[17] = 0x7F;
    auto log = open();
    info(*log, "", data, sizeof data);
    log.reset();
    const std::string all = bytes();
    const std::string expected =
        "\n  " + hexAddress(data) +
        ": 41 42 43 01 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  ABC.EFGHIJKLMNOP\n  " +
        hexAddress(data + 16) + ": 51 7f 53 54 " + std::string(36, ' ') + " Q.ST\n\n";
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(all.substr(all.size() - expected.size()), expected);
}

TEST_F(LogFileTest, EmptyDataBlockAddsABlank) {
    const char none = 0;
    auto log = open();
    info(*log, "", &none, 0);
    log.reset();
    const std::string all = bytes();
    EXPECT_TRUE(std::regex_search(all, std::regex(kStamp + "\n \n\n$"))) << all;
}

TEST_F(LogFileTest, CycleStartsOverAtTheBeginning) {
    auto log = open(3);
    for (int i = 0; i < 3; ++i) info(*log, "record number " + std::to_string(i));
    info(*log, std::string(100, 'z'));
    log.reset();
    const std::string all = bytes();
    ASSERT_EQ(all.rfind(kHeader, 0), 0u);
    const std::string afterHeader = all.substr(kHeader.size());
    EXPECT_EQ(afterHeader.substr(0, 4), "0003");
    // The newer cycle writes over the oldest records; what lies beyond stays.
    EXPECT_EQ(all.find("record number 0"), std::string::npos);
    EXPECT_NE(all.find("record number 2"), std::string::npos);
    EXPECT_EQ(all.find(kTitle, kHeader.size()), std::string::npos);
}

TEST_F(LogFileTest, Record16384StartsTheFileOver) {
    auto log = open();
    for (int i = 0; i < 16384; ++i) info(*log, "");
    info(*log, "the new cycle");
    log.reset();
    const std::string all = bytes();
    ASSERT_EQ(all.rfind(kHeader, 0), 0u);
    EXPECT_EQ(all.substr(kHeader.size(), 6), "16384 ");
    const size_t firstLineEnd = all.find('\n', kHeader.size());
    EXPECT_EQ(all.substr(firstLineEnd + 1, 17), "\n  the new cycle\n");
    EXPECT_GT(all.size(), 16384u * 78u);
}

TEST_F(LogFileTest, ByteOneInAMessageRewinds) {
    auto log = open();
    info(*log, "first record, long enough to be partly overwritten");
    info(*log, std::string("ab\x01") + "XY");
    log.reset();
    const std::string all = raw();
    // The rewind put the byte, "XY" and the record's end over the start of the title line.
    EXPECT_EQ(all.substr(0, 7 + kTitle.size() - 7),
              "\x01XY\r\n\r\n" + kTitle.substr(6, kTitle.size() - 7));
    EXPECT_NE(all.find("first record"), std::string::npos);
}

TEST_F(LogFileTest, UnopenableLogWritesNothingAndSchedulesNothing) {
    auto log = std::make_unique<BLogFile>("C:\\missing\\dir\\log.txt", 16384, true);
    EXPECT_FALSE(log->isOpen());
    EXPECT_EQ(log->levelThreshold, 4);
    info(*log, "lost", "abcd", 4);
    log.reset();
    EXPECT_FALSE(traced("MoveFileExA"));
    EXPECT_FALSE(traced("GetVersionExA"));
    sm.save();
    EXPECT_FALSE(sm.image().exists("C:\\missing"));
}

TEST_F(LogFileTest, DestroyingThePublishedLogClearsTheHandle) {
    auto log = open();
    g_log = log.get();
    log.reset();
    EXPECT_EQ(g_log, nullptr);
}

TEST_F(LogFileTest, ScheduledForDeletionOnNT) {
    open(16384, true).reset();
    bool named = false;
    for (const std::string& l : sm.m().report.traceLines)
        if (l.rfind("MoveFileExA(", 0) == 0 && l.find("uninstall.txt") != std::string::npos)
            named = true;
    EXPECT_TRUE(named);
}

class LogFile98Test : public LogFileTest {
  protected:
    LogFile98Test() : LogFileTest("[system]\nplatform=1\nminor=10\n") {}
};

TEST_F(LogFile98Test, NotScheduledOnWindows98) {
    open(16384, true).reset();
    EXPECT_TRUE(traced("GetVersionExA"));
    EXPECT_FALSE(traced("MoveFileExA"));
}

}  // namespace
