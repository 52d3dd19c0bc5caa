// Every process-wide record back to its start value, and a way to watch
// terminate_app from inside a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace orvex::test {

void reset_all_state();

// Thrown by the exit hook that TerminationCatcher installs.
struct ProcessExit {
  int status;
};

// While alive, terminate_app and exit_now throw ProcessExit instead of ending
// the process, and the session-end request is counted.
class TerminationCatcher {
 public:
  TerminationCatcher();
  ~TerminationCatcher();
  TerminationCatcher(const TerminationCatcher&) = delete;
  TerminationCatcher& operator=(const TerminationCatcher&) = delete;
  static int session_end_requests();
};

// A fixture that resets all state before each test.
class OrvexTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_all_state(); }
  void TearDown() override { reset_all_state(); }
};

// Runs `body` and returns what it printed on standard output.
template <typename F>
std::string capture_stdout(F&& body) {
  ::testing::internal::CaptureStdout();
  try {
    body();
  } catch (...) {
    ::testing::internal::GetCapturedStdout();
    throw;
  }
  return ::testing::internal::GetCapturedStdout();
}

// Polls `done` for at most `ms` real milliseconds; whether it came true.
inline bool eventually(const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace orvex::test
