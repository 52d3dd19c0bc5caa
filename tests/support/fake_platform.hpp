// Fakes of the adapter-side platform layers: the packet library's adapter list
// and open, the host's version and name, and the adapter address services.
// Each installs itself for its lifetime.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cmdline/mac_address.hpp"
#include "platform/host_info.hpp"
#include "platform/host_network.hpp"
#include "platform/packet_library.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

struct FakeAdapterSpec {
  bool opens = true;
  long open_error = 0;
  bool net_type_ok = true;
  uint32_t link_type = MEDIUM_802_3;
  uint32_t link_speed = 1000000;
  std::optional<std::array<uint8_t, 3>> vendor;  // no answer when empty
};

class FakePacketLibrary final : public PacketLibrary {
 public:
  FakePacketLibrary();
  ~FakePacketLibrary() override;
  FakePacketLibrary(const FakePacketLibrary&) = delete;
  FakePacketLibrary& operator=(const FakePacketLibrary&) = delete;

  bool get_adapter_names(std::span<uint8_t> buffer, uint32_t& size) override;
  std::unique_ptr<OpenedAdapter> open(const std::string& name) override;
  long last_error() const override { return last_error_; }

  // Lists the names in 8-bit characters, or in 16-bit little-endian ones.
  void set_names(const std::vector<std::string>& names, bool wide = false);
  FakeAdapterSpec& adapter(const std::string& name) { return specs_[name]; }

  bool fail_list = false;
  long list_error = 5;
  // Frames of every adapter opened for traffic go through this one.
  FakePacketAdapter wire;
  std::vector<std::string> opened;  // every open, in order

 private:
  std::vector<uint8_t> names_;
  std::map<std::string, FakeAdapterSpec> specs_;
  long last_error_ = 0;
};

class FakeHostInfo final : public HostInfo {
 public:
  FakeHostInfo();
  ~FakeHostInfo() override;
  FakeHostInfo(const FakeHostInfo&) = delete;
  FakeHostInfo& operator=(const FakeHostInfo&) = delete;

  bool version(VersionRecord& record) override;
  bool computer_name(std::string& name) override;

  bool version_ok = true;
  VersionRecord record{0, 0, 0, 0, "Linux 6.1.0"};
  bool name_ok = true;
  std::string name = "bench";
  int version_calls = 0;
};

struct FakeDevice {
  long medium_error = 0;
  uint32_t medium = 0;
  long address_error = 0;
  std::vector<uint8_t> address;
  long status_error = 0;
};

class FakeHostNetwork final : public HostNetwork {
 public:
  FakeHostNetwork();
  ~FakeHostNetwork() override;
  FakeHostNetwork(const FakeHostNetwork&) = delete;
  FakeHostNetwork& operator=(const FakeHostNetwork&) = delete;

  uint8_t enumerate_lanas(std::vector<uint8_t>& lanas) override;
  uint8_t reset_lana(uint8_t lana) override;
  uint8_t adapter_status(uint8_t lana, std::span<uint8_t> status) override;
  long registry_subkey(const std::string& root, uint32_t index, std::string& name) override;
  long registry_string(const std::string& root, const std::string& subkey, const std::string& value,
                       std::string& out) override;
  long query_device(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                    uint32_t& bytes) override;

  // Adapter status list.
  uint8_t enum_code = 0;
  std::vector<uint8_t> lanas;
  std::map<uint8_t, uint8_t> reset_codes;
  std::map<uint8_t, MacAddress> statuses;  // a LANA without one answers 0x34

  // Registry: the card subkeys of `root` in order, and their values.
  std::string root;
  std::vector<std::string> cards;
  std::map<std::string, std::map<std::string, std::string>> values;
  void add_card(const std::string& subkey, const std::string& service, const std::string& description);

  std::map<std::string, FakeDevice> devices;
  std::vector<std::pair<std::string, uint32_t>> queries;  // device and OID of every query
};

MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);

}  // namespace orvex::test
