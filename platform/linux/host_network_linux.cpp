// Adapter addresses from the kernel's interface data. The adapter status list
// holds the Ethernet interfaces in the packet library's order, so that the
// look-up, which pairs the n-th usable adapter with the n-th entry, gives every
// adapter its own address. Linux keeps no registry of network cards; driver
// queries are answered for the interface of that name.
#include <cerrno>
#include <cstring>

#include "platform/host_network.hpp"
#include "platform/linux/interfaces.hpp"
#include "protocol/byte_order.hpp"

namespace orvex {

namespace {

constexpr uint8_t NETBIOS_OK = 0x00;
constexpr uint8_t NETBIOS_INVALID_LANA = 0x23;
constexpr uint8_t NETBIOS_SYSTEM_ERROR = 0x40;

class LinuxHostNetwork final : public HostNetwork {
 public:
  uint8_t enumerate_lanas(std::vector<uint8_t>& lanas) override {
    const size_t n = linux_net::listed_ethernet_interfaces().size();
    lanas.clear();
    for (size_t i = 0; i < n; ++i) lanas.push_back(static_cast<uint8_t>(i));
    return NETBIOS_OK;
  }

  uint8_t reset_lana(uint8_t lana) override {
    return lana < linux_net::listed_ethernet_interfaces().size() ? NETBIOS_OK : NETBIOS_INVALID_LANA;
  }

  uint8_t adapter_status(uint8_t lana, std::span<uint8_t> status) override {
    const auto names = linux_net::listed_ethernet_interfaces();
    if (lana >= names.size()) return NETBIOS_INVALID_LANA;
    linux_net::InterfaceHardware hw;
    if (!linux_net::interface_hardware(names[lana], hw) || status.size() < hw.address.size()) {
      return NETBIOS_SYSTEM_ERROR;
    }
    std::memcpy(status.data(), hw.address.data(), hw.address.size());
    return NETBIOS_OK;
  }

  long registry_subkey(const std::string&, uint32_t, std::string&) override { return ERROR_NO_MORE_ITEMS_CODE; }

  long registry_string(const std::string&, const std::string&, const std::string&, std::string&) override {
    return ERROR_FILE_NOT_FOUND_CODE;
  }

  long query_device(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                    uint32_t& bytes) override {
    bytes = 0;
    linux_net::InterfaceHardware hw;
    if (!linux_net::interface_hardware(device, hw)) return errno != 0 ? errno : ENODEV;
    const bool ethernet = hw.arp_type == linux_net::ARP_HARDWARE_ETHERNET;
    switch (oid) {
      case OID_MEDIUM_IN_USE:
        if (answer.size() < 4) return EINVAL;
        put_le32(answer.data(), ethernet ? 0u : 0x10000u | hw.arp_type);
        bytes = 4;
        return 0;
      case OID_802_3_CURRENT_ADDRESS:
        if (!ethernet || answer.size() < 6) return EINVAL;
        std::memcpy(answer.data(), hw.address.data(), 6);
        bytes = 6;
        return 0;
      case OID_MEDIA_CONNECT_STATUS: {
        bool carrier = false;
        if (answer.size() < 4 || !linux_net::interface_carrier(device, carrier)) return EINVAL;
        put_le32(answer.data(), carrier ? 0u : 1u);  // 0 connected, 1 disconnected
        bytes = 4;
        return 0;
      }
      default:
        return EINVAL;
    }
  }
};

}  // namespace

HostNetwork& system_host_network() {
  static LinuxHostNetwork network;
  return network;
}

}  // namespace orvex
