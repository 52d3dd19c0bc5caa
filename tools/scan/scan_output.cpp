#include "tools/scan/scan_output.hpp"

#include <cstdio>

#include "console/json_text.hpp"

namespace orvex::scan {

const char* const CSV_HEADER = "node,name,mac,serial,firmware,level,vlan\n";

namespace {

// A control byte (below 0x20, and 0x7F) is written as \xHH, so that no line of
// the scan drives a terminal, and so is a backslash, so that the text decodes
// back unchanged. A field with a comma or quote is quoted, its quotes doubled.
std::string csv_field(const std::string& text) {
  std::string escaped;
  for (const char c : utf8_from_cp437(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      escaped += hex;
    } else {
      escaped += c;
    }
  }
  if (escaped.find_first_of(",\"") == std::string::npos) return escaped;
  std::string out = "\"";
  for (const char c : escaped) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string csv_line(const ScannedRadio& radio) {
  return std::to_string(radio.node) + "," + csv_field(radio.name) + "," + radio.mac + "," + radio.serial + "," +
         csv_field(radio.firmware) + "," + std::to_string(radio.level) + "," +
         (radio.vlan < 0 ? "" : std::to_string(radio.vlan)) + "\n";
}

std::string json_line(const ScannedRadio& radio) {
  return "{\"node\":" + std::to_string(radio.node) + ",\"name\":" + json_string(radio.name) +
         ",\"mac\":" + json_string(radio.mac) + ",\"serial\":" + json_string(radio.serial) +
         ",\"firmware\":" + json_string(radio.firmware) + ",\"level\":" + std::to_string(radio.level) +
         ",\"vlan\":" + (radio.vlan < 0 ? "null" : std::to_string(radio.vlan)) + "}\n";
}

}  // namespace orvex::scan
