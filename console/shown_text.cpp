#include "console/shown_text.hpp"

namespace orvex {

std::string shown_text(std::string_view text, LineBreaks breaks) {
  std::string out(text.substr(0, text.find('\0')));
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    const bool line_break = c == '\t' || c == '\r' || c == '\n';
    if ((byte < 0x20 || byte == 0x7F) && !(line_break && breaks == LineBreaks::kept)) c = '?';
  }
  return out;
}

}  // namespace orvex
