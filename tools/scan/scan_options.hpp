// The scan's command line.
#pragma once

#include <cstdint>
#include <string>

namespace orvex::scan {

constexpr uint32_t DEFAULT_LISTEN_MS = 4000;  // as long as the program's own discovery
constexpr uint32_t MAX_LISTEN_MS = 3600000;

struct ScanOptions {
  std::string interface;  // empty: the one usable Ethernet interface
  uint32_t listen_ms = DEFAULT_LISTEN_MS;
  int vlan_id = 0;         // 0: untagged
  std::string radio_list;  // a radio list file, as orvexterm -n reads it
  bool json = false;
  bool help = false;
  bool version = false;
};

extern const char* const USAGE;

// Reads argv into `out`: an empty text, or the one-line reason it is refused.
std::string parse_scan_options(int argc, char** argv, ScanOptions& out);

}  // namespace orvex::scan
