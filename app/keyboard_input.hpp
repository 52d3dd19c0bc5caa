// The keyboard worker's input step: keys (or input-file lines) for the radio,
// with F1..F6 and Esc acted on here.
#pragma once

#include <cstdint>

namespace orvex {

class SessionWorkers;

// From the keyboard (one key) or the input file (one line), as the -i option
// chose: the number of bytes placed in `buffer` (room for 256), 0 when input
// for this session is over, negative when it could not be read. When the
// input file has ended and standard input is not a terminal, the end of
// standard input ends the session as F3 does. A file that cannot be read
// (outside a batch run) and an exit line end the program.
int read_input(SessionWorkers& workers, uint8_t* buffer);

// One key for the radio: 1 with the byte in `buffer`; 0 when keyboard input
// for this session is over (F3, F4, Esc, a pending restore, the end of the
// input or the session's stop); negative on a read error. F1, F2, F5, F6 and
// other function keys are acted on and reading goes on (the carriage return
// after F1's help never acknowledged ends the program). In a batch run F3 and
// Ctrl+C stop the run, and Esc is passed over.
int read_keyboard_input(SessionWorkers& workers, uint8_t* buffer);

}  // namespace orvex
