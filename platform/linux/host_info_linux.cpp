// The host's version and name from the kernel: no Windows version matches, so
// the system names itself ("Linux 6.1.0-18-amd64").
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/host_info.hpp"

namespace orvex {

namespace {

class LinuxHostInfo final : public HostInfo {
 public:
  bool version(VersionRecord& record) override {
    utsname u{};
    if (uname(&u) != 0) return false;
    record = VersionRecord{};
    record.system_name = std::string(u.sysname) + " " + u.release;
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

HostInfo& system_host_info() {
  static LinuxHostInfo info;
  return info;
}

}  // namespace orvex
