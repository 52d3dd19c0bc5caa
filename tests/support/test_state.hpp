// A fresh Config and Engine for every test, the process-wide state (the
// terminal) put back around it, and a way to watch the program's end
// (app/termination.hpp) from inside a test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "app/termination.hpp"
#include "base/config.hpp"
#include "engine/engine.hpp"
#include "tests/support/recording_view.hpp"

namespace orvex::test {

// What is not in a Config or an Engine back to its start value.
void reset_process_state();

struct ProcessExit { int status; };  // thrown by the exit hook TerminationCatcher installs

// While alive, `termination`'s terminate_app and exit_now throw ProcessExit
// instead of ending the process, and the session-end requests (of the exit
// path and of `conn`) are counted.
class TerminationCatcher {
 public:
  explicit TerminationCatcher(Termination& termination, Connection* conn = nullptr);
  ~TerminationCatcher();
  TerminationCatcher(const TerminationCatcher&) = delete;
  TerminationCatcher& operator=(const TerminationCatcher&) = delete;
  int session_end_requests() const { return session_end_requests_.load(); }

 private:
  Termination& termination_;
  Connection* conn_;
  std::atomic<int> session_end_requests_{0};
};

class OrvexTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_process_state(); }
  void TearDown() override { reset_process_state(); }
  Config config;
  RecordingView view;
  SystemClock clock;
  WorkingDirectoryFiles files;
  Engine e{config, view, clock, files};
};

// What `body` printed on standard output.
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

// Whether `done` came true within ten seconds of real time.
inline bool eventually(const std::function<bool()>& done) {
  for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace orvex::test
