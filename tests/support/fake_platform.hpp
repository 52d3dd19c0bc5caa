// Fakes of the platform services: the interface list and open of packet
// capture, and the host's name and system. Each installs itself for its
// lifetime.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/mac_address.hpp"
#include "os/host_info.hpp"
#include "os/packet_capture.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

class FakePacketCapture final : public PacketCapture {
 public:
  FakePacketCapture();
  ~FakePacketCapture() override;
  FakePacketCapture(const FakePacketCapture&) = delete;
  FakePacketCapture& operator=(const FakePacketCapture&) = delete;

  bool list_interfaces(std::vector<InterfaceInfo>& out) override;
  std::unique_ptr<CaptureHandle> open(const std::string& name) override;
  long last_error() const override { return last_error_; }

  // An Ethernet interface that is up, with its address.
  InterfaceInfo& add(const std::string& name, const MacAddress& mac);

  std::vector<InterfaceInfo> interfaces;
  std::map<std::string, long> open_errors;  // interfaces that do not open, and why
  bool fail_list = false;
  // Frames of every interface opened for traffic go through this one.
  FakePacketAdapter wire;
  std::vector<std::string> opened;  // every open, in order

 private:
  long last_error_ = 0;
};

class FakeHostInfo final : public HostInfo {
 public:
  FakeHostInfo();
  ~FakeHostInfo() override;
  FakeHostInfo(const FakeHostInfo&) = delete;
  FakeHostInfo& operator=(const FakeHostInfo&) = delete;

  bool system_name(std::string& out) override;
  bool computer_name(std::string& out) override;

  std::string system = "Linux 6.1.0";
  bool name_ok = true;
  std::string name = "bench";
};

MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);

}  // namespace orvex::test
