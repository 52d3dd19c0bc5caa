#include "os/interfaces.hpp"

#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool describe_interface(const std::string& name, InterfaceInfo& info) {
  info = InterfaceInfo{};
  info.name = name;
  ifreq ifr;
  if (!interface_ioctl(name, SIOCGIFFLAGS, ifr)) return false;
  info.up = (ifr.ifr_flags & IFF_UP) != 0;
  info.loopback = (ifr.ifr_flags & IFF_LOOPBACK) != 0;
  info.carrier = (ifr.ifr_flags & IFF_RUNNING) != 0;
  if (interface_ioctl(name, SIOCGIFHWADDR, ifr)) {
    info.ethernet = ifr.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    info.address = MacAddress::from(reinterpret_cast<const uint8_t*>(ifr.ifr_hwaddr.sa_data));
    info.address_known = !info.address.is_zero();
  }
  return true;
}

bool list_interfaces(std::vector<InterfaceInfo>& interfaces) {
  interfaces.clear();
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* all = nullptr;
  if (pcap_findalldevs(&all, errbuf) != 0) {
    if (errno == 0) errno = EIO;
    return false;
  }
  for (pcap_if_t* d = all; d != nullptr && interfaces.size() < LISTED_INTERFACES_MAX; d = d->next) {
    if (d->name == nullptr || is_pseudo_device(d->name)) continue;
    InterfaceInfo info;
    // An interface that vanished since libpcap listed it is listed bare.
    describe_interface(d->name, info);
    info.name = d->name;
    interfaces.push_back(info);
  }
  pcap_freealldevs(all);
  return true;
}

}  // namespace orvex::linux_net
