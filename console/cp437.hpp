// Console text: the program's 8-bit text is code page 437. On a terminal whose
// locale is UTF-8 the bytes 128..255 are shown as their UTF-8 characters;
// otherwise (and for bytes below 128) the bytes go out unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/config.hpp"

namespace orvex {

// The Unicode character of a code page 437 byte of 128..255.
char32_t cp437_character(uint8_t byte);

// Writes the UTF-8 form of a code page 437 byte into `out` (4 bytes or more);
// returns the number of bytes written. Bytes below 128 are copied.
size_t cp437_to_utf8(uint8_t byte, char* out);

// Whether the locale settings in the environment (the first of LC_ALL,
// LC_CTYPE, LANG that is set) name UTF-8: console output is then translated.
bool locale_is_utf8();

// Appends the console form of one byte of 8-bit text to `out`.
void append_console_byte(const ConsoleKind& console, std::string& out, uint8_t byte);
// Writes bytes already in console form to standard output at once: what
// standard output holds goes first, then these in one write.
void console_write_now(const std::string& bytes);
// Writes text of 8-bit bytes to standard output (buffered, not flushed).
void console_write(const ConsoleKind& console, const char* text, size_t length);
// Formats like printf and writes the result through console_write.
void console_printf(const ConsoleKind& console, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace orvex
