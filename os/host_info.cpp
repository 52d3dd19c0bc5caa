#include "os/host_info.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

namespace orvex {

namespace {

class LinuxHostInfo final : public HostInfo {
 public:
  bool system_name(std::string& name) override {
    utsname u{};
    if (uname(&u) != 0) return false;
    name = std::string(u.sysname) + " " + u.release;
    return true;
  }

  bool computer_name(std::string& name) override {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return false;
    name = buffer;
    return true;
  }
};

}  // namespace

std::unique_ptr<HostInfo> make_host_info() { return std::make_unique<LinuxHostInfo>(); }

}  // namespace orvex
