#include "link/host_check.hpp"

#include <string>

#include "base/config.hpp"
#include "base/view.hpp"
#include "os/host_info.hpp"

namespace orvex {

void host_check(HostInfo& host, Config& config, View& view) {
  std::string system;
  if (!host.system_name(system) || system.empty()) system = "Linux";
  std::string name;
  config.local_host_name = host.computer_name(name) && !name.empty() ? name.substr(0, HOST_NAME_MAX_LENGTH)
                                                                     : UNNAMED_HOST;
  say(view, " Local host is %s, running under %s\n", config.local_host_name.c_str(), system.c_str());
}

}  // namespace orvex
