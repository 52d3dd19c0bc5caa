// What the host knows about its network adapters beyond the packet library:
// the adapter status list (NetBIOS), the registry's list of network cards and
// information queries to an adapter's driver by device name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvex {

// Registry and system error codes the look-up relies on.
constexpr long ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr long ERROR_NO_MORE_ITEMS_CODE = 259;

// Driver information queries (by device name).
constexpr uint32_t OID_MEDIUM_IN_USE = 0x00010104;
constexpr uint32_t OID_802_3_CURRENT_ADDRESS = 0x01010102;
constexpr uint32_t OID_WAN_CURRENT_ADDRESS = 0x04010102;
constexpr uint32_t OID_MEDIA_CONNECT_STATUS = 0x00010114;

class HostNetwork {
 public:
  virtual ~HostNetwork() = default;

  // Adapter status list. Each returns the command's return code, 0 for success.
  virtual uint8_t enumerate_lanas(std::vector<uint8_t>& lanas) = 0;
  virtual uint8_t reset_lana(uint8_t lana) = 0;
  // Fills `status` (600 bytes) with the status record; its first 6 bytes are
  // the adapter's address.
  virtual uint8_t adapter_status(uint8_t lana, std::span<uint8_t> status) = 0;

  // Registry: the name of the subkey at `index` under `root` (0, or an error
  // code; ERROR_NO_MORE_ITEMS_CODE past the last).
  virtual long registry_subkey(const std::string& root, uint32_t index, std::string& name) = 0;
  // A string value of root\subkey: 0 when read; an error code when the key
  // does not open or the value is missing or not a string.
  virtual long registry_string(const std::string& root, const std::string& subkey,
                               const std::string& value, std::string& out) = 0;

  // One information query to the driver of the named device: 0 with the
  // answer in `answer` and its length in `bytes`, or the system error code.
  virtual long query_device(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                            uint32_t& bytes) = 0;
};

HostNetwork& host_network();
void set_host_network(HostNetwork* network);  // null: the host's own

HostNetwork& system_host_network();

}  // namespace orvex
