// Console services on a POSIX terminal: colours, cursor movement and erasing
// as escape sequences on standard output, and the window title.
#pragma once

#include <cstdint>
#include <string>

#include "base/config.hpp"

namespace orvex {

// Standard output as it is now: whether it is a terminal, and whether the
// locale makes it show UTF-8. Looked at once, at start-up, into Config::console.
ConsoleKind console_of_process();

// Cell attributes: low four bits the text colour, high four the background
// (blue 1, green 2, red 4, bright 8).
constexpr uint8_t ATTRIBUTE_BLACK_ON_WHITE = 0xF0;
constexpr uint8_t ATTRIBUTE_WHITE_ON_BLACK = 0x0F;

// Recolours the whole screen, text kept, and makes the colours those of new
// text: the terminal's default colours change (so cells never coloured
// explicitly follow) and the attributes of new text are set. The terminal's
// own defaults come back when the program ends.
void set_black_on_white(Config& config);
void set_white_on_black(Config& config);

// F5: black on white while the toggle flag is 1 (the flag becomes 0), white on
// black otherwise (the flag becomes 1). The -b option calls set_black_on_white
// alone, leaving the flag as it is.
void toggle_colours(Config& config);

// The sequence that moves the cursor by the given lines and columns; a column
// delta of -80 means the top-left cell.
std::string cursor_sequence(int row_delta, int column_delta);
// Blanks everything from the cursor to the end of the screen; the cursor stays.
constexpr char ERASE_BELOW[] = "\x1b[J";

// Sets the window title when standard output is a terminal (the terminal's own
// title is saved first and given back at the end).
void set_console_title(const ConsoleKind& console, const char* title);

}  // namespace orvex
