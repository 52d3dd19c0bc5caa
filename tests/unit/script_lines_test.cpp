#include "batch/script_lines.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "engine/session_events.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;
using test::TempFile;

class ScriptLinesTest : public test::OrvexTest {};

TEST_F(ScriptLinesTest, DecidesWhichLinesAreCarriedOutAndHowLongDelaysWait) {
  struct Case {
    const char* line;
    int consumed;
    const char* printed;
    uint64_t waited_ms;
  };
  const Case cases[] = {
      {"\n", 0, "", 0},
      {"# a comment\n", 1, "", 0},
      {" # not a comment\n", 0, "", 0},
      {"show version\n", 0, "", 0},
      {".delay 2.5\n", 1, "delaying for 2.500000 secs...\n", 2500},
      {".delay 0\n", 1, "", 0},
      {".delay\n", 1, "", 0},
      {".delay   \n", 1, "", 0},
      {".delay -1\n", 0, "", 0},
      {".delay 2s\n", 0, "", 0},
      {".DELAY 1\n", 0, "", 0},
      {".delay 1.2.3\n", 1, "delaying for 1.200000 secs...\n", 1200},
      {".delay\t1\n", 0, "", 0},
      {".delay 3 and a remark\n", 1, "delaying for 3.000000 secs...\n", 3000},
      {".delay 1\r\n", 1, "delaying for 1.000000 secs...\n", 1000},
      {".no exit.delay 1\n", 1, "delaying for 1.000000 secs...\n", 1000},  // both words: a delay
      {"delay 1\n", 0, "", 0},
      {".\n", 0, "", 0},
  };
  for (const Case& c : cases) {
    test::ScopedFakeClock clock;
    int consumed = -1;
    std::string out = capture_stdout([&] { consumed = run_script_line(c.line); });
    EXPECT_EQ(consumed, c.consumed) << c.line;
    EXPECT_EQ(out, c.printed) << c.line;
    EXPECT_EQ(clock->now_ms(), c.waited_ms) << c.line;
  }
}

TEST_F(ScriptLinesTest, DelayLengthIsCutToWholeMillisecondsWithinRange) {
  EXPECT_EQ(delay_milliseconds(2.5), 2500u);
  EXPECT_EQ(delay_milliseconds(0.0019), 1u);
  EXPECT_EQ(delay_milliseconds(99999999999.0), 0xFFFFFFFFu);
}

TEST_F(ScriptLinesTest, DelayEndsEarlyWhenTheSessionStops) {
  test::ScopedFakeClock clock;
  session_events().stopping = true;
  std::string out = capture_stdout([] { EXPECT_EQ(run_script_line(".delay 60\n"), 1); });
  EXPECT_EQ(out, "delaying for 60.000000 secs...\n");
  EXPECT_EQ(clock->now_ms(), 0u);
}

TEST_F(ScriptLinesTest, ExitLinesEndTheProgram) {
  for (const char* line : {".exit\n", ".reexit\n", ".please exit now"}) {
    test::TerminationCatcher catcher;
    std::string out = capture_stdout([&] {
      try {
        run_script_line(line);
        ADD_FAILURE() << "returned for " << line;
      } catch (const test::ProcessExit& e) {
        EXPECT_EQ(e.status, 0);
      }
    });
    EXPECT_EQ(out, "Local command exit executed ...\n\nTerminating application ...\n") << line;
  }
  EXPECT_EQ(run_script_line("exit\n"), 0);  // not a dot line: for the radio
}

std::vector<std::string> read_all(LineReader& reader, const char* name, int max_calls = 20) {
  std::vector<std::string> lines;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  for (int i = 0; i < max_calls; ++i) {
    int n = read_line(reader, name, buffer, true);
    if (n <= 0) {
      lines.push_back("<" + std::to_string(n) + ">");
      if (reader.file == nullptr) break;
      continue;
    }
    lines.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  return lines;
}

TEST_F(ScriptLinesTest, InteractiveReaderSkipsScriptLinesAndRunsThroughItsCycle) {
  TempFile file("# set up\nshow\n\n.delay 1\n # sent\nlogout\n");
  program_options().input_file_name = file.path();
  test::ScopedFakeClock clock;
  std::vector<std::string> lines;
  std::string out = capture_stdout([&] {
    uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 10; ++i) {
        int n = read_input_line(buffer);
        lines.emplace_back(n > 0 ? std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n))
                                 : "<" + std::to_string(n) + ">");
        if (n == 0 && lines.size() >= 2 && lines[lines.size() - 2] == "<0>") break;
      }
    }
  });
  // The last line has a line feed: one 0 with the file open, one that closes
  // it; then the reader starts again from the first line.
  const std::vector<std::string> one_round = {"show\n", "\n", " # sent\n", "logout\n", "<0>", "<0>"};
  std::vector<std::string> expected = one_round;
  expected.insert(expected.end(), one_round.begin(), one_round.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(out, "delaying for 1.000000 secs...\ndelaying for 1.000000 secs...\n");
  EXPECT_EQ(clock->now_ms(), 2000u);
}

TEST_F(ScriptLinesTest, BatchModeHandsOutEveryLineAndAnUnterminatedLastLineEndsAtOnce) {
  TempFile file("# comment\n.delay 5\n.exit\nlast");
  program_options().batch_mode = 1;
  LineReader reader;
  test::ScopedFakeClock clock;
  std::string out = capture_stdout([&] {
    EXPECT_EQ(read_all(reader, file.path()),
              (std::vector<std::string>{"# comment\n", ".delay 5\n", ".exit\n", "last", "<0>"}));
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(clock->now_ms(), 0u);
  // The input file's reader follows batch_mode.
  program_options().input_file_name = file.path();
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  ASSERT_EQ(read_input_line(buffer), 10);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "# comment\n");
}

TEST_F(ScriptLinesTest, LongLinesArriveInPiecesThatCountAsLines) {
  std::string long_line = std::string(127, 'a') + std::string(10, 'b') + "\n";
  TempFile file(long_line + "next\n");
  program_options().batch_mode = 1;
  LineReader reader;
  std::vector<std::string> lines = read_all(reader, file.path());
  EXPECT_EQ(lines, (std::vector<std::string>{std::string(127, 'a'), std::string(10, 'b') + "\n", "next\n", "<0>",
                                             "<0>"}));
  // A line of exactly 127 characters and its line feed are two pieces.
  TempFile exact(std::string(127, 'c') + "\n");
  LineReader second;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  EXPECT_EQ(read_line(second, exact.path(), buffer, true), 127);
  EXPECT_EQ(second.line_number, 1);
  EXPECT_EQ(read_line(second, exact.path(), buffer, true), 1);
  EXPECT_EQ(second.line_number, 2);
}

TEST_F(ScriptLinesTest, TwoReadersKeepTheirOwnPlace) {
  TempFile commands("cmd1\ncmd2\n");
  TempFile input("in1\nin2\n");
  program_options().input_file_name = input.path();
  LineReader command_reader;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  ASSERT_EQ(read_line(command_reader, commands.path(), buffer, true), 5);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "cmd1\n");
  ASSERT_EQ(read_input_line(buffer), 4);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "in1\n");
  ASSERT_EQ(read_line(command_reader, commands.path(), buffer, true), 5);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "cmd2\n");
  ASSERT_EQ(read_input_line(buffer), 4);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "in2\n");
}

TEST_F(ScriptLinesTest, MissingFileEndsTheProgram) {
  program_options().input_file_name = "/nonexistent/input.txt";
  test::TerminationCatcher catcher;
  std::string out = capture_stdout([&] {
    uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
    EXPECT_THROW(read_input_line(buffer), test::ProcessExit);
  });
  EXPECT_EQ(out,
            "Error: Unable to open input file [/nonexistent/input.txt]\n\r"
            "Please verify the file exist and it is not corrupted.\n\r"
            "\nTerminating application with error code:-83\n\n");
}

TEST_F(ScriptLinesTest, ReadErrorReportsTheLineNumber) {
  // Reading a directory opens but fails on the first read.
  program_options().batch_mode = 1;
  LineReader reader;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  std::string out = capture_stdout([&] { EXPECT_EQ(read_line(reader, "/", buffer, true), -1); });
  EXPECT_EQ(out, "----- Error while reading from input file / at line 0.\n      Unable to proceed\n");
  EXPECT_EQ(reader.file, nullptr);
}

}  // namespace
}  // namespace orvex
