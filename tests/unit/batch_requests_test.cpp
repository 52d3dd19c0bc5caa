#include "batch/batch_requests.hpp"

#include <gtest/gtest.h>

#include <string>

#include "batch/batch_report.hpp"
#include "batch/command_list.hpp"
#include "base/settings.hpp"
#include "engine/session_table.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;

class BatchRequestsTest : public test::OrvexTest {
 protected:
  void TearDown() override {
    set_answer_reader(nullptr);
    OrvexTest::TearDown();
  }
};

std::string update_confirmation(const char* src, const char* dst, int action, int passes, long interval) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "\a\n You are about to update Arbor network with the following parameters:            \n"
                " Source file:%s            \n Destination file:%s            \n Action:%d            \n"
                " Additional number of tries:%d            \n Interval between additional tries:%ld\n",
                src, dst, action, passes, interval);
  return text;
}

TEST_F(BatchRequestsTest, UpdateArgumentChecksInOrder) {
  struct Case {
    std::string argument;
    std::string printed;  // empty: accepted
  };
  const std::string src128(128, 's');
  const std::string dst64(64, 'd');
  const Case cases[] = {
      {"fw.bin", "Invalid Source for Update All Radios argument [fw.bin]\n"},
      {"fw.bin#flash", "Invalid Destination for Update All Radios argument [fw.bin#flash]\n"},
      {"fw.bin#flash#1", "Invalid Action for Update All Radios argument [fw.bin#flash#1]\n"},
      {"a#b#0#1#0", "Invalid Action for Update All Radios argument [0]\nShould be either 1,2 or 3\n"},
      {"a#b#4#1#0", "Invalid Action for Update All Radios argument [4]\nShould be either 1,2 or 3\n"},
      {"a#b#one#1#0", "Invalid Action for Update All Radios argument [one]\nShould be either 1,2 or 3\n"},
      {"a#b#00000001#1#0", "Invalid Action for Update All Radios argument [00000001]\nShould be either 1,2 or 3\n"},
      {"a#b#1#2", "Invalid # of Tries for Update All Radios argument [a#b#1#2]\n"},
      {"a#b#1#00#0", "Invalid # of Tries for Update All Radios argument [00]\nShould be a numeric value\n"},
      {"a#b#1#17#0", "Invalid # of Tries for Update All Radios argument [a#b#1#17#0]\nShould be between 0 and 16\n"},
      {"a#b#1#-1#0", "Invalid # of Tries for Update All Radios argument [a#b#1#-1#0]\nShould be between 0 and 16\n"},
      {"a#b#1#00000002#0",
       "Invalid # of Tries for Update All Radios argument [a#b#1#00000002#0]\nShould be between 0 and 16\n"},
      {"a#b#1#1#", "Invalid Interval for Update All Radios argument []\nShould be a numeric value\n"},
      {"a#b#1#1#soon", "Invalid Interval for Update All Radios argument [soon]\nShould be a numeric value\n"},
      {"a#b#1#1#-5", "Invalid Interval for Update All Radios argument [a#b#1#1#-5]\nShould be between 0 and 3600000\n"},
      {"a#b#1#1#3600001",
       "Invalid Interval for Update All Radios argument [a#b#1#1#3600001]\nShould be between 0 and 3600000\n"},
      {src128 + "#b#1#1#0", "Invalid Source for Update All Radios argument [" + src128 + "#b#1#1#0]\n"},
      {"a#" + dst64 + "#1#1#0", "Invalid Destination for Update All Radios argument [a#" + dst64 + "#1#1#0]\n"},
      {"a#b#1#2x#0", ""},
      {"a#b#3#16#3600000", ""},
      {"a#b#2#0#0000000000000005999", ""},  // only the first 16 characters of the interval count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    test::reset_all_state();
    program_options().confirm_without_prompt = 1;
    bool accepted = false;
    std::string out = capture_stdout([&] { accepted = parse_update_all(c.argument); });
    if (c.printed.empty()) {
      EXPECT_TRUE(accepted);
      EXPECT_EQ(out.rfind("\a\n You are about to update", 0), 0u);
      EXPECT_EQ(program_options().update_all_mode, 1);
    } else {
      EXPECT_FALSE(accepted);
      EXPECT_EQ(out, c.printed);
      EXPECT_EQ(program_options().batch_mode, 0);
    }
  }
  EXPECT_EQ(update_all_request().interval_ms, 5u);
  EXPECT_EQ(update_all_request().action, 2);
}

TEST_F(BatchRequestsTest, UpdateConfirmationAsksUnlessForced) {
  struct Case {
    int forced;
    int answer;
    bool accepted;
  };
  const Case cases[] = {{1, EOF, true}, {0, 'Y', true}, {0, 'y', true}, {0, 'n', false}, {0, '\n', false},
                        {0, EOF, false}};
  for (const Case& c : cases) {
    test::reset_all_state();
    static int answer;
    answer = c.answer;
    set_answer_reader([] { return answer; });
    program_options().confirm_without_prompt = c.forced;
    run_state().chosen_radio = 5;
    bool accepted = false;
    std::string out = capture_stdout([&] { accepted = parse_update_all("fw.bin#flash#2#3#1500"); });
    std::string expected = update_confirmation("fw.bin", "flash", 2, 3, 1500);
    if (c.forced == 0) expected += "\nProceed? (Y/N):";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_EQ(program_options().batch_mode, c.accepted ? 1 : 0);
    EXPECT_EQ(program_options().update_all_mode, c.accepted ? 1 : 0);
    EXPECT_EQ(run_state().chosen_radio.load(), c.accepted ? -1 : 5);
  }
  EXPECT_EQ(update_all_request().source, "fw.bin");
  EXPECT_EQ(update_all_request().extra_passes, 3);
}

TEST_F(BatchRequestsTest, CommandRunArgumentChecksInOrder) {
  struct Case {
    std::string argument;
    std::string printed;
  };
  const Case cases[] = {
      {"cmds.txt", "Invalid commands filename argument [cmds.txt]\n"},
      {std::string(128, 'c') + "#1#0", "Invalid commands filename argument [" + std::string(128, 'c') + "#1#0]\n"},
      {"cmds.txt#1", "Invalid # of Tries argument [cmds.txt#1]\n"},
      {"cmds.txt#00#0", "Invalid # of Tries argument [00]\nShould be a numeric value\n"},
      {"cmds.txt#17#0", "Invalid # of Tries argument [cmds.txt#17#0]\nShould be between 0 and 16\n"},
      {"cmds.txt#1#", "Invalid interval-between-tries argument []\nShould be a numeric value\n"},
      {"cmds.txt#1#-1", "Invalid interval-between-tries argument [cmds.txt#1#-1]\nShould be between 0 and 3600000\n"},
      {"cmds.txt#2x#1500",
       "\a\n You are about to execute radio commands in batch mode the following parameters:            \n"
       " Source commands filename:cmds.txt            \n Additional number of tries:2            \n"
       " Interval between additional tries (millisecs):1500\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    test::reset_all_state();
    program_options().confirm_without_prompt = 1;
    bool accepted = false;
    std::string out = capture_stdout([&] { accepted = parse_command_run(c.argument); });
    EXPECT_EQ(out, c.printed);
    EXPECT_EQ(accepted, c.printed.rfind("\a", 0) == 0);
  }
  EXPECT_EQ(program_options().command_run_mode, 1);
  EXPECT_EQ(program_options().batch_mode, 1);
  EXPECT_EQ(program_options().update_all_mode, 0);
  EXPECT_EQ(command_run_request().command_file, "cmds.txt");
  EXPECT_EQ(command_run_request().interval_ms, 1500);
}

const char* const kEq = "=============================================================================";
const char* const kDash = "-----------------------------------------------------------------------------";

TEST_F(BatchRequestsTest, UpdateReportAllSuccessfulInOnePass) {
  BatchResult result;
  result.taken_part = 2;
  result.tries = 1;
  result.interval_ms = 1500;
  result.radios = {{"radio-a", "11282", OUTCOME_DONE}, {"a-very-long-radio-name", "6", OUTCOME_DONE}};
  EXPECT_EQ(format_batch_report(BatchKind::UPDATE_ALL, result),
            std::string("\n") + kEq + "\n Radio Update Report:\n Radios updated successfully: 2\n"
                " Radios not updated: 0\n Number of tries: 1\n" + kDash + "\n\nDetailed list:\n" + kDash +
                "\nRadios Updated successfully (radio name/serial number)\n\n"
                "         radio-a 11282\n"
                "a-very-long-radio-name 6\n"
                "\n" + kEq + "\n\n");
}

TEST_F(BatchRequestsTest, CommandRunReportWithFailuresAndPasses) {
  BatchResult result;
  result.taken_part = 3;
  result.failed = 1;
  result.tries = 3;
  result.interval_ms = 1500;
  result.radios = {{"one", "1", OUTCOME_DONE}, {"two", "2", OUTCOME_FAILED}, {"three", "3", OUTCOME_DONE}};
  EXPECT_EQ(format_batch_report(BatchKind::COMMAND_RUN, result),
            std::string("\n") + kEq + "\n Radio Commands Execute Report:\n"
                " Commands executed successfully on 2 radios.\n One or more commands failed on 1 radios\n"
                " Number of tries: 3\n Time interval between tries (in millisecs): 1500\n" + kDash +
                "\n\nDetailed list:\n" + kDash +
                "\nRadios with successful execution of radio commands (radio name/serial number)\n\n"
                "             one 1\n           three 3\n" + kDash +
                "\nRadios with failed command execution (radio name/serial number)\n\n"
                "             two 2\n"
                "\n" + kEq + "\n\n");

  result.failed = 3;
  result.radios = {{"one", "1", OUTCOME_FAILED}, {"two", "2", OUTCOME_FAILED}, {"three", "3", OUTCOME_FAILED}};
  std::string all_failed = format_batch_report(BatchKind::UPDATE_ALL, result);
  EXPECT_EQ(all_failed.find("Radios Updated successfully"), std::string::npos);
  EXPECT_NE(all_failed.find(std::string(kDash) + "\n" + kDash +
                            "\nRadios Not updated successfully (radio name/serial number)\n\n"),
            std::string::npos);

  EXPECT_EQ(format_pass_message(BatchKind::UPDATE_ALL, 2, 1, 1500),
            "2 radios  not updated after 1 pass\nWaiting 1 secs for the next pass ...\n");
  EXPECT_EQ(format_pass_message(BatchKind::COMMAND_RUN, 1, 2, 999),
            "At 1 radios one or more commands failed after 2 pass\nWaiting 0 secs for the next pass ...\n");
}

TEST_F(BatchRequestsTest, ReportRowsComeFromTheTakingPartSlotsInTableOrder) {
  std::vector<uint8_t> outcomes(MAX_USER_SESSIONS, OUTCOME_EMPTY_SLOT);
  outcomes[2] = OUTCOME_FAILED;
  outcomes[7] = OUTCOME_DONE;
  session_table()[2].set_name("north", 64);
  session_table()[2].mac = MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}};
  session_table()[7].set_name("south", 64);
  session_table()[7].mac = MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x06}};
  std::vector<BatchRadioResult> radios = radios_from_outcomes(outcomes.data());
  ASSERT_EQ(radios.size(), 2u);
  EXPECT_EQ(radios[0].name, "north");
  EXPECT_EQ(radios[0].serial_text, "11282");
  EXPECT_EQ(radios[0].outcome, OUTCOME_FAILED);
  EXPECT_EQ(radios[1].name, "south");
  EXPECT_EQ(radios[1].serial_text, "6");
  EXPECT_EQ(radios[1].outcome, OUTCOME_DONE);
}

TEST_F(BatchRequestsTest, CommandListKeepsScriptLinesAndStopsAfter128Lines) {
  std::string text = "# comment\n.delay 1\n";
  for (int i = 3; i <= 130; ++i) text += "cmd" + std::to_string(i) + "\n";
  test::TempFile file(text);
  std::vector<std::string> lines;
  std::string out = capture_stdout([&] { lines = read_command_list(file.path()); });
  ASSERT_EQ(lines.size(), 128u);
  EXPECT_EQ(lines[0], "# comment\n");
  EXPECT_EQ(lines[1], ".delay 1\n");
  EXPECT_EQ(lines[127], "cmd128\n");
  EXPECT_EQ(out, std::string("Warning: command file ") + file.path() +
                     " holds more than 128 lines; line # 129 and later lines are ignored\n");

  test::TempFile empty("");
  EXPECT_TRUE(read_command_list(empty.path()).empty());
}

}  // namespace
}  // namespace orvex
