#include "tools/radiosim/line_editor.hpp"

namespace orvex::sim {

EditEvent edit_byte(LineEditor& editor, uint8_t byte, std::string& echo, std::string& completed) {
  const bool after_cr = editor.after_cr;
  if (byte == 0) return EditEvent::none;
  editor.after_cr = false;
  switch (byte) {
    case '\n':
      if (after_cr) return EditEvent::none;
      [[fallthrough]];
    case '\r':
      editor.after_cr = byte == '\r';
      echo += "\r\n";
      completed = std::move(editor.line);
      editor.line.clear();
      return EditEvent::line;
    case 8:
    case 127:
      if (!editor.line.empty()) {
        editor.line.pop_back();
        echo += "\b \b";
      }
      return EditEvent::none;
    case 3:
      echo += "^C\r\n";
      editor.line.clear();
      return EditEvent::cancel;
    default:
      break;
  }
  if (byte < 32 || editor.line.size() >= MAX_COMMAND_LINE) return EditEvent::none;
  editor.line += static_cast<char>(byte);
  echo += static_cast<char>(byte);
  return EditEvent::none;
}

int count_completed_lines(const LineEditor& editor, const uint8_t* bytes, size_t size) {
  LineEditor copy = editor;
  std::string echo;
  std::string completed;
  int count = 0;
  for (size_t i = 0; i < size; ++i) {
    if (edit_byte(copy, bytes[i], echo, completed) == EditEvent::line &&
        completed.find_first_not_of(' ') != std::string::npos) {
      ++count;
    }
  }
  return count;
}

}  // namespace orvex::sim
