#include "tests/support/fake_platform.hpp"

#include <cstring>

namespace orvex::test {

namespace {

// An adapter of the fake library: its frames go through the library's wire.
class FakeOpenedAdapter final : public OpenedAdapter {
 public:
  FakeOpenedAdapter(FakePacketAdapter& wire, FakeAdapterSpec spec, uint32_t handle)
      : wire_(wire), spec_(std::move(spec)), handle_(handle) {}
  int send(std::span<const uint8_t> frame) override { return wire_.send(frame); }
  int receive_block(std::span<uint8_t> block) override { return wire_.receive_block(block); }
  uint32_t handle_value() const override { return handle_; }
  bool get_net_type(LinkType& type) override {
    if (!spec_.net_type_ok) return false;
    type.link_type = spec_.link_type;
    type.link_speed = spec_.link_speed;
    return true;
  }
  bool request(uint32_t oid, std::span<uint8_t> data) override {
    if (oid != OID_VENDOR_ID || !spec_.vendor || data.size() < 4) return false;
    std::memcpy(data.data(), spec_.vendor->data(), 3);
    data[3] = 0;
    return true;
  }

 private:
  FakePacketAdapter& wire_;
  FakeAdapterSpec spec_;
  uint32_t handle_;
};

}  // namespace

MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  return MacAddress{{a, b, c, d, e, f}};
}

FakePacketLibrary::FakePacketLibrary() { set_packet_library(this); }
FakePacketLibrary::~FakePacketLibrary() { set_packet_library(nullptr); }

bool FakePacketLibrary::get_adapter_names(std::span<uint8_t> buffer, uint32_t& size) {
  if (fail_list) {
    last_error_ = list_error;
    return false;
  }
  const size_t n = std::min(names_.size(), buffer.size());
  std::memcpy(buffer.data(), names_.data(), n);
  size = static_cast<uint32_t>(n);
  return true;
}

std::unique_ptr<OpenedAdapter> FakePacketLibrary::open(const std::string& name) {
  opened.push_back(name);
  const FakeAdapterSpec& spec = specs_[name];
  if (!spec.opens) {
    last_error_ = spec.open_error;
    return nullptr;
  }
  return std::make_unique<FakeOpenedAdapter>(wire, spec, 0x40 + static_cast<uint32_t>(opened.size()));
}

void FakePacketLibrary::set_names(const std::vector<std::string>& names, bool wide) {
  std::string narrow;
  for (const std::string& n : names) {
    narrow += n;
    narrow.push_back('\0');
  }
  narrow.push_back('\0');
  names_.clear();
  for (char c : narrow) {
    names_.push_back(static_cast<uint8_t>(c));
    if (wide) names_.push_back(0);
  }
}

FakeHostInfo::FakeHostInfo() { set_host_info(this); }
FakeHostInfo::~FakeHostInfo() { set_host_info(nullptr); }

bool FakeHostInfo::version(VersionRecord& out) {
  ++version_calls;
  if (!version_ok) return false;
  out = record;
  return true;
}

bool FakeHostInfo::computer_name(std::string& out) {
  if (!name_ok) return false;
  out = name;
  return true;
}

FakeHostNetwork::FakeHostNetwork() { set_host_network(this); }
FakeHostNetwork::~FakeHostNetwork() { set_host_network(nullptr); }

uint8_t FakeHostNetwork::enumerate_lanas(std::vector<uint8_t>& out) {
  out = lanas;
  return enum_code;
}

uint8_t FakeHostNetwork::reset_lana(uint8_t lana) {
  auto it = reset_codes.find(lana);
  return it != reset_codes.end() ? it->second : 0;
}

uint8_t FakeHostNetwork::adapter_status(uint8_t lana, std::span<uint8_t> status) {
  auto it = statuses.find(lana);
  if (it == statuses.end()) return 0x34;
  std::memcpy(status.data(), it->second.bytes.data(), 6);
  return 0;
}

void FakeHostNetwork::add_card(const std::string& subkey, const std::string& service,
                               const std::string& description) {
  cards.push_back(subkey);
  values[subkey]["ServiceName"] = service;
  values[subkey]["Description"] = description;
  values[subkey]["DriverDesc"] = description;
  values[subkey]["Title"] = "[" + subkey + "] " + description;
}

long FakeHostNetwork::registry_subkey(const std::string& key, uint32_t index, std::string& name) {
  if (key != root) return ERROR_FILE_NOT_FOUND_CODE;
  if (index >= cards.size()) return ERROR_NO_MORE_ITEMS_CODE;
  name = cards[index];
  return 0;
}

long FakeHostNetwork::registry_string(const std::string& key, const std::string& subkey,
                                      const std::string& value, std::string& out) {
  if (key != root) return ERROR_FILE_NOT_FOUND_CODE;
  auto card = values.find(subkey);
  if (card == values.end()) return ERROR_FILE_NOT_FOUND_CODE;
  auto v = card->second.find(value);
  if (v == card->second.end()) return ERROR_FILE_NOT_FOUND_CODE;
  out = v->second;
  return 0;
}

long FakeHostNetwork::query_device(const std::string& device, uint32_t oid, std::span<uint8_t> answer,
                                   uint32_t& bytes) {
  queries.emplace_back(device, oid);
  bytes = 0;
  auto it = devices.find(device);
  if (it == devices.end()) return ERROR_FILE_NOT_FOUND_CODE;
  const FakeDevice& d = it->second;
  switch (oid) {
    case OID_MEDIUM_IN_USE:
      if (d.medium_error != 0) return d.medium_error;
      answer[0] = static_cast<uint8_t>(d.medium);
      answer[1] = answer[2] = answer[3] = 0;
      bytes = 4;
      return 0;
    case OID_802_3_CURRENT_ADDRESS:
    case OID_WAN_CURRENT_ADDRESS:
      if (d.address_error != 0) return d.address_error;
      std::memcpy(answer.data(), d.address.data(), std::min(d.address.size(), answer.size()));
      bytes = static_cast<uint32_t>(d.address.size());
      return 0;
    case OID_MEDIA_CONNECT_STATUS:
      if (d.status_error != 0) return d.status_error;
      std::memset(answer.data(), 0, 4);
      bytes = 4;
      return 0;
    default:
      return 87;
  }
}

}  // namespace orvex::test
