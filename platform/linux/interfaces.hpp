// The kernel's view of the network interfaces that the Linux layers share:
// which names libpcap lists that are real interfaces, and each interface's
// hardware type, address and carrier (asked through sockets, so that they
// answer for the network namespace the caller runs in).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orvex::linux_net {

// The adapter list holds no more names than the adapter table.
constexpr size_t LISTED_INTERFACES_MAX = 15;
constexpr uint16_t ARP_HARDWARE_ETHERNET = 1;

// libpcap's capture sources that are no network interface (the "any" device,
// netfilter logs and queues, USB, D-Bus and Bluetooth monitors).
bool is_pseudo_device(const std::string& name);

// The interfaces in libpcap's order without the pseudo-devices, at most
// LISTED_INTERFACES_MAX. False when libpcap cannot list them.
bool listed_interfaces(std::vector<std::string>& names);

struct InterfaceHardware {
  uint16_t arp_type = 0;
  std::array<uint8_t, 6> address{};
};

// The ARP hardware type and the current address; false when the interface is
// unknown (errno tells why).
bool interface_hardware(const std::string& name, InterfaceHardware& hardware);

// True when the interface's link is up (lower layer up).
bool interface_carrier(const std::string& name, bool& carrier);

// The link speed in Mbit/s when the kernel reports one, else 0.
uint32_t interface_speed_mbps(const std::string& name);

// The listed interfaces whose hardware type is Ethernet, in list order.
std::vector<std::string> listed_ethernet_interfaces();

}  // namespace orvex::linux_net
