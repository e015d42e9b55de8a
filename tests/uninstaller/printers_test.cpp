#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestImage.h"
#include "log/BLogFile.h"
#include "uninstaller/Dot4Uninstaller.h"

using testsupport::LogRecord;
using testsupport::SimMachine;
using testsupport::TestImage;

namespace {

std::string printerKeys(const std::vector<std::string>& names) {
    std::string reg;
    for (const std::string& n : names)
        reg += "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + n +
               "]\r\n\r\n";
    return reg;
}

// A machine with these printers in the spooler and the uninstaller's saved list; the log on
// unless asked otherwise.
class Printers {
  public:
    Printers(const std::vector<std::string>& printers, const std::string& spoolerRules,
             bool withLog = true) {
        image.registry(printerKeys(printers));
        if (!spoolerRules.empty()) image.machineIni("[spooler]\n" + spoolerRules);
        sm = std::make_unique<SimMachine>(image);
        if (withLog) log = std::make_unique<testsupport::TestLog>();
    }

    void finish() {
        if (log)
            records = log->finish(*sm);
        else
            sm->save();
    }
    std::vector<std::string> spoolerCalls() const {
        std::vector<std::string> out;
        for (const std::string& l : sm->m().report.traceLines)
            if (l.find("Printer") != std::string::npos) out.push_back(l.substr(0, l.find('(')));
        return out;
    }
    std::vector<std::string> messages() const { return testsupport::messagesOf(records); }

    TestImage image;
    std::unique_ptr<SimMachine> sm;
    std::unique_ptr<testsupport::TestLog> log;
    std::vector<LogRecord> records;
    Dot4Uninstaller uninstaller;
};

TEST(Printers, EmptyListCallsNoSpooler) {
    Printers p({"Office"}, "");
    EXPECT_TRUE(p.uninstaller.removeSavedPrinters());
    p.finish();
    EXPECT_TRUE(p.spoolerCalls().empty());
    EXPECT_TRUE(p.records.empty());
    EXPECT_TRUE(p.sm->m().report.outcome.spoolerDeleted.empty());
}

TEST(Printers, DeletedPrinterLeavesTwoRecords) {
    Printers p({"Office"}, "");
    p.uninstaller.savedPrinters.append("Office");
    EXPECT_TRUE(p.uninstaller.removeSavedPrinters());
    p.finish();
    EXPECT_EQ(p.spoolerCalls(),
              (std::vector<std::string>{"OpenPrinterA", "DeletePrinter", "ClosePrinter"}));
    EXPECT_EQ(p.messages(),
              (std::vector<std::string>{"deletePrinter: enter BMSPrinter::deletePrinter",
                                        "Office DELETED from the printers folder"}));
    for (const LogRecord& r : p.records) {
        EXPECT_EQ(r.category, "general");
        EXPECT_EQ(r.type, "info");
        EXPECT_EQ(r.level, "release");
        EXPECT_FALSE(r.hasData);
    }
    EXPECT_EQ(p.sm->m().report.outcome.spoolerDeleted, (std::vector<std::string>{"Office"}));
    EXPECT_EQ(p.uninstaller.savedPrinters.count(), 1u);
}

void expectError(const LogRecord& r, const std::string& message, std::vector<uint8_t> code) {
    EXPECT_EQ(r.message, message);
    EXPECT_EQ(r.category, "prntpath");
    EXPECT_EQ(r.type, "error");
    EXPECT_EQ(r.level, "release");
    EXPECT_EQ(r.source, "Printers.cpp");
    EXPECT_EQ(r.data, code);
}

TEST(Printers, PrinterThatCannotBeOpened) {
    Printers p({"Office"}, "Office=open=5\n");
    p.uninstaller.savedPrinters.append("Office");
    p.uninstaller.savedPrinters.append("Gone");
    EXPECT_FALSE(p.uninstaller.removeSavedPrinters());
    p.finish();
    EXPECT_EQ(p.spoolerCalls(), (std::vector<std::string>{"OpenPrinterA", "OpenPrinterA"}));
    ASSERT_EQ(p.records.size(), 6u);
    EXPECT_EQ(p.records[0].message, "deletePrinter: enter BMSPrinter::deletePrinter");
    expectError(p.records[1], "deletePrinter: fail OpenPrinter, GetLastError = ", {5, 0, 0, 0});
    EXPECT_EQ(p.records[2].message, "Office deletion from the printers folder FAILED");
    // An unknown name: the spooler's 1801, least significant byte first.
    expectError(p.records[4],
                "deletePrinter: fail OpenPrinter, GetLastError = ", {0x09, 0x07, 0, 0});
    EXPECT_EQ(p.records[5].message, "Gone deletion from the printers folder FAILED");
}

TEST(Printers, PrinterThatCannotBeDeletedIsClosed) {
    Printers p({"Office"}, "Office=delete=1905\n");
    p.uninstaller.savedPrinters.append("Office");
    EXPECT_FALSE(p.uninstaller.removeSavedPrinters());
    p.finish();
    EXPECT_EQ(p.spoolerCalls(),
              (std::vector<std::string>{"OpenPrinterA", "DeletePrinter", "ClosePrinter"}));
    ASSERT_EQ(p.records.size(), 3u);
    expectError(p.records[1],
                "deletePrinter: fail DeletePrinter, GetLastError = ", {0x71, 0x07, 0, 0});
    EXPECT_EQ(p.records[2].message, "Office deletion from the printers folder FAILED");
}

TEST(Printers, SecondOfThreeFailsAndAllAreTried) {
    for (bool withLog : {true, false}) {
        Printers p({"A", "B", "C"}, "B=open=5\n", withLog);
        for (const char* n : {"A", "B", "C"}) p.uninstaller.savedPrinters.append(n);
        EXPECT_FALSE(p.uninstaller.removeSavedPrinters());
        p.finish();
        EXPECT_EQ(p.spoolerCalls(),
                  (std::vector<std::string>{"OpenPrinterA", "DeletePrinter", "ClosePrinter",
                                            "OpenPrinterA", "OpenPrinterA", "DeletePrinter",
                                            "ClosePrinter"}));
        EXPECT_EQ(p.sm->m().report.outcome.spoolerDeleted, (std::vector<std::string>{"A", "C"}));
        ASSERT_EQ(p.sm->m().report.outcome.spoolerFailed.size(), 1u);
        EXPECT_EQ(p.sm->m().report.outcome.spoolerFailed[0].first, "B");
        EXPECT_EQ(p.records.size(), withLog ? 7u : 0u);
    }
}

TEST(Printers, OpenedByItsNameWithAllAccess) {
    Printers p({"Office"}, "", false);
    EXPECT_TRUE(p.uninstaller.deletePrinter("Office"));
    bool seen = false;
    for (const std::string& l : p.sm->m().report.traceLines)
        if (l.rfind("OpenPrinterA(", 0) == 0) {
            seen = true;
            EXPECT_NE(l.find("(\"Office\", 0xf000c)"), std::string::npos) << l;
        }
    EXPECT_TRUE(seen);
}

}  // namespace
