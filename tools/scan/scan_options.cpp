#include "tools/scan/scan_options.hpp"

#include <cstring>

namespace orvex::scan {

const char* const USAGE = "usage: orvex-scan [-i IFACE] [-t MS] [-v VLAN] [-n LISTFILE] [--json] [--help] [--version]\n";

namespace {

// Digits only, within [low, high].
bool whole_number(const char* text, uint32_t low, uint32_t high, uint32_t& out) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 7) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

std::string parse_scan_options(int argc, char** argv, ScanOptions& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--json") {
      out.json = true;
      continue;
    }
    if (option == "-h" || option == "--help") {
      out.help = true;
      continue;
    }
    if (option == "--version") {
      out.version = true;
      continue;
    }
    if (option != "-i" && option != "-t" && option != "-v" && option != "-n") {
      return "unknown option " + option;
    }
    if (i == argc - 1) return option + " needs a value";
    const char* value = argv[++i];
    uint32_t number = 0;
    if (option == "-i") {
      out.interface = value;
    } else if (option == "-n") {
      out.radio_list = value;
    } else if (option == "-t") {
      if (!whole_number(value, 1, MAX_LISTEN_MS, number)) return "-t takes milliseconds, 1 to 3600000";
      out.listen_ms = number;
    } else {
      if (!whole_number(value, 1, 4094, number)) return "-v takes a VLAN id, 1 to 4094";
      out.vlan_id = static_cast<int>(number);
    }
  }
  return {};
}

}  // namespace orvex::scan
