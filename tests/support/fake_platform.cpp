#include "tests/support/fake_platform.hpp"

#include <cerrno>

namespace orvex::test {

namespace {

// An interface of the fake capture: its frames go through the capture's wire.
class FakeHandle final : public CaptureHandle {
 public:
  explicit FakeHandle(FakePacketAdapter& wire) : wire_(wire) {}
  int send(std::span<const uint8_t> frame) override { return wire_.send(frame); }
  int receive(int max_frames, const FrameSink& sink) override { return wire_.receive(max_frames, sink); }

 private:
  FakePacketAdapter& wire_;
};

}  // namespace

MacAddress mac_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  return MacAddress{{a, b, c, d, e, f}};
}

FakePacketCapture::FakePacketCapture() { set_packet_capture(this); }
FakePacketCapture::~FakePacketCapture() { set_packet_capture(nullptr); }

bool FakePacketCapture::list_interfaces(std::vector<InterfaceInfo>& out) {
  if (fail_list) {
    last_error_ = EIO;
    return false;
  }
  out = interfaces;
  return true;
}

std::unique_ptr<CaptureHandle> FakePacketCapture::open(const std::string& name) {
  opened.push_back(name);
  if (auto it = open_errors.find(name); it != open_errors.end()) {
    last_error_ = it->second;
    return nullptr;
  }
  return std::make_unique<FakeHandle>(wire);
}

InterfaceInfo& FakePacketCapture::add(const std::string& name, const MacAddress& mac) {
  InterfaceInfo info;
  info.name = name;
  info.address = mac;
  info.address_known = !mac.is_zero();
  info.ethernet = info.up = info.carrier = true;
  interfaces.push_back(info);
  return interfaces.back();
}

FakeHostInfo::FakeHostInfo() { set_host_info(this); }
FakeHostInfo::~FakeHostInfo() { set_host_info(nullptr); }

bool FakeHostInfo::system_name(std::string& out) {
  out = system;
  return true;
}

bool FakeHostInfo::computer_name(std::string& out) {
  if (!name_ok) return false;
  out = name;
  return true;
}

}  // namespace orvex::test
