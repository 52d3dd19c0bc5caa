#include "tools/scan/scan_output.hpp"

#include "console/json_text.hpp"

namespace orvex::scan {

const char* const CSV_HEADER = "node,name,mac,serial,firmware,level,vlan\n";

namespace {

// A field with a comma, quote or line end is quoted, its quotes doubled.
std::string csv_field(const std::string& text) {
  const std::string utf8 = utf8_from_cp437(text);
  if (utf8.find_first_of(",\"\r\n") == std::string::npos) return utf8;
  std::string out = "\"";
  for (const char c : utf8) {
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
