#include "batch/radio_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;
using test::TempFile;

MacAddress radio(uint8_t a, uint8_t b, uint8_t c) { return MacAddress{{0x02, 0x7A, 0x42, a, b, c}}; }

std::vector<uint32_t> stored_serials() {
  std::vector<uint32_t> out;
  for (const MacAddress& e : radio_list()) {
    if (e.is_zero()) break;
    EXPECT_EQ(e.bytes[0], 0xFF);
    out.push_back(serial_number(e));
  }
  return out;
}

std::string warning(int line, const std::string& file, const std::string& text) {
  return "Warning: line # " + std::to_string(line) + " of " + file +
         " file does not contain a valid serial number (" + text + ")\n";
}

class RadioListTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    reset_radio_list();
  }
  void TearDown() override {
    reset_radio_list();
    OrvexTest::TearDown();
  }
};

TEST_F(RadioListTest, ReadsNumbersRemarksBlankLinesAndRefusesTheRest) {
  TempFile file(
      "11282 the lab radio\n"  // 1: remark after a space
      "11282abc\n"             // 2: refused
      "0x2C12\n"               // 3: hexadecimal, refused
      "+6\n"                   // 4: signed, refused
      "\n"                     // 5: blank: serial 0
      "16777217\n"             // 6: low 24 bits: 1
      "   77\r\n"              // 7: leading spaces skipped, CR ends the number
      "\t88\n"                 // 8: a tab is not skipped
      "12345678901234567\n"    // 9: 17 characters: refused, never overflows
      "1234567890123456");     // 10: 16 characters, no line feed: accepted
  std::string out = capture_stdout([&] { EXPECT_EQ(load_radio_list(file.path()), 1); });
  std::string name = file.path();
  EXPECT_EQ(out, warning(2, name, "11282abc\n") + warning(3, name, "0x2C12\n") + warning(4, name, "+6\n") +
                     warning(8, name, "\t88\n") + warning(9, name, "12345678901234567\n"));
  EXPECT_EQ(stored_serials(), (std::vector<uint32_t>{11282, 0, 1, 77, 1234567890123456ull & 0xFFFFFF}));
  EXPECT_EQ(program_options().list_filter_active.load(), 1);
}

TEST_F(RadioListTest, MembershipComparesOnlyTheSerialBytes) {
  TempFile file("11282\n6\n");
  capture_stdout([&] { load_radio_list(file.path()); });
  EXPECT_TRUE(radio_list_contains(radio_list(), radio(0x00, 0x2C, 0x12)));
  EXPECT_TRUE(radio_list_contains(radio_list(), MacAddress{{0x00, 0x11, 0x22, 0x00, 0x2C, 0x12}}));
  EXPECT_TRUE(radio_list_contains(radio_list(), radio(0x00, 0x00, 0x06)));
  EXPECT_FALSE(radio_list_contains(radio_list(), radio(0x00, 0x00, 0x07)));
  // The end entry is compared before it ends the list: serial number 0 matches.
  EXPECT_TRUE(radio_list_contains(radio_list(), radio(0x00, 0x00, 0x00)));
}

TEST_F(RadioListTest, EleventhNumberIsIgnoredWithOneWarning) {
  std::string text;
  for (int i = 1; i <= 12; ++i) text += std::to_string(100 + i) + "\n";
  TempFile file(text);
  std::string out = capture_stdout([&] { load_radio_list(file.path()); });
  EXPECT_EQ(out, std::string("Warning: radio list file ") + file.path() +
                     " holds more than 10 serial numbers; line # 11 and later numbers are ignored\n");
  std::vector<uint32_t> expected;
  for (uint32_t i = 1; i <= 10; ++i) expected.push_back(100 + i);
  EXPECT_EQ(stored_serials(), expected);
  EXPECT_TRUE(radio_list_contains(radio_list(), radio(0, 0, 110)));
  EXPECT_FALSE(radio_list_contains(radio_list(), radio(0, 0, 111)));
  EXPECT_FALSE(radio_list_contains(radio_list(), radio(0, 0, 0)));  // a full list has no end entry
}

TEST_F(RadioListTest, LongLineIsReadInPiecesCountedAsLines) {
  // 130 digits: the first 127 are one (too long) number, the rest another line.
  TempFile file(std::string(130, '1') + "\n");
  std::string out = capture_stdout([&] { load_radio_list(file.path()); });
  EXPECT_EQ(out, warning(1, file.path(), std::string(127, '1')));
  EXPECT_EQ(stored_serials(), (std::vector<uint32_t>{111}));
}

TEST_F(RadioListTest, FileWithoutValidNumbersStillTurnsTheFilterOn) {
  TempFile file("abc\n");
  capture_stdout([&] { load_radio_list(file.path()); });
  EXPECT_EQ(program_options().list_filter_active.load(), 1);
  EXPECT_FALSE(radio_list_contains(radio_list(), radio(0, 0x2C, 0x12)));
}

TEST_F(RadioListTest, MissingFileEndsTheProgram) {
  test::TerminationCatcher catcher;
  std::string out = capture_stdout([&] {
    try {
      load_radio_list("/nonexistent/list.txt");
      ADD_FAILURE() << "returned";
    } catch (const test::ProcessExit& e) {
      EXPECT_EQ(e.status, 0);
    }
  });
  EXPECT_EQ(out,
            "Error: Unable to open radio list file [/nonexistent/list.txt]\n\r"
            "Please verify the file exist and it is not corrupted.\n\r"
            "\nTerminating application with error code:-83\n\n");
  EXPECT_EQ(program_options().list_filter_active.load(), 0);
}

}  // namespace
}  // namespace orvex
