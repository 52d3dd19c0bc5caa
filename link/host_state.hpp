// What the host check learns once at start-up: the host family and the
// computer name carried by connect requests and identify responses.
#pragma once

#include <string>

namespace orvex {

struct HostState {
  int nt_family = 0;
  std::string local_host_name;  // at most 79 characters

  void reset() {
    nt_family = 0;
    local_host_name.clear();
  }
};

HostState& host_state();

}  // namespace orvex
