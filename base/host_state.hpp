// What the host check learns once at start-up: the computer name carried by
// connect requests and identify responses, and the host family flag, which on
// this system is never set (it hides the console-buffer key F6).
#pragma once

#include <string>

namespace orvex {

struct HostState {
  int nt_family = 0;
  std::string local_host_name;  // at most 79 characters

  void reset() { *this = HostState{}; }
};

HostState& host_state();

}  // namespace orvex
