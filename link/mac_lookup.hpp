// Learning each adapter's own address: through the registry's network cards
// and the adapter's driver (NT family), or through the adapter status list with
// a vendor check afterwards (Win9x family).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "cmdline/mac_address.hpp"

namespace orvex {

constexpr size_t NETCARD_TEXT_MAX = 259;

struct NetcardInfo {
  std::string description = "Unknown";
  std::string title = "Unknown";
  std::string service_name = "Unknown";
};

// The state of one look-up; it holds only between the steps of one look-up.
struct MacLookupState {
  MacAddress scratch;
  long mac_lookup_error = 0;
  uint32_t scan_position = 0;
};

MacLookupState& mac_lookup_state();

int get_NetBIOS_MACaddr(int id, MacAddress& mac);  // NOLINT(readability-identifier-naming)
// Asks every usable adapter for its vendor code and, when an address does not
// begin with its adapter's vendor code, moves the addresses to the adapters
// whose vendor they carry.
void check_adapter_vendors();

int get_NT_MACaddr(int id, MacAddress& mac);  // NOLINT(readability-identifier-naming)
long get_oid_MACaddr(const std::string& service_name);  // NOLINT(readability-identifier-naming)
long query_adapter_oid(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                       uint32_t& bytes);
int read_netcard_entry(NetcardInfo& info, uint32_t index);
std::string netcard_registry_root();

}  // namespace orvex
