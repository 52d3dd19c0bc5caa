#include "batch/command_list.hpp"

#include <cstdio>

#include "batch/script_lines.hpp"
#include "engine/engine.hpp"

namespace orvex {

std::vector<std::string> read_command_list(Engine& e, const char* file_name) {
  std::vector<std::string> lines;
  LineReader reader;
  uint8_t buffer[INPUT_LINE_BUFFER_SIZE];
  for (;;) {
    int length = read_line(e, reader, file_name, buffer, true);
    if (length <= 0) break;
    if (static_cast<int>(lines.size()) == MAX_COMMAND_LINES) {
      std::printf("Warning: command file %s holds more than %d lines; line # %d and later lines are ignored\n",
                  file_name, MAX_COMMAND_LINES, reader.line_number);
      break;
    }
    lines.emplace_back(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
  }
  return lines;
}

}  // namespace orvex
