// The scan's lines on standard output: CSV with a header line, or JSON lines.
#pragma once

#include <string>

namespace orvex::scan {

struct ScannedRadio {
  int node = 0;          // its place in the table, as orvexterm numbers it
  std::string name;      // the radio's own 8-bit text (code page 437)
  std::string mac;       // "02:7A:41:00:2C:11"
  std::string serial;    // decimal
  std::string firmware;  // 8-bit text
  int level = 0;         // protocol level
  int vlan = -1;         // the VLAN id its answer carried; -1 untagged
};

extern const char* const CSV_HEADER;
std::string csv_line(const ScannedRadio& radio);
std::string json_line(const ScannedRadio& radio);

}  // namespace orvex::scan
