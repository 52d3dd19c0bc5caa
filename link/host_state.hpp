// What the host check learns once at start-up: the host family and the
// computer name carried by connect requests and identify responses, and the
// cached platform tests of the address look-up.
#pragma once

#include <string>

#include "platform/host_info.hpp"

namespace orvex {

struct HostState {
  int nt_family = 0;
  std::string local_host_name;  // at most 79 characters

  int os_code = 0;
  std::string os_name;
  // The version as last read by platform_major_version.
  VersionRecord version;
  // Cached answers of is_nt_platform and is_win9x_platform.
  bool nt_platform_known = false;
  bool nt_platform = false;
  bool win9x_platform_known = false;
  bool win9x_platform = false;

  void reset() { *this = HostState{}; }
};

HostState& host_state();

}  // namespace orvex
