#include "link/frame_io.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "base/settings.hpp"
#include "base/byte_order.hpp"
#include "wire/frame.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

const MacAddress LOCAL = MacAddress{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const MacAddress RADIO = MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}};

// An identify request from the radio to this station, `size` bytes long, its
// last byte `marker`.
Bytes protocol_frame(size_t size, uint8_t marker, bool tagged = false) {
  Bytes f(size, 0);
  std::copy(LOCAL.bytes.begin(), LOCAL.bytes.end(), f.begin());
  std::copy(RADIO.bytes.begin(), RADIO.bytes.end(), f.begin() + 6);
  size_t at = 12;
  if (tagged) {
    put_be16(&f[12], VLAN_TPID);
    put_be16(&f[14], 7);
    at = 16;
  }
  put_be16(&f[at], static_cast<uint16_t>(size - at - 2));
  std::copy(SNAP_HEADER.begin(), SNAP_HEADER.end(), f.begin() + at + 2);
  put_be16(&f[at + 10], PDU_IDENTIFY_REQUEST);
  f.back() = marker;
  return f;
}

class FrameInputTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    set_clock(&*fake_clock);  // the state reset put the system clock back
    local_mac_address() = LOCAL;
    auto owned = std::make_unique<FakePacketAdapter>();
    adapter = owned.get();
    attach_adapter(std::move(owned));
  }

  Bytes receive() {
    Bytes buffer(RX_SLOT_SIZE);
    const int n = receive_frame(buffer);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

  ScopedFakeClock fake_clock;
  FakePacketAdapter* adapter = nullptr;
};

TEST_F(FrameInputTest, TaggedFramesOnlyWithAVlanIdAndOverlongFramesDropped) {
  const Bytes tagged = protocol_frame(64, 9, true), plain = protocol_frame(60, 1);
  const Bytes huge = protocol_frame(RX_SLOT_SIZE + 1, 3);
  adapter->deliver({tagged, huge, plain});
  EXPECT_EQ(receive(), plain);
  program_options().vlan_id = 7;
  adapter->deliver({tagged, plain});
  EXPECT_EQ(receive(), tagged);
  EXPECT_EQ(receive(), plain);
}

// A burst larger than the ring: what does not fit stays with the adapter for
// the next read, so no frame is lost and the order holds.
TEST_F(FrameInputTest, BurstBeyondTheRingLosesNothing) {
  std::vector<Bytes> frames;
  for (int i = 0; i < 250; ++i) frames.push_back(protocol_frame(60, static_cast<uint8_t>(i)));
  adapter->deliver(frames);
  for (int i = 0; i < 250; ++i) ASSERT_EQ(receive(), frames[i]) << i;
  EXPECT_EQ(adapter->receive_calls(), 3u);
}

TEST_F(FrameInputTest, UnrelatedFramesYieldNothingAfterOneSecond) {
  Bytes foreign = protocol_frame(60, 1);
  foreign[0] = 0x02;
  foreign[5] = 0x99;  // another station
  Bytes no_snap = protocol_frame(60, 2);
  no_snap[14] = 0x42;
  adapter->deliver({foreign, no_snap});
  const uint64_t start = fake_clock->now_ms();
  EXPECT_TRUE(receive().empty());
  const uint64_t waited = fake_clock->now_ms() - start;
  // It gives up after the first empty read that began 1000 ms or more after
  // the call: at most two 300 ms reads past the second.
  EXPECT_GE(waited, 1000u);
  EXPECT_LE(waited, 1600u);
}

TEST_F(FrameInputTest, FailedReadIsReported) {
  adapter->fail_receives = true;
  Bytes buffer(RX_SLOT_SIZE);
  const std::string out = capture_stdout([&] { EXPECT_EQ(receive_frame(buffer), -1); });
  EXPECT_EQ(out, "Error: PacketReceivePacket failed");
}

}  // namespace
}  // namespace orvex::test
