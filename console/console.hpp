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

}  // namespace orvex
