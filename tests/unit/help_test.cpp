#include "ui/help.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>
#include <vector>

#include "base/settings.hpp"
#include "console/cp437.hpp"
#include "base/host_state.hpp"
#include "engine/session_table.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;

std::string row(const std::string& text, size_t width) {
  return "\xBA" + text + std::string(width - text.size(), ' ') + "\xBA\n";
}

std::string expected_help(bool f6) {
  std::string out = "\n\n\xC9" + std::string(72, '\xCD') + "\xBB\n";
  std::vector<std::string> keys = {" Function keys:",
                                   " F1 - Help screen",
                                   " F2 - Active/deactivate diagnostic messages",
                                   " F3 - Terminate active session and exit application",
                                   " F4 - Start new session",
                                   " F5 - Reverse screen colors"};
  if (f6) keys.push_back(" F6 - Increases console buffer");
  for (const auto& k : keys) out += row(k, 72);
  out += "\xC7" + std::string(72, '\xC4') + "\xB6\n";
  const char* lines[] = {
      " Command line arguments:",
      "  -o filename  Specify Output File: the output to the screen is also",
      "               saved into the specified output file.If the file already",
      "               exists it is overwritten.",
      "               Example: >orvex -o outfile.txt",
      "",
      "  -i filename  Specify Input File: the input commands are read from the",
      "               specified file instead of the keyboard.The last command",
      "               in the file should be 'logout'.",
      "               Example: > orvex -I infile.txt",
      "",
      "  -r MAC-addr  Establish a connection to the radio with the specified",
      "               MAC address only, instead of performing  a discovery",
      "               operation.",
      "               Example: >orvex -r 02:7a:42:00:00:06",
      "",
      "  -r serial#   Establish a connection to the radio with the specified",
      "               serial number only, instead of performing a discovery",
      "               operation. Example: >orvex -r 11282",
      "",
      "  -l lines     Sets the number of lines of the MS-DOS console. Not all",
      "               values are permitted.",
      "               Example: >orvex -l 50",
      "",
      "  -b           Changes the default background, from grey on black to",
      "               black on white.",
      "               Example: >orvex -b",
      "",
      "  -h           Prints the help screen",
      "",
      "               Multiple arguments can be combined in any order.",
      "               The input and output files are plain text files.",
      "               The .txt extension is recommended but not required.",
  };
  for (const char* l : lines) out += row(l, 72);
  out += "\xC8" + std::string(72, '\xCD') + "\xBC\n\n";
  return out;
}

std::vector<std::pair<int, uint8_t>> g_sent;
int record_send(Session& session, const uint8_t* payload, int size) {
  int index = static_cast<int>(&session - &session_table()[0]);
  for (int i = 0; i < size; ++i) g_sent.emplace_back(index, payload[i]);
  return 1;
}

class HelpTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    set_console_utf8(false);  // raw CP437 bytes, as with LANG=C
    g_sent.clear();
    set_help_radio_sender(record_send);
  }
  void TearDown() override {
    set_help_radio_sender(nullptr);
    OrvexTest::TearDown();
  }
};

TEST_F(HelpTest, HelpScreenByteForByteWithF6RowOnlyForNtFamily) {
  EXPECT_EQ(capture_stdout([] { print_help(0); }), expected_help(false));
  host_state().nt_family = 1;
  EXPECT_EQ(capture_stdout([] { print_help(0); }), expected_help(true));
  EXPECT_TRUE(g_sent.empty());
}

TEST_F(HelpTest, ConnectedKeyboardSessionGetsOneCarriageReturn) {
  session_table()[3].state = SESSION_CONNECTED;
  session_table()[4].state = SESSION_TRANSFER;
  capture_stdout([] {
    print_help(3);
    print_help(4);
    print_help(0);
  });
  EXPECT_EQ(g_sent, (std::vector<std::pair<int, uint8_t>>{{3, 0x0D}}));
  g_sent.clear();
  program_options().input_source = INPUT_FILE;
  capture_stdout([] { print_help(3); });
  EXPECT_TRUE(g_sent.empty());
}

TEST_F(HelpTest, RevisionTagGivesVersionTitleAndCell) {
  BannerInfo release = banner_info("$Name: ORVEX_03-05 $", "May 15 2007", "11:54:02");
  EXPECT_EQ(release.version_text, "ORVEX 03.05 ");
  EXPECT_EQ(release.title, "OrvexTerm rev ORVEX 03.05 ");
  EXPECT_EQ(release.version_cell, "ORVEX 03.05 ");

  BannerInfo engineering = banner_info("$Name:  $", "May 15 2007", "11:54:02");
  EXPECT_EQ(engineering.version_text, "ORVEX engr bld");
  EXPECT_EQ(engineering.title, "OrvexTerm engineering build of May 15 2007 11:54:02");
  EXPECT_EQ(engineering.version_cell, "May 15 2007 11:54:02");

  BannerInfo long_tag = banner_info("$Name: ORVEX_03-05_SPECIAL_BUILD_X $", "d", "t");
  EXPECT_EQ(long_tag.version_text, "ORVEX 03.05 SPEC");
  EXPECT_EQ(long_tag.title, "OrvexTerm rev ORVEX 03.05 SPEC");
  // The box cuts the cell at 20 columns.
  std::string box = banner_text(long_tag.version_cell);
  EXPECT_NE(box.find("\xBA Orvexterm ORVEX 03.05 SPECIAL      \xBA"), std::string::npos);
}

TEST_F(HelpTest, BannerByteForByte) {
  test::ScopedFakeClock clock;
  clock->set_wall_base(1'800'000'000);
  std::string out = capture_stdout([] { print_banner(); });
  const std::string rule(36, '\xCD');
  const std::string expected = "\n\n\xC9" + rule + "\xCB" + rule + "\xBB\n" +
                               "\xBA Orvexterm ORVEX 03.05              \xBA" + std::string(36, ' ') + "\xBA\n" +
                               "\xBA (c) Orvex Radio Works, 2007-2026   \xBA  For updates & fixes visit:        \xBA\n" +
                               "\xBA Ethernet Console Program           \xBA  https://orvexterm.example/        \xBA\n" +
                               "\xC8" + rule + "\xCA" + rule + "\xBC\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(run_state().version_text, "ORVEX 03.05 ");
  EXPECT_EQ(run_state().program_start_time, 1'800'000'000);
}

}  // namespace
}  // namespace orvex
