#include "link/host_check.hpp"

#include <cstdio>

#include "app/terminate.hpp"
#include "link/host_state.hpp"
#include "platform/host_info.hpp"

namespace orvex {

namespace {

struct OsRow {
  const char* name;
  int code;
};

// The rows are tried from the top; the build is the low 16 bits.
OsRow classify(const VersionRecord& v) {
  const uint32_t build = v.build & 0xFFFFu;
  if (v.platform_id == PLATFORM_WIN9X && v.major == 4) {
    if (v.minor < 10) {
      if (build == 950) return {"Windows 95", 1};
      if (build >= 951 && build <= 1080) return {"Windows 95 SP1", 2};
      if (build > 1080) return {"Windows 95 OSR2", 3};
    } else if (v.minor == 10) {
      if (build == 1998) return {"Windows 98", 4};
      if (build >= 1999 && build <= 2182) return {"Windows 98 SP1", 5};
      if (build >= 2183) return {"Windows 98 SE", 6};
    } else if (v.minor == 90) {
      return {"Windows ME", 7};
    }
  }
  if (v.platform_id == PLATFORM_NT) {
    if (v.major == 3 && v.minor == 51) return {"Windows NT 3.51", 101};
    if (v.major == 4 && v.minor == 0) return {"Windows NT 4", 102};
    if (v.major == 5 && v.minor == 0) return {"Windows 2000", 103};
    if (v.major == 5 && v.minor == 1) return {"Windows XP", 104};
  }
  if (v.platform_id == PLATFORM_CE) return {"Windows CE", 201};
  return {"unknown Windows version", OS_UNKNOWN};
}

}  // namespace

int detect_os_version(std::string& name, int& code) {
  name = "unknown Windows version";
  code = OS_UNKNOWN;
  VersionRecord v;
  if (!host_info().version(v)) return 0;
  const OsRow row = classify(v);
  name = row.name;
  code = row.code;
  // A system that the table does not know goes by the name it gives itself.
  if (code == OS_UNKNOWN && !v.system_name.empty()) name = v.system_name.substr(0, OS_NAME_MAX);
  return 1;
}

std::string machine_name_for(int code) {
  if (code >= 1 && code <= 3) return "Win95Machine";
  if (code >= 4 && code <= 6) return "Win98Machine";
  if (code == 7) return "MEMachine";
  if (code == 102) return "WinNTMachine";
  if (code == 103) return "Win2000Machine";
  if (code == 104) return "WinXPMachine";
  char text[32];
  std::snprintf(text, sizeof text, "WinOS_%d_???", code);
  return text;
}

void host_check() {
  HostState& host = host_state();
  if (detect_os_version(host.os_name, host.os_code) == 0) {
    std::printf("\aUnable to detect Operation System version. ");
    std::printf("Assuming Win9X environment.\n");
  }
  std::string name;
  if (host_info().computer_name(name) && !name.empty()) {
    host.local_host_name = name.substr(0, HOST_NAME_MAX_LENGTH);
  } else {
    host.local_host_name = machine_name_for(host.os_code);
    if (host.os_code >= 102 && host.os_code <= 104) host.nt_family = 1;
  }
  std::printf(" Local host is %s, running under %s\n", host.local_host_name.c_str(), host.os_name.c_str());
  if (host.os_code == OS_WINDOWS_NT_351) {
    std::printf("\aAn older WinNT version has been detected.\n");
    std::printf("You need WinNT v4.0 or newer to run this program\n");
    exit_now(255);
  }
  if (host.os_code > 100) host.nt_family = 1;
}

unsigned platform_major_version(unsigned platform_id) {
  HostState& host = host_state();
  host.version = VersionRecord{};
  if (!host_info().version(host.version)) return 0;
  return host.version.platform_id == platform_id ? host.version.major : 0;
}

bool is_nt_platform() {
  HostState& host = host_state();
  if (!host.nt_platform_known) {
    host.nt_platform = platform_major_version(PLATFORM_NT) != 0;
    host.nt_platform_known = true;
  }
  return host.nt_platform;
}

bool is_win9x_platform() {
  HostState& host = host_state();
  if (!host.win9x_platform_known) {
    host.win9x_platform = platform_major_version(PLATFORM_WIN9X) != 0;
    host.win9x_platform_known = true;
  }
  return host.win9x_platform;
}

}  // namespace orvex
