// Console colours, buffer size, title and code page 437 output.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "base/settings.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"
#include "console/radio_output.hpp"
#include "base/host_state.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::capture_stdout;

class ConsoleTest : public test::OrvexTest {};

constexpr char BLACK_ON_WHITE[] = "\x1b]10;#000000\x07\x1b]11;#ffffff\x07\x1b[0;30;107m";
constexpr char WHITE_ON_BLACK[] = "\x1b]10;#ffffff\x07\x1b]11;#000000\x07\x1b[0;97;40m";

TEST_F(ConsoleTest, F5TwiceGivesBlackOnWhiteThenBrightWhiteOnBlack) {
  set_console_output_available(true);
  EXPECT_EQ(capture_stdout([] { toggle_colours(); }), BLACK_ON_WHITE);
  EXPECT_EQ(current_attribute(), 0xF0);
  EXPECT_EQ(capture_stdout([] { toggle_colours(); }), WHITE_ON_BLACK);
  EXPECT_EQ(current_attribute(), 0x0F);
  EXPECT_EQ(colour_toggle_flag(), 1);
}

TEST_F(ConsoleTest, AfterBlackOnWhiteOptionTheFirstF5ChangesNothingVisible) {
  set_console_output_available(true);
  capture_stdout([] { set_black_on_white(); });  // the -b option
  EXPECT_EQ(colour_toggle_flag(), 1);
  EXPECT_EQ(capture_stdout([] { toggle_colours(); }), BLACK_ON_WHITE);
  EXPECT_EQ(current_attribute(), 0xF0);
  EXPECT_EQ(capture_stdout([] { toggle_colours(); }), WHITE_ON_BLACK);
}

TEST_F(ConsoleTest, NothingIsWrittenWithoutATerminal) {
  set_console_output_available(false);
  EXPECT_EQ(capture_stdout([] {
              toggle_colours();
              set_console_title("OrvexTerm");
              move_cursor(0, -80);
              erase_below();
            }),
            "");
  EXPECT_EQ(current_attribute(), 0xF0);  // the flag still follows the key
}

TEST_F(ConsoleTest, F6ChangesNothingOffTheNtFamily) {
  set_console_output_available(true);
  host_state().nt_family = 0;
  EXPECT_EQ(capture_stdout([] { enlarge_console_buffer(); }), "");
  host_state().nt_family = 1;
  EXPECT_EQ(capture_stdout([] { enlarge_console_buffer(); }), "\x1b[8;128;80t");
}

TEST_F(ConsoleTest, TitleSavesTheTerminalsOwnOnceAndDropsControlBytes) {
  set_console_output_available(true);
  EXPECT_EQ(capture_stdout([] { set_console_title("Orvex\x07Term"); }), "\x1b[22;0t\x1b]2;OrvexTerm\x07");
  EXPECT_EQ(capture_stdout([] { set_console_title("B"); }), "\x1b]2;B\x07");
}

TEST_F(ConsoleTest, CursorSequences) {
  set_console_output_available(true);
  EXPECT_EQ(capture_stdout([] { move_cursor(0, -80); }), "\x1b[H");
  EXPECT_EQ(capture_stdout([] { move_cursor(-1, 0); }), "\x1b[1A");
  EXPECT_EQ(capture_stdout([] { move_cursor(0, 1); }), "\x1b[1C");
  EXPECT_EQ(capture_stdout([] { erase_below(); }), "\x1b[J");
}

TEST(Cp437, BoxDrawingAndLettersBecomeUtf8) {
  struct Case {
    uint8_t byte;
    const char* utf8;
  } cases[] = {{0x41, "A"},          {0x80, "\u00c7"}, {0xB3, "\u2502"}, {0xC9, "\u2554"},
               {0xCD, "\u2550"},     {0xBB, "\u2557"}, {0xDB, "\u2588"}, {0xE1, "\u00df"},
               {0xFA, "\u00b7"},     {0xFF, "\u00a0"}, {0x7F, "\x7f"}};
  for (const Case& c : cases) {
    char out[4];
    EXPECT_EQ(std::string(out, cp437_to_utf8(c.byte, out)), c.utf8) << int(c.byte);
  }
}

TEST_F(ConsoleTest, ConsoleTextIsTranslatedOnlyForAUtf8Locale) {
  set_console_utf8(true);
  EXPECT_EQ(capture_stdout([] { console_printf("%s|%d", "\xc9\xcd\xbb", 5); }), "\u2554\u2550\u2557|5");
  set_console_utf8(false);
  EXPECT_EQ(capture_stdout([] { console_printf("%s", "\xc9\xcd\xbb"); }), "\xc9\xcd\xbb");
}

TEST_F(ConsoleTest, RadioOutputIsShownTranslatedAndCapturedRaw) {
  const std::string name = ::testing::TempDir() + "ox7_capture.txt";
  program_options().output_file_name = name;
  capture_stdout([] { open_capture_file(); });
  set_console_utf8(true);
  const std::string shown = capture_stdout([] {
    for (uint8_t b : {uint8_t{'a'}, uint8_t{0xC4}, uint8_t{27}, uint8_t{'['}, uint8_t{'J'}, uint8_t{'b'}}) {
      render_radio_byte(b);
    }
  });
  close_capture_file();
  EXPECT_EQ(shown, "a\u2500b");
  std::ifstream in(name, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a\xc4" "b");
  std::remove(name.c_str());
}

}  // namespace
}  // namespace orvex
