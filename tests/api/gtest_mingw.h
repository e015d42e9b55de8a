// Forced into the Windows build of GoogleTest: the MinGW toolchain's win32 thread model has no
// std::mutex or std::condition_variable, which GoogleTest's Notification is made of. This one is
// a Win32 event; GoogleTest uses its own when GTEST_HAS_NOTIFICATION_ is set.
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
