// The kernel's view of the network interfaces: which of the names libpcap
// lists are real interfaces, and each one's hardware type, address and flags
// (asked through sockets, so that they answer for the caller's network
// namespace).
#pragma once

#include <string>
#include <vector>

#include "os/packet_capture.hpp"

namespace orvex::linux_net {

// libpcap's capture sources that are no network interface (the "any" device,
// netfilter logs and queues, USB, D-Bus and Bluetooth monitors).
bool is_pseudo_device(const std::string& name);

// Fills what the kernel tells of the named interface; false when it does not
// know it (errno tells why).
bool describe_interface(const std::string& name, InterfaceInfo& info);

// The interfaces in libpcap's order without the pseudo-devices, at most
// LISTED_INTERFACES_MAX, each described. False when libpcap cannot list them.
bool list_interfaces(std::vector<InterfaceInfo>& interfaces);

}  // namespace orvex::linux_net
