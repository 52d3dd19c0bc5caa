// Fakes of the platform services, handed to the code under test as main hands
// it the host's: the interface list and open of packet capture, and the host's
// name and system.
#pragma once

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>

#include "os/host_info.hpp"
#include "tests/support/fake_packet_adapter.hpp"

namespace orvex::test {

class FakePacketCapture final : public PacketCapture {
 public:
  bool list_interfaces(std::vector<InterfaceInfo>& out) override {
    if (fail_list) return last_error_ = EIO, false;
    out = interfaces;
    return true;
  }
  std::unique_ptr<CaptureHandle> open(const std::string& name) override {
    opened.push_back(name);
    if (open_errors.contains(name)) return last_error_ = open_errors[name], nullptr;
    if (reopen_errors.contains(name) && std::ranges::count(opened, name) > 1) {
      return last_error_ = reopen_errors[name], nullptr;
    }
    return std::make_unique<Handle>(wire, accepted);
  }
  long last_error() const override { return last_error_; }
  // An Ethernet interface that is up, with its address.
  InterfaceInfo& add(const std::string& name, const MacAddress& mac) {
    InterfaceInfo& info = interfaces.emplace_back();
    info.name = name, info.address = mac, info.address_known = !mac.is_zero();
    info.ethernet = info.up = info.carrier = true;
    return info;
  }

  std::vector<InterfaceInfo> interfaces;
  std::map<std::string, long> open_errors;  // interfaces that do not open, and why
  std::map<std::string, long> reopen_errors;  // interfaces that open once (the probe) and then fail
  bool fail_list = false;
  FakePacketAdapter wire;  // every opened interface's frames go through it
  std::vector<std::string> opened;
  MacAddress accepted{};  // the destination the last filter narrowing let through

 private:
  struct Handle final : CaptureHandle {
    Handle(FakePacketAdapter& w, MacAddress& a) : wire(w), accepted(a) {}
    bool accept_destination(const MacAddress& local) override { return accepted = local, true; }
    int send(std::span<const uint8_t> frame) override { return wire.send(frame); }
    int receive(int max_frames, const FrameSink& sink) override { return wire.receive(max_frames, sink); }
    FakePacketAdapter& wire;
    MacAddress& accepted;
  };
  long last_error_ = 0;
};

class FakeHostInfo final : public HostInfo {
 public:
  bool system_name(std::string& out) override { return out = system, true; }
  bool computer_name(std::string& out) override { return name_ok && (out = name, true); }

  std::string system = "Linux 6.1.0";
  bool name_ok = true;
  std::string name = "bench";
};

inline MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  return {{a, b, c, d, e, f}};
}

}  // namespace orvex::test
