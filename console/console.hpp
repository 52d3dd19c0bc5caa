// Console services on a POSIX terminal: cursor movement and erasing as CSI
// sequences on standard output.
#pragma once

namespace orvex {

// Whether standard output is a terminal that takes cursor sequences; decided
// once from standard output, and settable by tests.
bool console_output_available();
void set_console_output_available(bool available);

// Moves the cursor by the given lines and columns; a column delta of -80 means
// the top-left cell. Does nothing without a console.
void move_cursor(int row_delta, int column_delta);

// Blanks everything from the cursor to the end of the screen; the cursor stays.
void erase_below();

// Sets the terminal window's title (OSC 0); only on a terminal.
void set_console_title(const char* title);

// Black text on bright white from now on (-b, F5); only on a terminal.
void set_black_on_white();

}  // namespace orvex
