// A deadline for a test that waits on driver threads: a worker that never finishes its frame would
// leave the test sitting silently until ctest's time-out. Past the deadline the watchdog names the
// test and what it was waiting for, and ends the process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class TestWatchdog {
 public:
  TestWatchdog(std::chrono::seconds limit, std::string what) {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "a test";
    thread_ = std::thread([this, limit, test, what] {
      std::unique_lock<std::mutex> guard(lock_);
      if (done_.wait_for(guard, limit, [this] { return disarmed_; })) return;
      fprintf(stderr, "\n*** %s: %s did not happen within %lld s\n", test.c_str(), what.c_str(),
              (long long)limit.count());
      abort();
    });
  }
  ~TestWatchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      disarmed_ = true;
    }
    done_.notify_all();
    thread_.join();
  }
  TestWatchdog(const TestWatchdog &) = delete;
  TestWatchdog &operator=(const TestWatchdog &) = delete;

 private:
  std::mutex lock_;
  std::condition_variable done_;
  bool disarmed_ = false;
  std::thread thread_;
};
