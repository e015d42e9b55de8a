// The environment of the API tests. The same sources run against simwin (a fresh machine per
// test, NT or Windows 98 as the run asks) and against a real Win32 (Windows, or Wine in its NT
// and win98 modes). Tests arrange their state through Win32 calls; the few states no call in
// the subset can make are made here.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace api {

// Scratch places, emptied before and after every test.
extern const char* const kScratchKey;  // under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE
std::string scratchDir();              // on drive C:, e.g. "C:\Dot4ApiTest"
std::string scratchPath(const std::string& name);

// From GetVersionExA, so Windows and Wine say it themselves.
bool isNT();
bool underWine();

// States the subset cannot make through its own calls.
void makeReadOnly(const std::string& path);
void holdOpen(const std::string& path);    // open elsewhere without sharing, until the test ends
void loadModule(const std::string& path);  // a new file, a loaded module until the test ends

// A place where Wine is known to give another result than Windows, named by its row of
// docs/windows-behaviour.md, with what Wine gives when that is known. A call that crashes
// Wine is not made there.
struct Departure {
    enum Kind { Unknown, Gives, Crashes };
    const char* row;
    Kind kind;
    long long wine;
};
void noteDeparture(const Departure& d, const char* expr, long long got, long long windows,
                   const char* file, int line);

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace api

#define WINE_DEPARTS(row) (::api::Departure{row, ::api::Departure::Unknown, 0})
#define WINE_GIVES(row, value) \
    (::api::Departure{row, ::api::Departure::Gives, static_cast<long long>(value)})
#define WINE_CRASHES(row) (::api::Departure{row, ::api::Departure::Crashes, 0})

// Expects the Windows result. Under Wine a different result is recorded as the named
// departure (and must be what Wine is known to give, when that is known).
#define EXPECT_WIN(actual, windows, departure)                                   \
    do {                                                                         \
        const ::api::Departure d_ = departure;                                   \
        const long long want_ = static_cast<long long>(windows);                 \
        if (::api::underWine() && d_.kind == ::api::Departure::Crashes) {        \
            ::api::noteDeparture(d_, #actual, 0, want_, __FILE__, __LINE__);     \
            break;                                                               \
        }                                                                        \
        const long long got_ = static_cast<long long>(actual);                   \
        if (::api::underWine() && got_ != want_) {                               \
            ::api::noteDeparture(d_, #actual, got_, want_, __FILE__, __LINE__);  \
            if (d_.kind == ::api::Departure::Gives) {                            \
                EXPECT_EQ(got_, d_.wine) << #actual << ", departure " << d_.row; \
            }                                                                    \
        } else {                                                                 \
            EXPECT_EQ(got_, want_) << #actual;                                   \
        }                                                                        \
    } while (0)
