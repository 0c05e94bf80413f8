// GoogleTest's Notification for MinGW's compilers with the win32 thread
// model, whose libstdc++ has no std::mutex or std::condition_variable, which
// GoogleTest's own Notification is made of. Built with
// GTEST_HAS_NOTIFICATION_=1 and included before anything else in every file
// of GoogleTest and of the tests (tests/CMakeLists.txt). GoogleTest uses it
// to hold a new thread until it is told to start.
#pragma once

namespace testing::internal {

class Notification {
 public:
    Notification();
    ~Notification();
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    // Lets every thread waiting for it go on, now and later.
    void Notify();
    void WaitForNotification();

 private:
    void* event_;  // a manual-reset event
};

}  // namespace testing::internal
