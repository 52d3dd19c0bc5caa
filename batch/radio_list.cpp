#include "batch/radio_list.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/view.hpp"

namespace orvex {

namespace {

// A line is read in pieces of at most this many characters.
constexpr int LINE_CHARS = 127;

// A list names at most the 599 radios a session table holds, a line each of a
// serial number and a remark (100 characters at most makes 60 KB): 64 KiB
// leaves room for comments and blank lines. Anything longer is no radio list,
// and one without end (-n /dev/zero) would be read for ever.
constexpr long RADIO_LIST_MAX_BYTES = 64 * 1024;

// As fgets, but also counts the bytes taken, NUL bytes included.
bool read_piece(std::FILE* file, char* line, long& taken) {
  int length = 0;
  while (length < LINE_CHARS) {
    const int c = std::getc(file);
    if (c == EOF) break;
    line[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line[length] = '\0';
  taken += length;
  return length > 0;
}

// Cuts the serial number out of a line: leading spaces skipped, up to the next
// space, CR, LF or end. Valid when every character is a digit (an empty run
// counts as 0). Only the low 24 bits of the value are kept.
bool parse_serial(const char* line, uint32_t& serial) {
  const char* p = line;
  while (*p == ' ') ++p;
  int length = 0;
  while (p[length] != '\0' && p[length] != ' ' && p[length] != '\r' && p[length] != '\n') ++length;
  if (length > MAX_SERIAL_TEXT_LENGTH) return false;
  uint64_t value = 0;  // 16 digits fit in 64 bits
  for (int i = 0; i < length; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  serial = static_cast<uint32_t>(value & 0xFFFFFFu);
  return true;
}

MacAddress list_entry(uint32_t serial) {
  return MacAddress{{0xFF, 0xFF, 0xFF, static_cast<uint8_t>(serial >> 16), static_cast<uint8_t>(serial >> 8),
                     static_cast<uint8_t>(serial)}};
}

}  // namespace

Failure load_radio_list(Config& config, View& view, const char* file_name) {
  std::FILE* file = std::fopen(file_name, "r");
  if (file == nullptr) {
    say(view, "Error: Unable to open radio list file [%s]\n\r", file_name);
    say(view, "Please verify the file exist and it is not corrupted.\n\r");
    return Failure::FILE_NOT_READ;
  }
  config.list_filter_active = 1;
  config.radio_list = RadioList{};
  int line_number = 0;
  int stored = 0;
  bool overflow_reported = false;
  char line[LINE_CHARS + 1];
  long taken = 0;
  while (read_piece(file, line, taken)) {
    if (taken > RADIO_LIST_MAX_BYTES) {
      say(view, "----- Error: radio list file %s is longer than %ld bytes.\n", file_name, RADIO_LIST_MAX_BYTES);
      say(view, "      Unable to proceed\n");
      std::fclose(file);
      return Failure::FILE_NOT_READ;
    }
    ++line_number;
    uint32_t serial = 0;
    if (!parse_serial(line, serial)) {
      say(view, "Warning: line # %d of %s file does not contain a valid serial number (%s)\n", line_number, file_name,
          line);
      continue;
    }
    if (stored == RADIO_LIST_ENTRIES) {
      // The table is full: further numbers are dropped, and said so once.
      if (!overflow_reported) {
        say(view,
            "Warning: radio list file %s holds more than %d serial numbers; line # %d and later numbers are "
            "ignored\n",
            file_name, RADIO_LIST_ENTRIES, line_number);
        overflow_reported = true;
      }
      continue;
    }
    config.radio_list[static_cast<size_t>(stored++)] = list_entry(serial);
  }
  if (std::ferror(file) != 0) {
    say(view, "----- Error while reading from radio list file %s at line %d.\n", file_name, line_number);
    say(view, "      Unable to proceed\n");
    std::fclose(file);
    return Failure::FILE_NOT_READ;
  }
  std::fclose(file);
  // Entries after the last stored one are still zero: the first of them ends the list.
  return Failure::NONE;
}

}  // namespace orvex
