#include "console/cp437.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace orvex {

namespace {

constexpr std::array<char16_t, 128> HIGH_HALF = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

bool names_utf8(const char* value) {
  if (value == nullptr) return false;
  std::string text(value);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find("utf-8") != std::string::npos || text.find("utf8") != std::string::npos;
}

}  // namespace

// The first of LC_ALL, LC_CTYPE, LANG that is set and not empty decides.
bool locale_is_utf8() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return names_utf8(value);
  }
  return false;
}

char32_t cp437_character(uint8_t byte) {
  return byte < 128 ? char32_t{byte} : char32_t{HIGH_HALF[byte - 128u]};
}

size_t cp437_to_utf8(uint8_t byte, char* out) {
  const char32_t c = cp437_character(byte);
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  out[0] = static_cast<char>(0xE0 | (c >> 12));
  out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[2] = static_cast<char>(0x80 | (c & 0x3F));
  return 3;
}

void append_console_byte(const ConsoleKind& console, std::string& out, uint8_t byte) {
  if (byte < 128 || !console.utf8) {
    out += static_cast<char>(byte);
    return;
  }
  char utf8[4];
  out.append(utf8, cp437_to_utf8(byte, utf8));
}

void console_write_now(const std::string& bytes) {
  std::fflush(stdout);
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed terminal: the radio's output has nowhere to go
    at += static_cast<size_t>(n);
  }
}

void console_write(const ConsoleKind& console, const char* text, size_t length) {
  if (!console.utf8) {
    std::fwrite(text, 1, length, stdout);
    return;
  }
  // One write per text keeps a message whole among other threads' output.
  std::string out;
  out.reserve(length + 16);
  char buf[4];
  for (size_t i = 0; i < length; ++i) out.append(buf, cp437_to_utf8(static_cast<uint8_t>(text[i]), buf));
  std::fwrite(out.data(), 1, out.size(), stdout);
}

void console_printf(const ConsoleKind& console, const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    console_write(console, small, static_cast<size_t>(n));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  console_write(console, big.data(), static_cast<size_t>(n));
}

}  // namespace orvex
