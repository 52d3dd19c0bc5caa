#include "link/host_check.hpp"

#include <cstdio>
#include <string>

#include "base/host_state.hpp"
#include "os/host_info.hpp"

namespace orvex {

void host_check() {
  HostState& host = host_state();
  std::string system;
  if (!host_info().system_name(system) || system.empty()) system = "Linux";
  std::string name;
  host.local_host_name = host_info().computer_name(name) && !name.empty() ? name.substr(0, HOST_NAME_MAX_LENGTH)
                                                                           : UNNAMED_HOST;
  std::printf(" Local host is %s, running under %s\n", host.local_host_name.c_str(), system.c_str());
}

}  // namespace orvex
