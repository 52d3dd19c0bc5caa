#include "console/shown_text.hpp"


namespace orvex {

std::string shown_text(std::string_view text, const ConsoleKind& console, LineBreaks breaks) {
  std::string out(text.substr(0, text.find('\0')));
  // Without the UTF-8 translation bytes above 0x7F go out as they are, and
  // 0x80..0x9F are control codes to a terminal that takes 8-bit ones.
  const bool raw_high = !console.utf8;
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    const bool line_break = c == '\t' || c == '\r' || c == '\n';
    const bool control = byte < 0x20 || byte == 0x7F || (raw_high && byte >= 0x80 && byte <= 0x9F);
    if (control && !(line_break && breaks == LineBreaks::kept)) c = '?';
  }
  return out;
}

}  // namespace orvex
