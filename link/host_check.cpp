#include "link/host_check.hpp"

#include <cstdio>
#include <string>

#include "base/config.hpp"
#include "os/host_info.hpp"

namespace orvex {

void host_check(Config& config) {
  std::string system;
  if (!host_info().system_name(system) || system.empty()) system = "Linux";
  std::string name;
  config.local_host_name = host_info().computer_name(name) && !name.empty() ? name.substr(0, HOST_NAME_MAX_LENGTH)
                                                                           : UNNAMED_HOST;
  std::printf(" Local host is %s, running under %s\n", config.local_host_name.c_str(), system.c_str());
}

}  // namespace orvex
