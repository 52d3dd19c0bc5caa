// The host check: which system runs the program, the host's name, and whether
// the host counts as the NT family.
#pragma once

#include <string>

namespace orvex {

constexpr int OS_UNKNOWN = 0;
constexpr int OS_WINDOWS_NT_351 = 101;
constexpr size_t OS_NAME_MAX = 127;
constexpr size_t HOST_NAME_MAX_LENGTH = 79;

// Names the system and gives its code from the version table ("unknown
// Windows version" and 0 when no row matches, or the system's own name when it
// gives one). 1 when the version could be read, else 0.
int detect_os_version(std::string& name, int& code);

// The name a host without a readable computer name goes by.
std::string machine_name_for(int code);

// Prints the local host line, refuses Windows NT 3.51 (exit status -1) and
// fixes nt_family and local_host_name.
void host_check();

// Reads the version again: its major version when it could be read and the
// platform id matches, else 0.
unsigned platform_major_version(unsigned platform_id);
bool is_nt_platform();
bool is_win9x_platform();

}  // namespace orvex
