// Printers bound to Dot4 ports through a whole run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestImage.h"

using testsupport::LogRecord;
using testsupport::TestImage;

namespace {

// The records from the printer step: from the first entry record to the file step.
std::vector<LogRecord> printerRecords(const TestImage& image) {
    std::vector<LogRecord> out;
    bool inStep = false;
    for (const LogRecord& r : image.log()) {
        if (r.message == "deletePrinter: enter BMSPrinter::deletePrinter") inStep = true;
        if (r.message == "Begin removeInstalledFilesOnReboot()") break;
        if (inStep) out.push_back(r);
    }
    return out;
}

TEST(PrintersScenario, SavedPrinterIsDeletedThroughTheSpooler) {
    TestImage image;
    image.fromExample("road-of-one-device");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(image.outcome("spooler", "deleted.1"), "Office");
    EXPECT_EQ(image.outcome("spooler", "deleted.2"), "");
    EXPECT_EQ(image.outcome("spooler", "failed.1"), "");
    const std::vector<LogRecord> records = printerRecords(image);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].message, "Office DELETED from the printers folder");
}

TEST(PrintersScenario, SpoolerRefusalIsLoggedWithItsCode) {
    TestImage image;
    image.fromExample("road-of-one-device");
    image.machineIni("[system]\nplatform=2\n[spooler]\nOffice=open=5\n");
    const TestImage::Result run = image.cli({"run", image.dir(), "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(image.outcome("spooler", "deleted.1"), "");
    EXPECT_EQ(image.outcome("spooler", "failed.1"), "Office=5");
    const std::vector<LogRecord> records = printerRecords(image);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].category, "prntpath");
    EXPECT_EQ(records[1].data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(records[2].message, "Office deletion from the printers folder FAILED");
    // The run goes on: the files are still removed.
    EXPECT_FALSE(image.exists("C:\\WINDOWS\\INF\\mirelc.inf"));
}

TEST(PrintersScenario, NoDot4PrinterNoSpoolerCall) {
    TestImage image;
    image.registry(
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Reception]\r\n"
        "\"Port\"=\"LPT1:\"\r\n\r\n");
    const std::string trace = image.dir() + ".trace";
    const TestImage::Result run = image.cli({"run", image.dir(), "--trace", trace, "--", "-l"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::FILE* f = std::fopen(trace.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string t;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) t.append(buf, n);
    std::fclose(f);
    std::remove(trace.c_str());
    EXPECT_EQ(t.find("OpenPrinterA"), std::string::npos);
    EXPECT_TRUE(printerRecords(image).empty());
    EXPECT_EQ(image.outcome("spooler", "deleted.1"), "");
}

}  // namespace
