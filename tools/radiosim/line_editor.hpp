// The radio's command-line editor: turns typed bytes into an echo and complete
// lines, the way a terminal on the radio would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex::sim {

constexpr size_t MAX_COMMAND_LINE = 256;

struct LineEditor {
  std::string line;
  bool after_cr = false;  // a line feed right after a carriage return ends nothing
};

enum class EditEvent {
  none,
  line,    // `completed` holds the finished line (possibly empty)
  cancel,  // Ctrl+C: the line was thrown away
};

// Feeds one byte: appends what the radio echoes to `echo` and reports whether a
// line was finished. Line ends are CR, LF or CR LF; zero bytes (the terminator
// that batch commands carry, or the Insert key) are ignored; backspace and
// delete erase; other control bytes are ignored. A line stops growing at
// MAX_COMMAND_LINE characters.
EditEvent edit_byte(LineEditor& editor, uint8_t byte, std::string& echo, std::string& completed);

// How many non-empty lines the bytes would finish, without changing `editor`.
int count_completed_lines(const LineEditor& editor, const uint8_t* bytes, size_t size);

}  // namespace orvex::sim
