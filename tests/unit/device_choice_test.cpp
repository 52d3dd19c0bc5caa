// The device table as printed, and the choice of a radio by -r or at the prompt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.hpp"
#include "console/cp437.hpp"
#include "ui/device_table.hpp"
#include "engine/session_table.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

struct Radio {
  std::string name;
  MacAddress mac;
  const char* firmware = "";
};

const std::string PROMPT = "Please type the device ID>";
const std::string SUMMARY_3 = "\r\nDiscovery phase completed (3 devices were found total).\n";
const std::string INVALID_3 = "Error: invalid input value, or value out of valid range [1-3].\n";
const std::string ENDS_WITH_7 = "\nTerminating application with error code:-7\n\n";

class DeviceChoiceTest : public OrvexTest {
 protected:
  void found(const std::vector<Radio>& radios) {
    int i = 1;
    for (const Radio& r : radios) {
      Session& s = session_table()[i++];
      s.mac = r.mac;
      s.set_name(r.name.data(), r.name.size());
      std::copy_n(r.firmware, std::strlen(r.firmware), s.firmware.begin());
      s.state = SESSION_FOUND;
    }
    run_state().numOfRadiosFound = static_cast<int>(radios.size());
  }
  void preselect(const std::string& text) {
    program_options().chosen_radio_given = true;
    program_options().chosen_radio_text = text;
  }

  struct Answer {
    int index = 0;
    bool ended = false;
    std::string output;
  };
  Answer choose(const std::string& typed) {
    Answer a;
    std::string input = typed;
    std::FILE* in = fmemopen(input.data(), input.size(), "r");
    if (input.empty()) in = std::fopen("/dev/null", "r");
    ::testing::internal::CaptureStdout();
    try {
      a.index = choose_device(in);
    } catch (const ProcessExit&) {
      a.ended = true;
    }
    a.output = ::testing::internal::GetCapturedStdout();
    std::fclose(in);
    return a;
  }

  TerminationCatcher catcher_;
};

const MacAddress MAC_A{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x0B}};  // serial 11
const MacAddress MAC_B{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x02}};  // serial 2
const MacAddress MAC_C{{0x02, 0x7A, 0x41, 0x01, 0x00, 0x00}};  // serial 65536

TEST_F(DeviceChoiceTest, OneRadioIsChosenWithoutAskingWhateverMinusRSays) {
  found({{"only", MAC_A}});
  preselect("someone-else");
  const Answer a = choose("");
  EXPECT_EQ(a.index, 1);
  EXPECT_EQ(a.output, "");
}

TEST_F(DeviceChoiceTest, TypedAnswers) {
  struct Case {
    const char* typed;
    int index;  // 0: the program ends with -7
  };
  const Case cases[] = {
      {"2\n", 3},                   // serial number 2 before node 2
      {"11", 2},                    // serial number
      {"  3  \n", 1},               // a name that looks like a number is a name first
      {"65536", 1},                 // serial number of radio 1
      {"beta\n", 2},                // name
      {"02:7A:41:01:00:00\n", 1},   // MAC address
      {"02:7a:41:01:00:00\n", 1},   // hexadecimal digits in either case
      {"0\n", 0},
      {"4\n", 0},                   // above the radios found
      {"-1\n", 0},
      {"Beta\n", 0},                // names match case-sensitively
      {"gamma\n", 0},               // neither a name, an address nor a number
      {"02:7A:41:99:99:99\n", 0},   // an address nobody has
      {"\n \n", 0},                 // input ends before a word
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    reset_session_table();
    // Radio 1 is named "3" and has serial 65536; radio 3 has serial 2.
    found({{"3", MAC_C}, {"beta", MAC_A}, {"gamma-radio", MAC_B}});
    const Answer a = choose(c.typed);
    const int expected = c.index;
    if (expected == 0) {
      EXPECT_TRUE(a.ended);
      EXPECT_EQ(a.output, SUMMARY_3 + PROMPT + INVALID_3 + ENDS_WITH_7);
    } else {
      EXPECT_FALSE(a.ended);
      EXPECT_EQ(a.index, expected);
      EXPECT_EQ(a.output, SUMMARY_3 + PROMPT);
    }
  }
}

TEST_F(DeviceChoiceTest, Preselections) {
  struct Case {
    const char* text;
    int index;  // 0: the operator is asked (and answers "beta")
  };
  const Case cases[] = {
      {"gamma-radio", 3},
      {"3", 1},                    // name before serial and node number
      {"2", 3},                    // serial number before node number
      {"02:7A:41:00:00:0B", 2},
      {"02:7A:41:99:99:99", 0},    // an address nobody has: asked, not ended
      {"7", 0},
      {"nobody", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    reset_session_table();
    found({{"3", MAC_C}, {"beta", MAC_A}, {"gamma-radio", MAC_B}});
    preselect(c.text);
    const Answer a = choose("beta\n");
    EXPECT_FALSE(a.ended);
    EXPECT_EQ(a.index, c.index == 0 ? 2 : c.index);
    EXPECT_EQ(a.output, c.index == 0 ? SUMMARY_3 + PROMPT : SUMMARY_3);
  }
}

TEST_F(DeviceChoiceTest, WordWithoutDigitsDoesNotPickSerialNumberZero) {
  found({{"a", MacAddress{{0x02, 0x7A, 0x41, 0, 0, 0}}}, {"b", MAC_A}, {"c", MAC_B}});
  const Answer a = choose("word\n");
  EXPECT_TRUE(a.ended);
}

TEST_F(DeviceChoiceTest, NameFillingAllSixtyFourBytesIsMatchedWhole) {
  const std::string name64(64, 'q');
  found({{"a", MAC_A}, {name64, MAC_B}, {"c", MAC_C}});
  preselect(name64);
  EXPECT_EQ(choose("").index, 2);
  preselect(name64.substr(0, 63));
  EXPECT_TRUE(choose("").ended);
}

TEST_F(DeviceChoiceTest, TableBytes) {
  const std::string name64(64, 'q');
  found({{"alpha", MAC_A, "FW 2.1.7"},
         {"a-name-of-twenty-ch", MAC_B, "0123456789ABCDEF"},
         {name64, MAC_C, ""}});
  session_table()[2].firmware = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
  const std::string out = capture_stdout([] { print_device_table(); });
  const std::string border = "\r\xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC2" + std::string(19, '\xC4') + "\xC2" +
                             std::string(19, '\xC4') + "\xC2" + std::string(7, '\xC4') + "\xC2" +
                             std::string(19, '\xC4') + "\n";
  const std::string title = "\xB3 Node \xB3 Name              \xB3 MAC Address       \xB3 S/N   \xB3 Firmware\n";
  const std::string rows =
      "\xFE 001  \xFE alpha             \xFE 02:7A:41:00:00:0B \xFE 11 \xFE FW 2.1.7        \n"
      // A longer name widens its row; the columns after it move right.
      "\xFE 002  \xFE a-name-of-twenty-ch \xFE 02:7A:41:00:00:02 \xFE 2 \xFE 0123456789ABCDEF\n"
      "\xFE 003  \xFE " + name64 + " \xFE 02:7A:41:01:00:00 \xFE 65536 \xFE                 \n";
  EXPECT_EQ(out, border + title + rows);
  EXPECT_EQ(border.size(), 77u);

  // On a UTF-8 terminal the same table shows the line characters, not raw bytes.
  set_console_utf8(true);
  const std::string shown = capture_stdout([] { print_device_table_header(); });
  set_console_utf8(false);
  EXPECT_EQ(shown.substr(0, 13), "\r\u250c\u2500\u2500\u2500");
  EXPECT_NE(shown.find("\u2502 Node \u2502 Name"), std::string::npos);
}

}  // namespace
}  // namespace orvex::test
