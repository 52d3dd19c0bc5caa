#include "link/mac_lookup.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cmdline/settings.hpp"
#include "link/adapters.hpp"
#include "link/host_check.hpp"
#include "link/host_state.hpp"
#include "platform/host_network.hpp"
#include "platform/packet_library.hpp"
#include "protocol/byte_order.hpp"

namespace orvex {

namespace {

constexpr size_t ADAPTER_STATUS_SIZE = 600;
constexpr size_t OID_ANSWER_SIZE = 4096;
constexpr long ERROR_NOT_SUPPORTED_CODE = 50;
constexpr long ERROR_INVALID_DATA_CODE = 13;
constexpr int ERROR_NO_FAMILY = 120;

MacLookupState g_lookup;

int diagnostic_level() { return program_options().diagnostic_level; }

bool begins_with(const MacAddress& mac, const std::array<uint8_t, 3>& vendor) {
  return std::memcmp(mac.bytes.data(), vendor.data(), vendor.size()) == 0;
}

// The vendor code through the packet library: false when the adapter does not
// open or does not answer.
bool request_vendor(const std::string& name, std::array<uint8_t, 3>& vendor) {
  auto adapter = packet_library().open(name);
  if (!adapter) return false;
  std::array<uint8_t, 4> data{};
  if (!adapter->request(OID_VENDOR_ID, data)) return false;
  std::memcpy(vendor.data(), data.data(), vendor.size());
  return true;
}

std::string registry_text(const std::string& root, const std::string& subkey, const char* value) {
  std::string text;
  if (host_network().registry_string(root, subkey, value, text) != 0) return {};
  return text.substr(0, NETCARD_TEXT_MAX);
}

}  // namespace

MacLookupState& mac_lookup_state() { return g_lookup; }

int get_NetBIOS_MACaddr(int id, MacAddress& mac) {  // NOLINT(readability-identifier-naming)
  HostNetwork& net = host_network();
  std::vector<uint8_t> lanas;
  const uint8_t enum_rc = net.enumerate_lanas(lanas);
  if (enum_rc != 0) {
    std::printf("Debug: NCBENUM  returned %d\n", enum_rc);
    return 0;
  }
  if (lanas.size() > 255) lanas.resize(255);  // one count byte in the list
  if (diagnostic_level() >= 1) {
    std::printf("Debug: Netbios found %d adapters: ", static_cast<int>(lanas.size()));
    for (uint8_t lana : lanas) std::printf(" %d", lana);
    std::printf("\n");
  }
  const int ordinal = adapter_table().entries[id].netbios_ordinal;
  // An adapter beyond the list has no status of its own to take.
  if (ordinal < 0 || static_cast<size_t>(ordinal) >= lanas.size()) return 0;
  const uint8_t lana = lanas[ordinal];
  const uint8_t reset_rc = net.reset_lana(lana);
  if (reset_rc != 0) {
    std::printf("Debug: NCBRESET on adapter %d lana_num %d\n", id, lana);
    std::printf("Debug: NCBRESET returned %d\n", reset_rc);
    return 0;
  }
  std::array<uint8_t, ADAPTER_STATUS_SIZE> status{};
  const uint8_t status_rc = net.adapter_status(lana, status);
  if (status_rc != 0) {
    std::printf("Debug: NCBASTAT returned %d\n", status_rc);
    return 0;
  }
  mac = MacAddress::from(status.data());
  return 1;
}

void check_adapter_vendors() {
  AdapterTable& table = adapter_table();
  bool mismatch = false;
  std::array<bool, MAX_ADAPTERS> vendor_known{};
  for (int i = 0; i < MAX_ADAPTERS; ++i) {
    AdapterEntry& e = table.entries[i];
    if (!e.usable) continue;
    vendor_known[i] = request_vendor(e.name, e.vendor);
    if (!vendor_known[i]) {
      e.vendor = {0, 0, 0};
    } else if (!begins_with(e.mac, e.vendor)) {
      mismatch = true;
    }
  }
  if (!mismatch) return;
  // Only addresses of adapters that were looked up move, and only to adapters
  // whose vendor is known: an unknown vendor (00 00 00) would otherwise pull in
  // the empty address of an adapter that was never resolved.
  for (int i = 0; i < MAX_ADAPTERS; ++i) {
    AdapterEntry& e = table.entries[i];
    if (!e.usable || !vendor_known[i] || begins_with(e.mac, e.vendor)) continue;
    for (int j = i + 1; j < table.adapter_count && j < MAX_ADAPTERS; ++j) {
      AdapterEntry& other = table.entries[j];
      if (other.usable && begins_with(other.mac, e.vendor)) std::swap(e.mac, other.mac);
    }
  }
}

std::string netcard_registry_root() {
  if (is_win9x_platform()) return "System\\CurrentControlSet\\Services\\Class\\Net";
  if (is_nt_platform()) return "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
  return "Unknown";
}

int read_netcard_entry(NetcardInfo& info, uint32_t index) {
  info = NetcardInfo{};
  const std::string root = netcard_registry_root();
  HostNetwork& net = host_network();
  std::string subkey;
  const long rc = net.registry_subkey(root, index, subkey);
  if (rc != 0) return static_cast<int>(rc);
  subkey = subkey.substr(0, 15);  // a 16-character buffer
  if (is_win9x_platform()) {
    info.service_name = subkey;
    std::string text = registry_text(root, subkey, "DriverDesc");
    if (text.empty()) text = registry_text(root, subkey, "DeviceDesc");
    if (!text.empty()) info.description = text;
    return 0;
  }
  if (is_nt_platform()) {
    if (std::string t = registry_text(root, subkey, "ServiceName"); !t.empty()) info.service_name = t;
    if (std::string t = registry_text(root, subkey, "Description"); !t.empty()) info.description = t;
    if (std::string t = registry_text(root, subkey, "Title"); !t.empty()) info.title = t;
    return 0;
  }
  return ERROR_NO_FAMILY;
}

long query_adapter_oid(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                       uint32_t& bytes) {
  bytes = 0;
  const long rc = host_network().query_device(device, oid, answer, bytes);
  if (rc != 0) {
    g_lookup.mac_lookup_error = rc;
    bytes = 0;
  }
  return 0;
}

long get_oid_MACaddr(const std::string& service_name) {  // NOLINT(readability-identifier-naming)
  std::vector<uint8_t> answer(OID_ANSWER_SIZE);
  uint32_t bytes = 0;
  long rc = query_adapter_oid(service_name, OID_MEDIUM_IN_USE, answer, bytes);
  if (rc != 0 || g_lookup.mac_lookup_error != 0) return rc;
  bool have_address = false;
  const uint32_t medium = bytes >= 4 ? get_le32(answer.data()) : MEDIUM_802_3;
  if (medium == MEDIUM_802_3) {
    rc = query_adapter_oid(service_name, OID_802_3_CURRENT_ADDRESS, answer, bytes);
    if (rc != 0) return rc;
    if (bytes == 6) {
      g_lookup.scratch = MacAddress::from(answer.data());
      have_address = true;
    } else if (g_lookup.mac_lookup_error == 0) {
      // An answer of the wrong size is a failure even when the query itself
      // reported none.
      g_lookup.mac_lookup_error = ERROR_INVALID_DATA_CODE;
    }
  } else if (medium == MEDIUM_WAN) {
    rc = query_adapter_oid(service_name, OID_WAN_CURRENT_ADDRESS, answer, bytes);
    if (rc != 0) return rc;
    if (bytes == 6) {
      std::printf(">Mac address = %02X-%02X-%02X-%02X-%02X-%02X\n", answer[0], answer[1], answer[2], answer[3],
                  answer[4], answer[5]);
      g_lookup.scratch = MacAddress::from(answer.data());
      have_address = true;
    } else {
      std::printf("DeviceIoControl returned an invalid count = %d\n", static_cast<int>(bytes));
    }
  } else {
    std::printf("Mac address: Query Not Supported By Application...\n");
  }
  // An adapter whose address could not be read is not resolved.
  if (!have_address && g_lookup.mac_lookup_error == 0) g_lookup.mac_lookup_error = ERROR_NOT_SUPPORTED_CODE;
  std::array<uint8_t, 4> status{};
  return query_adapter_oid(service_name, OID_MEDIA_CONNECT_STATUS, status, bytes);
}

int get_NT_MACaddr(int id, MacAddress& mac) {  // NOLINT(readability-identifier-naming)
  AdapterEntry& entry = adapter_table().entries[id];
  const bool trace = diagnostic_level() >= 2;
  if (trace) std::printf("    get_NT_MACaddr(%d, ...) [%s]\n", id, entry.name.c_str());
  g_lookup.scan_position = 0;
  NetcardInfo info;
  int rc = read_netcard_entry(info, g_lookup.scan_position++);
  while (rc == 0) {
    if (trace) {
      std::printf("      %s - %s\n        \\Device\\%s\n", info.title.c_str(), info.description.c_str(),
                  info.service_name.c_str());
    }
    if (entry.name.find(info.service_name) != std::string::npos) {
      g_lookup.scratch = MacAddress{};
      g_lookup.mac_lookup_error = 0;
      if (is_nt_platform()) get_oid_MACaddr(info.service_name);
      if (g_lookup.mac_lookup_error != 0) {
        if (trace) std::printf("      Adapter name matched but failed to get MACaddr\n");
        return 0;
      }
      mac = g_lookup.scratch;
      entry.description = info.description.substr(0, ADAPTER_DESCRIPTION_MAX);
      if (trace) std::printf("      Adapter name matched in registry\n");
      return 1;
    }
    rc = read_netcard_entry(info, g_lookup.scan_position++);
  }
  if (trace) std::printf("      Adapter name not found in registry\n");
  return 0;
}

}  // namespace orvex
