#include "app/options.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/terminate.hpp"
#include "base/address_text.hpp"
#include "batch/batch_requests.hpp"
#include "ui/help.hpp"
#include "batch/radio_list.hpp"
#include "base/settings.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "base/host_state.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;

struct Outcome {
  std::string printed;
  std::optional<int> exit_status;  // empty: parse_options returned
};

Outcome run(std::vector<std::string> args) {
  args.insert(args.begin(), "orvexterm");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Outcome outcome;
  test::TerminationCatcher catcher;
  outcome.printed = capture_stdout([&] {
    try {
      parse_options(static_cast<int>(args.size()), argv.data());
    } catch (const test::ProcessExit& e) {
      outcome.exit_status = e.status;
    }
  });
  return outcome;
}

const std::string kEnd = "end of processing arguments ...\n";
const std::string kUsageU =
    "-u is Update all radios\n"
    "-u srcfile#dstfile#action#retry_count#retry_interval\n"
    "as in: -u tdd_ram.bz#tdd_0825#1#2#2\n"
    "action: 1: load-and-sdp - 3: load-only\n";
const std::string kUsageX =
    "-x is eXecute command file on all radios\n"
    "-x cmdfile#retry_cnt#retry_interval\n";

class OptionsTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    set_console_utf8(false);
  }
};

TEST_F(OptionsTest, MessagesAndExitsOfTheArgumentLoop) {
  struct Case {
    std::vector<std::string> args;
    std::string printed;
    std::optional<int> exit_status;
  };
  const std::string help = help_text(false);
  const Case cases[] = {
      {{}, "", std::nullopt},
      {{"-o"}, "missing parameter for argument -o -ignoring\n" + kEnd, std::nullopt},
      {{"-n"}, "missing parameter for argument -n -ignoring\n" + kEnd, std::nullopt},
      {{"-d", "-rx"}, "missing parameter for argument -rx -ignoring\n" + kEnd, std::nullopt},
      {{"-d", "-o", "out.txt", "-u"}, kUsageU, 255},
      {{"-f", "-x"}, kUsageX, 255},
      {{"-I", "infile.txt"}, "Bad argument -I - ignoring\nBad argument infile.txt - ignoring\n" + kEnd, std::nullopt},
      {{"-", "-z", "plain"},
       "Bad argument - - ignoring\nBad argument -z - ignoring\nBad argument plain - ignoring\n" + kEnd,
       std::nullopt},
      {{"-hx", "-u"}, help, 0},
      {{"-a", "-h", "-i", "/nonexistent/in.txt", "-u", "bad"}, help, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    test::reset_all_state();
    set_console_utf8(false);
    host_state().nt_family = 1;  // -h never shows the F6 row
    Outcome outcome = run(c.args);
    EXPECT_EQ(outcome.printed, c.printed);
    EXPECT_EQ(outcome.exit_status, c.exit_status);
  }
}

TEST_F(OptionsTest, HelpStopsProcessingAfterImmediateOptionsTookEffect) {
  set_console_output_available(true);
  Outcome outcome = run({"-b", "-d", "-l", "50", "-h", "-d", "-o", "x.txt"});
  EXPECT_EQ(outcome.exit_status, 0);
  // -b recoloured the screen, -l asked for 50 lines, before the help.
  EXPECT_EQ(current_attribute(), ATTRIBUTE_BLACK_ON_WHITE);
  const std::string lines_request = "\x1b[8;50;80t";
  const size_t help_at = outcome.printed.find(help_text(false));
  ASSERT_NE(help_at, std::string::npos);
  EXPECT_NE(outcome.printed.find(lines_request), std::string::npos);
  EXPECT_LT(outcome.printed.find("\x1b[0;30;107m"), outcome.printed.find(lines_request));
  EXPECT_LT(outcome.printed.find(lines_request), help_at);
  EXPECT_EQ(program_options().diagnostic_level.load(), 1);
  EXPECT_EQ(program_options().output_file_name, "");
}

TEST_F(OptionsTest, SettingsFilledByTheOptions) {
  Outcome outcome = run({"-o", "-d", "-c", "-3", "-r", "11282", "-v", "5", "-m", "02:7a:42:00:2c:12"});
  EXPECT_EQ(outcome.printed, "\nUsing as local MAC address: 02:7A:42:00:2C:12\n" + kEnd);
  const ProgramOptions& o = program_options();
  EXPECT_EQ(o.output_file_name, "-d");  // a parameter is taken whatever it looks like
  EXPECT_EQ(o.diagnostic_level.load(), 0);
  EXPECT_EQ(o.adapter_number, -3);  // negative: the operator chooses
  EXPECT_TRUE(o.chosen_radio_given);
  EXPECT_EQ(o.chosen_radio_text, "11282");
  EXPECT_EQ(o.vlan_id, 5);
  EXPECT_EQ(o.local_mac_override, (MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}}));
  EXPECT_EQ(o.input_source, INPUT_KEYBOARD);

  test::reset_all_state();
  outcome = run({"-d", "-d", "-c", "abc", "-v", "x", "-m", "02-7A-42-00-2C-12", "-R", "a", "-R", "b", "-f"});
  EXPECT_EQ(outcome.printed, kEnd);
  EXPECT_EQ(program_options().diagnostic_level.load(), 2);
  EXPECT_EQ(program_options().adapter_number, 0);
  EXPECT_EQ(program_options().vlan_id, 0);
  EXPECT_TRUE(program_options().local_mac_override.is_zero());
  EXPECT_EQ(program_options().chosen_radio_text, "b");
  EXPECT_EQ(program_options().confirm_without_prompt, 1);
}

TEST_F(OptionsTest, OverlongTextsAreRefusedWholeWithoutOverflow) {
  const std::string huge(1000, '7');
  Outcome outcome = run({"-o", "keep.txt", "-m", huge, "-v", huge, "-o", huge, "-i", huge, "-n", huge, "-l", huge,
                         "-r", huge});
  EXPECT_EQ(outcome.printed,
            "Parameter of argument -m is too long - ignoring\n"
            "Parameter of argument -v is too long - ignoring\n"
            "Parameter of argument -o is too long - ignoring\n"
            "Parameter of argument -i is too long - ignoring\n"
            "Parameter of argument -n is too long - ignoring\n"
            "Parameter of argument -l is too long - ignoring\n" +
                kEnd);
  EXPECT_EQ(program_options().output_file_name, "keep.txt");
  EXPECT_EQ(program_options().vlan_id, 0);
  EXPECT_TRUE(program_options().local_mac_override.is_zero());
  EXPECT_EQ(program_options().input_source, INPUT_KEYBOARD);
  EXPECT_EQ(program_options().list_filter_active.load(), 0);
  EXPECT_EQ(program_options().chosen_radio_text, huge);  // -r keeps a copy of any length

  // Texts exactly at their bounds are taken.
  test::reset_all_state();
  outcome = run({"-o", std::string(259, 'o'), "-v", std::string(62, '0') + "9"});
  EXPECT_EQ(outcome.printed, kEnd);
  EXPECT_EQ(program_options().output_file_name.size(), 259u);
  EXPECT_EQ(program_options().vlan_id, 9);
}

TEST_F(OptionsTest, LinesOptionAsksTheTerminalOnlyForAPositiveNumber) {
  set_console_output_available(true);
  EXPECT_EQ(run({"-l", "50"}).printed, "\x1b[8;50;80t" + kEnd);
  EXPECT_EQ(run({"-l", "0"}).printed, kEnd);
  EXPECT_EQ(run({"-l", "lots"}).printed, kEnd);
  EXPECT_EQ(run({"-l", "40; reboot"}).printed, "\x1b[8;40;80t" + kEnd);  // only the number is used
  set_console_output_available(false);
  EXPECT_EQ(run({"-l", "50"}).printed, kEnd);
}

TEST_F(OptionsTest, InputAndRadioListFilesAreEvaluatedAfterTheLoop) {
  test::TempFile input("show\nlogout\n");
  test::TempFile list("11282\n");
  Outcome outcome = run({"-i", input.path(), "-n", list.path()});
  EXPECT_EQ(outcome.printed, kEnd);
  EXPECT_EQ(program_options().input_source, INPUT_FILE);
  EXPECT_EQ(program_options().input_file_name, input.path());
  EXPECT_EQ(program_options().list_filter_active.load(), 1);
  EXPECT_TRUE(radio_list_contains(program_options().radio_list, MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}}));

  test::reset_all_state();
  outcome = run({"-i", "/nonexistent/in.txt", "-n", list.path()});
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.printed,
            "------ Error: input file [/nonexistent/in.txt] does not exist.\n"
            "\nTerminating application with error code:-29\n\n");
  EXPECT_EQ(program_options().list_filter_active.load(), 0);
}

TEST_F(OptionsTest, BatchRequestsAreConfirmedOrRefused) {
  Outcome outcome = run({"-f", "-u", "fw.bin#flash#2#1#1500"});
  EXPECT_EQ(outcome.exit_status, std::nullopt);
  EXPECT_EQ(program_options().update_all_mode, 1);
  EXPECT_EQ(program_options().batch_mode, 1);
  EXPECT_EQ(run_state().chosen_radio.load(), -1);
  EXPECT_EQ(update_all_request().destination, "flash");
  EXPECT_NE(outcome.printed.find(" Interval between additional tries:1500\n" + kEnd), std::string::npos);

  test::reset_all_state();
  outcome = run({"-f", "-x", "cmds.txt#0"});
  EXPECT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.printed,
            "Invalid # of Tries argument [cmds.txt#0]\n"
            "\aError: Either wrong arguments or user cancelation. Terminating application ...\n"
            "\nTerminating application with error code:-8\n\n");
  EXPECT_EQ(program_options().command_run_mode, 0);
}

}  // namespace
}  // namespace orvex
