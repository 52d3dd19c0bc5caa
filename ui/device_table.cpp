#include "ui/device_table.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/address_text.hpp"
#include "console/cp437.hpp"
#include "console/shown_text.hpp"
#include "base/config.hpp"
#include "engine/session_table.hpp"

namespace orvex {

namespace {

// Box-drawing bytes of code page 437; the console layer shows them as such.
constexpr int BOX_TOP_LEFT = 0xDA;
constexpr int BOX_HORIZONTAL = 0xC4;
constexpr int BOX_DOWN_JOINT = 0xC2;
constexpr int BOX_VERTICAL = 0xB3;
constexpr int ROW_SEPARATOR = 0xFE;
constexpr size_t BORDER_LENGTH = 75;
constexpr size_t BORDER_JOINTS[] = {7, 27, 47, 55};
constexpr size_t MAX_ANSWER_LENGTH = 50;

enum class Match { found, ask, invalid };

struct Choice {
  Match match;
  int index;
};

// The text's leading decimal number, as the C library reads one (optional white
// space and sign); nothing when it has no digits.
bool leading_number(const std::string& text, long& number) {
  const char* start = text.c_str();
  char* end = nullptr;
  number = std::strtol(start, &end, 10);
  return end != start;
}

// Name first, then MAC address, then serial number and node number. A MAC
// address that no radio has makes a preselection ask, and a typed answer fail.
Choice match_radio(const SessionTable& table, int found, const std::string& text, bool typed) {
  for (int i = 1; i <= found && i < MAX_USER_SESSIONS; ++i) {
    if (text == table[i].name_text()) return {Match::found, i};
  }
  MacAddress mac;
  if (parse_mac_text(text, mac)) {
    for (int i = 1; i <= found && i < MAX_USER_SESSIONS; ++i) {
      if (table[i].mac == mac) return {Match::found, i};
    }
    return {typed ? Match::invalid : Match::ask, 0};
  }
  // A word without digits is no number: it must not pick the radio whose
  // serial number happens to be 0.
  long number = 0;
  if (leading_number(text, number)) {
    for (int i = 1; i <= found && i < MAX_USER_SESSIONS; ++i) {
      if (number >= 0 && static_cast<unsigned long>(number) == serial_number(table[i].mac)) {
        return {Match::found, i};
      }
    }
    if (number >= 1 && number <= found) return {Match::found, static_cast<int>(number)};
  }
  return {typed ? Match::invalid : Match::ask, 0};
}

// One word of at most 50 characters; false when the input ends before one.
bool read_word(std::FILE* input, std::string& word) {
  word.clear();
  int c = std::fgetc(input);
  while (c != EOF && std::isspace(c)) c = std::fgetc(input);
  while (c != EOF && !std::isspace(c) && word.size() < MAX_ANSWER_LENGTH) {
    word.push_back(static_cast<char>(c));
    if (word.size() < MAX_ANSWER_LENGTH) c = std::fgetc(input);
  }
  while (!word.empty() && static_cast<unsigned char>(word.back()) <= 32) word.pop_back();
  return !word.empty();
}

}  // namespace

void print_device_table_header(const ConsoleKind& console) {
  char border[BORDER_LENGTH + 1];
  std::memset(border, BOX_HORIZONTAL, BORDER_LENGTH);
  border[BORDER_LENGTH] = '\0';
  border[0] = static_cast<char>(BOX_TOP_LEFT);
  for (size_t at : BORDER_JOINTS) border[at] = static_cast<char>(BOX_DOWN_JOINT);
  console_printf(console, "\r%s\n", border);
  console_printf(console, "%c Node %c %-17s %c MAC Address       %c S/N   %c %s\n", BOX_VERTICAL, BOX_VERTICAL,
                 "Name", BOX_VERTICAL, BOX_VERTICAL, BOX_VERTICAL, "Firmware");
}

void print_device_row(const ConsoleKind& console, const Session& s, int index) {
  if (!SessionTable::valid_index(index)) return;
  // The name and firmware are the radio's own 8-bit text (the firmware field need not be terminated): any
  // station can send them, so their control bytes are shown, not obeyed, each in its own column.
  const std::string name = shown_text(s.name_text(), console);
  const std::string firmware = shown_text(std::string_view(s.firmware.data(), s.firmware.size()), console);
  console_printf(console, "%c %03d  %c %-17s %c %s %c %s %c %-16.16s\n", ROW_SEPARATOR, index, ROW_SEPARATOR,
                 name.c_str(), ROW_SEPARATOR, format_mac_text(s.mac).c_str(), ROW_SEPARATOR,
                 format_serial_text(s.mac).c_str(), ROW_SEPARATOR, firmware.c_str());
}

void print_device_table(const ConsoleKind& console, const SessionTable& table) {
  print_device_table_header(console);
  for (int i = 0; i < MAX_USER_SESSIONS; ++i) {
    if (table[i].state != SESSION_EMPTY) print_device_row(console, table[i], i);
  }
}


DeviceChoice choose_device(const SessionTable& table, int found, const Config& options, std::FILE* input) {
  if (found == 1) return {1};
  std::printf("\r\n");
  std::printf("Discovery phase completed (%d devices were found total).\n", found);

  if (options.chosen_radio_given) {
    const Choice pre = match_radio(table, found, options.chosen_radio_text, false);
    if (pre.match == Match::found) return {pre.index};
  }

  std::printf("Please type the device ID>");
  std::fflush(stdout);
  std::string word;
  if (read_word(input, word)) {
    const Choice typed = match_radio(table, found, word, true);
    if (typed.match == Match::found) return {typed.index};
  }
  std::printf("Error: invalid input value, or value out of valid range [1-%d].\n", found);
  return {.index = 0, .failure = Failure::INVALID_CHOICE};
}

}  // namespace orvex
