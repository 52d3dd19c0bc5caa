#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/settings.hpp"
#include "console/console.hpp"
#include "console/radio_output.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

class RadioOutputTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    test::OrvexTest::SetUp();
    set_console_output_available(true);
    path_ = ::testing::TempDir() + "orvex_capture_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    test::OrvexTest::TearDown();
  }

  static std::string render(const std::string& bytes) {
    return test::capture_stdout([&] {
      for (char c : bytes) render_radio_byte(static_cast<uint8_t>(c));
    });
  }
  std::string captured() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string path_;
};

TEST_F(RadioOutputTest, CursorSequencesAreThreeBytesAndNeverCaptured) {
  program_options().output_file_name = path_;
  const std::string opened = test::capture_stdout([] { open_capture_file(); });
  EXPECT_EQ(opened, "------ Start capturing output to file " + path_ + " -----\n\n");
  EXPECT_EQ(capture_state(), CAPTURE_ON);

  // a b ESC [ J c d: ab, erase below, cd.
  EXPECT_EQ(render("ab\x1b[Jcd"), "ab\x1b[Jcd");
  // ESC [ 2 J: the sequence is ESC [ 2, without effect; the J is text.
  EXPECT_EQ(render("\x1b[2J"), "J");
  // Up one line, one column right (the radio's D), top-left.
  EXPECT_EQ(render("\x1b[A\x1b[D\x1b[H"), "\x1b[1A\x1b[1C\x1b[H");
  // A sequence split over two frames is still one sequence.
  EXPECT_EQ(render("\x1b"), "");
  EXPECT_EQ(render("[Jx"), "\x1b[Jx");
  // Other introducers consume two bytes and show nothing.
  EXPECT_EQ(render("\x1bOPz"), "z");

  close_capture_file();
  EXPECT_EQ(captured(), "abcdJxz");
}

TEST_F(RadioOutputTest, WithoutAConsoleSequencesShowNothing) {
  set_console_output_available(false);
  EXPECT_EQ(render("a\x1b[Jb"), "ab");
  EXPECT_EQ(capture_state(), CAPTURE_OFF);  // no -o: no capture
}

TEST_F(RadioOutputTest, UnopenableCaptureFileEndsTheProgram) {
  test::TerminationCatcher catcher;
  program_options().output_file_name = ::testing::TempDir() + "no/such/dir/out.txt";
  int status = -1;
  const std::string out = test::capture_stdout([&] {
    try {
      open_capture_file();
    } catch (const test::ProcessExit& e) {
      status = e.status;
    }
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "------- Error: output file [" + program_options().output_file_name +
                     "] couldn't open successfully\n\nTerminating application with error code:-29\n\n");
  EXPECT_EQ(capture_state(), CAPTURE_OFF);
}

TEST_F(RadioOutputTest, DiagnosticsFollowTheLevel) {
  EXPECT_EQ(test::capture_stdout([] { print_diagnostic("hidden"); }), "");
  program_options().diagnostic_level = 1;
  EXPECT_EQ(test::capture_stdout([] { print_diagnostic("shown"); }), "shown\n");
}

}  // namespace
}  // namespace orvex
