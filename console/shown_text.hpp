// Text another station sent (a radio's name or firmware, a requested file name,
// an error description) as the console shows it.
#pragma once

#include <string>
#include <string_view>

#include "base/config.hpp"

namespace orvex {

enum class LineBreaks { replaced, kept };

// `text` up to its first NUL, every control byte (below 0x20, and 0x7F) as '?':
// an escape sequence in it must not drive the terminal. A replaced byte keeps
// its column. Bytes above 0x7F stay; console output shows them through the
// code page 437 translation, or, on a terminal without it, as they are, but
// for 0x80..0x9F, which such a terminal may take as control codes: '?'. `kept` leaves tab, CR and LF, for texts that may
// span lines.
std::string shown_text(std::string_view text, const ConsoleKind& console,
                       LineBreaks breaks = LineBreaks::replaced);

}  // namespace orvex
