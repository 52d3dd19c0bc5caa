#include "console/console.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/config.hpp"
#include "console/cp437.hpp"
#include "os/terminal.hpp"

namespace orvex {

namespace {
// The default colours (OSC 10 text, OSC 11 background) recolour every cell
// written without explicit colours, so the screen's text keeps its place; SGR
// then gives new text the same colours.
constexpr char BLACK_ON_WHITE[] = "\x1b]10;#000000\x07\x1b]11;#ffffff\x07\x1b[0;30;107m";
constexpr char WHITE_ON_BLACK[] = "\x1b]10;#ffffff\x07\x1b]11;#000000\x07\x1b[0;97;40m";

void set_colours(Config& config, uint8_t attribute, const char* sequence) {
  config.attribute = attribute;
  if (!config.console.terminal) return;
  note_colours_changed();
  std::fputs(sequence, stdout);
  std::fflush(stdout);
}
}  // namespace

ConsoleKind console_of_process() {
  return ConsoleKind{.terminal = isatty(STDOUT_FILENO) == 1, .utf8 = locale_is_utf8()};
}

void set_black_on_white(Config& config) { set_colours(config, ATTRIBUTE_BLACK_ON_WHITE, BLACK_ON_WHITE); }
void set_white_on_black(Config& config) { set_colours(config, ATTRIBUTE_WHITE_ON_BLACK, WHITE_ON_BLACK); }

void toggle_colours(Config& config) {
  if (config.colour_toggle == 1) {
    set_black_on_white(config);
    config.colour_toggle = 0;
  } else {
    set_white_on_black(config);
    config.colour_toggle = 1;
  }
}

std::string cursor_sequence(int row_delta, int column_delta) {
  if (column_delta == -80) return "\x1b[H";
  std::string out;
  const auto add = [&out](int n, char code) { out += "\x1b[" + std::to_string(n) + code; };
  if (row_delta < 0) add(-row_delta, 'A');
  if (row_delta > 0) add(row_delta, 'B');
  if (column_delta > 0) add(column_delta, 'C');
  if (column_delta < 0) add(-column_delta, 'D');
  return out;
}

void set_console_title(const ConsoleKind& console, const char* title) {
  if (!console.terminal) return;
  // The title in use is saved once, and given back at exit.
  if (note_title_pushed()) std::fputs("\x1b[22;0t", stdout);
  // Control bytes would end the sequence early: they are left out.
  std::fputs("\x1b]2;", stdout);
  for (const char* p = title; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7f) std::fputc(*p, stdout);
  }
  std::fputs("\x07", stdout);
  std::fflush(stdout);
}

}  // namespace orvex
