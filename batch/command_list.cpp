#include "batch/command_list.hpp"

#include "base/view.hpp"
#include "batch/script_lines.hpp"

namespace orvex {

CommandList read_command_list(const ScriptContext& c, const char* file_name) {
  CommandList list;
  LineReader reader;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  for (;;) {
    const LineRead read = read_line(c, reader, file_name, buffer, true);
    if (read.failure != Failure::NONE) return {.lines = {}, .failure = read.failure};
    if (read.length <= 0) break;
    if (static_cast<int>(list.lines.size()) == MAX_COMMAND_LINES) {
      say(c.view, "Warning: command file %s holds more than %d lines; line # %d and later lines are ignored\n",
          file_name, MAX_COMMAND_LINES, reader.line_number);
      break;
    }
    list.lines.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(read.length));
  }
  return list;
}

}  // namespace orvex
