// Waiting for the operator to acknowledge a fatal message.
#pragma once

namespace orvex {

// Reads one byte from a terminal on standard input without echo, the terminal
// restored afterwards. Returns at once when standard input is no terminal or
// has ended.
void wait_for_key_press();

}  // namespace orvex
