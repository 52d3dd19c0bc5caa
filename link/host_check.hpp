// The host check: the host's name and system, shown once at start-up.
#pragma once

#include <cstddef>

#include "base/config.hpp"
#include "base/view.hpp"
#include "os/host_info.hpp"

namespace orvex {

constexpr size_t HOST_NAME_MAX_LENGTH = 79;
// The name of a host whose computer name cannot be read.
constexpr const char* UNNAMED_HOST = "WinOS_0_???";

// Shows the local host line and fixes local_host_name, from what `host` tells.
void host_check(HostInfo& host, Config& config, View& view);

}  // namespace orvex
