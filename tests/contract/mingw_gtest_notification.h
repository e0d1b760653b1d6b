// Forced into every GoogleTest translation unit of the Windows build: the compiler's win32
// thread model has no std::mutex or std::condition_variable, which GoogleTest's Notification
// is written on. Our tests run on one thread, so waiting on an atomic flag is enough.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
