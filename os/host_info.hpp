// The host's name and system, as the host check shows them.
#pragma once

#include <memory>
#include <string>

namespace orvex {

class HostInfo {
 public:
  virtual ~HostInfo() = default;
  // The system's name and release ("Linux 6.1.0"); false when unreadable.
  virtual bool system_name(std::string& name) = 0;
  // False when the host name cannot be read.
  virtual bool computer_name(std::string& name) = 0;
};

// The host's own, from gethostname and uname; main makes it and hands it on.
std::unique_ptr<HostInfo> make_host_info();

}  // namespace orvex
