#include <gtest/gtest.h>

#include <string>

#include "base/terminate.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

class TerminateTest : public test::OrvexTest {
 protected:
  // Runs terminate_app and returns what it printed; the exit status goes to `status`.
  static std::string run(int context, int code, int& status) {
    test::TerminationCatcher catcher;
    status = -1;
    return test::capture_stdout([&] {
      try {
        terminate_app(context, code);
      } catch (const test::ProcessExit& e) {
        status = e.status;
      }
    });
  }
};

TEST_F(TerminateTest, EveryReasonPrintsItsMessageAndExitsWithZero) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {-25, "Error: Unable to send data\nTerminating application ...\n"},
      {-24, "Error: Receive thread failed\nTerminating application ...\n"},
      {-22, "Error: Read thread failed\nTerminating application ...\n"},
      {-21, "Unable to establish connection with the radio\nTerminating application ...\n"},
      {-20, "Sorry, no devices found\nTerminating application ...\n"},
      {-18, "Error: Invalid adapter\nTerminating application ...\n"},
      {29, "Local command exit executed ...\n\nTerminating application ...\n"},
      {-3, "\nTerminating application with error code:-3\n\n"},
      {-7, "\nTerminating application with error code:-7\n\n"},
      {-8, "\nTerminating application with error code:-8\n\n"},
      {-29, "\nTerminating application with error code:-29\n\n"},
      {-83, "\nTerminating application with error code:-83\n\n"},
      {12345, "\nTerminating application with error code:12345\n\n"},
  };
  for (const Case& c : cases) {
    int status = -1;
    EXPECT_EQ(run(-1, c.code, status), c.text) << c.code;
    EXPECT_EQ(status, 0) << c.code;
  }
}

TEST_F(TerminateTest, StartupContextRequestsNoSessionEnd) {
  int status = -1;
  run(TERM_CONTEXT_STARTUP, -7, status);
  EXPECT_EQ(test::TerminationCatcher::session_end_requests(), 0);
  for (int context : {-1, 0, 102}) {
    run(context, -7, status);
    EXPECT_EQ(test::TerminationCatcher::session_end_requests(), 1) << context;
  }
}

TEST_F(TerminateTest, TheProcessReallyEndsWithStatusZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(terminate_app(TERM_CONTEXT_STARTUP, -18), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(assertion_failed("payload_size <= (1500 - ORVEX_HEADER_SIZE)", "epacket.cpp", 10),
              ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace orvex
