// simwin's print spooler: the printers it knows, its three calls and the outcome they record.
#include <gtest/gtest.h>

#include "TestImage.h"
#include "win32/handles.h"
#include "model/registry.h"
#include "model/spooler.h"

using testsupport::SimMachine;

namespace {

const char* const kRegistry =
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office]\r\n"
    "\"Port\"=\"Dot4_001\"\r\n\r\n"
    "[HKEY_LOCAL_"
    "MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office\\PrinterDriverData]"
    "\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Lab]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Hall]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Gone]\r\n\r\n";

const char* const kIni =
    "[spooler]\n"
    "Lab=delete=5\n"
    "Hall=open=1801\n"
    "Gone=absent\n"
    "Spooled Only=ok\n";

const std::string kOffice =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office";

PRINTER_DEFAULTSA allAccess() { return PRINTER_DEFAULTSA{nullptr, nullptr, PRINTER_ALL_ACCESS}; }

// OpenPrinterA + DeletePrinter + ClosePrinter, as the uninstaller does; 0 or the error.
DWORD deleteByName(const char* name) {
    HANDLE h = nullptr;
    PRINTER_DEFAULTSA d = allAccess();
    if (!OpenPrinterA(const_cast<char*>(name), &h, &d)) return GetLastError();
    DWORD err = DeletePrinter(h) ? 0 : GetLastError();
    EXPECT_TRUE(ClosePrinter(h));
    return err;
}

}  // namespace

TEST(Spooler, KnowsRegistryPrintersAdjustedByRules) {
    SimMachine sm(kIni, kRegistry);
    auto& s = *sm.m().run.spooler;
    std::vector<std::string> known;
    for (const auto& p : s.printers) known.push_back(p.name);
    EXPECT_EQ(known, (std::vector<std::string>{"Hall", "Lab", "Office", "Spooled Only"}));
    EXPECT_NE(s.find("OFFICE"), nullptr);
    EXPECT_EQ(s.find("Gone"), nullptr);
}

TEST(Spooler, DeletesInCallOrderAndRecordsFailures) {
    SimMachine sm(kIni, kRegistry);
    EXPECT_EQ(deleteByName("Hall"), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(deleteByName("office"), 0u);
    EXPECT_EQ(deleteByName("Lab"), 5u);
    EXPECT_EQ(deleteByName("Gone"), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(deleteByName("Spooled Only"), 0u);
    EXPECT_EQ(deleteByName("Office"), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    const auto& o = sm.m().report.outcome;
    EXPECT_EQ(o.spoolerDeleted, (std::vector<std::string>{"Office", "Spooled Only"}));
    using F = std::pair<std::string, DWORD>;
    EXPECT_EQ(o.spoolerFailed,
              (std::vector<F>{{"Hall", 1801}, {"Lab", 5}, {"Gone", 1801}, {"Office", 1801}}));
    // The deleted printer's key goes with its sub-tree; a printer that stays keeps its key.
    EXPECT_FALSE(sm.m().run.registry->hasKey(kOffice));
    EXPECT_FALSE(sm.m().run.registry->hasKey(kOffice + "\\PrinterDriverData"));
    EXPECT_TRUE(sm.m().run.registry->hasKey(
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Lab"));
    sm.save();
    EXPECT_EQ(sm.image().outcome("spooler", "deleted.1"), "Office");
    EXPECT_EQ(sm.image().outcome("spooler", "failed.2"), "Lab=5");
}

TEST(Spooler, AccessAndHandles) {
    SimMachine sm("", kRegistry);
    HANDLE h = nullptr;
    // Opened without defaults: a user's handle, which may not delete.
    ASSERT_TRUE(OpenPrinterA(const_cast<char*>("Office"), &h, nullptr));
    EXPECT_EQ(simwin::handleTable(sm.m()).find<simwin::PrinterHandle>(h)->access,
              static_cast<ACCESS_MASK>(PRINTER_ACCESS_USE));
    EXPECT_FALSE(DeletePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_FALSE(ClosePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeletePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    PRINTER_DEFAULTSA d = allAccess();
    ASSERT_TRUE(OpenPrinterA(const_cast<char*>("Office"), &h, &d));
    EXPECT_EQ(simwin::handleTable(sm.m()).find<simwin::PrinterHandle>(h)->access,
              static_cast<ACCESS_MASK>(0x000F000C));
    EXPECT_TRUE(DeletePrinter(h));
    EXPECT_FALSE(DeletePrinter(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DELETED));
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_EQ(sm.m().report.outcome.spoolerDeleted, (std::vector<std::string>{"Office"}));
    ASSERT_EQ(sm.m().report.outcome.spoolerFailed.size(),
              2u);  // the user's delete and the second one
}

TEST(Spooler, InjectedFaultsAndTrace) {
    SimMachine sm("[faults]\nOpenPrinterA=5@Lab\nDeletePrinter=1905@Office\n", kRegistry);
    EXPECT_EQ(deleteByName("Lab"), 5u);
    EXPECT_EQ(deleteByName("Office"), 1905u);
    EXPECT_TRUE(sm.m().run.registry->hasKey(kOffice));
    EXPECT_EQ(sm.m().report.outcome.spoolerFailed.size(), 2u);
    EXPECT_TRUE(sm.m().report.outcome.spoolerDeleted.empty());
    bool traced = false;
    for (const auto& l : sm.m().report.traceLines)
        traced |= l.rfind("OpenPrinterA(\"Lab\", 0xf000c) = FALSE [5]", 0) == 0;
    EXPECT_TRUE(traced);
}
