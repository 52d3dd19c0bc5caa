// The radio simulator's faults: their radio items and what a radio with one does.
#include <gtest/gtest.h>

#include "tests/support/radio_peer.hpp"
#include "tools/radiosim/radio.hpp"
#include "tools/radiosim/radio_frames.hpp"

namespace orvex::test {
namespace {

const MacAddress HOST{{2, 0x11, 0x22, 0x33, 0x44, 0x55}};

TEST(RadioSimFaults, RefuseConnectItemCountsSetUps) {
  // count 0: refused, with the item named in the error
  const std::pair<std::string, uint32_t> cases[] = {
      {"refuse-connect", 1}, {"name=A,refuse-connect=3", 3}, {"refuse-connect=0", 0}, {"refuse-connect=x", 0}};
  for (const auto& [items, count] : cases) {
    sim::RadioConfig radio = sim::default_radio(1);
    const std::string error = sim::parse_radio_items(items, radio);
    EXPECT_EQ(error.empty() ? radio.faults.refuse_connects : 0u, count) << items;
    EXPECT_EQ(error.find("refuse-connect=") == 0, count == 0) << error;
  }
}

// The program repeats a set-up's request with the same cid until it gives up;
// only a new cid is a new set-up.
TEST(RadioSimFaults, RefuseConnectLeavesTheFirstSetUpAndItsRepeatsUnanswered) {
  sim::RadioConfig config = sim::default_radio(1);
  config.faults.refuse_connects = 1;
  sim::Radio r = sim::make_radio(config, [](auto&, auto&, auto) { return true; }, 0);
  const auto request = build_connect_request("host", 2);
  const auto answers = [&](uint16_t pdu, uint16_t cid, uint64_t now) {
    const std::span<const uint8_t> payload = pdu == PDU_CONNECT_REQUEST ? request : std::span<const uint8_t>{};
    sim::RadioOutput out;
    sim::handle_frame(r, peer_frame(HOST, config.mac, pdu, cid, 100, 0, payload), now, out);
    std::vector<uint16_t> pdus;
    for (const auto& f : out.frames) pdus.push_back(sim::read_radio_header(f, true)->pdu);
    return std::pair(pdus, out.events.empty() ? std::string() : out.events.front());
  };
  for (int repeat = 0; repeat < 3; ++repeat) {
    EXPECT_EQ(answers(PDU_CONNECT_REQUEST, 0x101, 700u * repeat),
              std::pair(std::vector<uint16_t>{}, std::string("Radio-1: connection request cid=257 left unanswered")));
  }
  EXPECT_EQ(answers(PDU_CONNECT_REQUEST, 0x102, 3000).first, (std::vector<uint16_t>{PDU_CONNECT_ACCEPT, PDU_DATA}));
  EXPECT_EQ(r.state, sim::LinkState::connected);
  // Once the set-ups it refuses are used up, a later one is answered at once.
  answers(PDU_DISCONNECT, 0x102, 3100);
  EXPECT_EQ(answers(PDU_CONNECT_REQUEST, 0x103, 3200).first, (std::vector<uint16_t>{PDU_CONNECT_ACCEPT, PDU_DATA}));
}

}  // namespace
}  // namespace orvex::test
