// The host's version and computer name, as the host check reads them.
#pragma once

#include <cstdint>
#include <string>

namespace orvex {

// Platform ids of the version record.
constexpr uint32_t PLATFORM_WIN9X = 1;
constexpr uint32_t PLATFORM_NT = 2;
constexpr uint32_t PLATFORM_CE = 3;

struct VersionRecord {
  uint32_t platform_id = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  // The system's own name when the host names it itself (e.g. "Linux 6.1.0");
  // empty on a host whose name comes from the version table alone.
  std::string system_name;
};

class HostInfo {
 public:
  virtual ~HostInfo() = default;
  // False when the version cannot be read.
  virtual bool version(VersionRecord& record) = 0;
  // False when the computer name cannot be read.
  virtual bool computer_name(std::string& name) = 0;
};

HostInfo& host_info();
void set_host_info(HostInfo* info);  // null: the host's own

HostInfo& system_host_info();

}  // namespace orvex
