#include "base/config.hpp"

namespace orvex {

bool radio_list_contains(const RadioList& list, const MacAddress& mac) {
  for (const MacAddress& entry : list) {
    // The comparison comes first, so serial number 0 matches the end entry.
    if (entry.bytes[3] == mac.bytes[3] && entry.bytes[4] == mac.bytes[4] && entry.bytes[5] == mac.bytes[5]) {
      return true;
    }
    if (entry.is_zero()) return false;
  }
  return false;
}

}  // namespace orvex
