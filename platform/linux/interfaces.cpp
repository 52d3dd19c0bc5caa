#include "platform/linux/interfaces.hpp"

#include <net/if.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

namespace orvex::linux_net {

namespace {

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// One interface request on a throw-away socket of the caller's namespace.
bool interface_ioctl(const std::string& name, unsigned long request, ifreq& ifr) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    errno = ENODEV;
    return false;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  std::memset(&ifr, 0, sizeof ifr);
  std::memcpy(ifr.ifr_name, name.c_str(), name.size());
  const int rc = ioctl(fd, request, &ifr);
  const int saved = errno;
  close(fd);
  errno = saved;
  return rc == 0;
}

}  // namespace

bool is_pseudo_device(const std::string& name) {
  return name == "any" || starts_with(name, "nflog") || starts_with(name, "nfqueue") ||
         starts_with(name, "usbmon") || starts_with(name, "dbus") || starts_with(name, "bluetooth");
}

bool listed_interfaces(std::vector<std::string>& names) {
  names.clear();
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) {
    if (errno == 0) errno = EIO;
    return false;
  }
  for (pcap_if_t* d = all; d != nullptr && names.size() < LISTED_INTERFACES_MAX; d = d->next) {
    if (d->name != nullptr && !is_pseudo_device(d->name)) names.emplace_back(d->name);
  }
  pcap_freealldevs(all);
  return true;
}

bool interface_hardware(const std::string& name, InterfaceHardware& hardware) {
  ifreq ifr;
  if (!interface_ioctl(name, SIOCGIFHWADDR, ifr)) return false;
  hardware.arp_type = static_cast<uint16_t>(ifr.ifr_hwaddr.sa_family);
  std::memcpy(hardware.address.data(), ifr.ifr_hwaddr.sa_data, hardware.address.size());
  return true;
}

bool interface_carrier(const std::string& name, bool& carrier) {
  ifreq ifr;
  if (!interface_ioctl(name, SIOCGIFFLAGS, ifr)) return false;
  carrier = (ifr.ifr_flags & IFF_RUNNING) != 0;
  return true;
}

uint32_t interface_speed_mbps(const std::string& name) {
  if (name.find('/') != std::string::npos || name == "." || name == "..") return 0;
  std::ifstream in("/sys/class/net/" + name + "/speed");
  long speed = 0;
  if (!(in >> speed) || speed <= 0) return 0;
  return static_cast<uint32_t>(speed);
}

std::vector<std::string> listed_ethernet_interfaces() {
  std::vector<std::string> names;
  std::vector<std::string> ethernet;
  if (!listed_interfaces(names)) return ethernet;
  for (const std::string& n : names) {
    InterfaceHardware hw;
    if (interface_hardware(n, hw) && hw.arp_type == ARP_HARDWARE_ETHERNET) ethernet.push_back(n);
  }
  return ethernet;
}

}  // namespace orvex::linux_net
