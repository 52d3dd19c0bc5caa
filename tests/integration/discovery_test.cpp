// Discovery over the in-memory wire with virtual time: the requests and their
// timing, the radios recorded and the rows printed while they answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/settings.hpp"
#include "engine/discover.hpp"
#include "base/clock.hpp"
#include "engine/session_table.hpp"
#include "ui/device_table.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/test_state.hpp"
#include "tests/support/radio_peer.hpp"

namespace orvex::test {
namespace {

const MacAddress LOCAL{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};

const RadioProfile ALPHA{{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x0B}}, "alpha", 2, "FW 2.1.7"};
const RadioProfile ALPHA_AGAIN{{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x0B}}, "alpha-renamed", 2, "FW 9"};
const RadioProfile BRAVO{{{0x02, 0x7A, 0x41, 0x00, 0x01, 0x00}}, "bravo", 1, "not-shown"};
const RadioProfile CHARLIE{{{0x02, 0x7A, 0x41, 0x01, 0x00, 0x00}}, "ignored", 2, "ignored", 0};
const RadioProfile DELTA{{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x2A}}, "delta", 2, "D-1.0"};
constexpr uint16_t DELTA_TAG = 0x2007;  // priority 1, VLAN 7

const char* const HEADLINE = "\nDiscovery of local devices in progress ...\n";
const char* const ROW_ALPHA = "\xFE 001  \xFE alpha             \xFE 02:7A:41:00:00:0B \xFE 11 \xFE FW 2.1.7        \n";
const char* const ROW_BRAVO = "\xFE 002  \xFE bravo             \xFE 02:7A:41:00:01:00 \xFE 256 \xFE                 \n";
const char* const ROW_CHARLIE =
    "\xFE 003  \xFE Unknown name      \xFE 02:7A:41:01:00:00 \xFE 65536 \xFE                 \n";
const char* const ROW_DELTA = "\xFE 004  \xFE delta             \xFE 02:7A:41:00:00:2A \xFE 42 \xFE D-1.0           \n";

class DiscoveryTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();  // before the clock and the wire: it resets both
    fake_clock_.emplace();
    radio_.emplace();
    radio_->adapter().empty_read_ms = 100;
    local_mac_address() = LOCAL;
  }

  // Each request, counted from 1, is answered by these frames.
  void answer(std::vector<std::vector<Bytes>> answers) {
    radio_->on_frame = [this, answers, n = size_t{0}](const PeerFrame& f) mutable {
      if (f.pdu != PDU_DISCOVERY_REQUEST) return;
      if (n < answers.size() && !answers[n].empty()) radio_->deliver(answers[n]);
      ++n;
    };
  }

  int discover(std::string& output) {
    int found = 0;
    output = capture_stdout([&] { found = discover_radios(print_device_row); });
    return found;
  }

  std::optional<ScopedFakeClock> fake_clock_;
  std::optional<WireRadio> radio_;
};

void expect_entry(int index, const RadioProfile& radio, const char* name, uint8_t level, const char* firmware) {
  SCOPED_TRACE(index);
  const Session& s = session_table()[index];
  EXPECT_EQ(s.state, SESSION_FOUND);
  EXPECT_EQ(s.mac, radio.mac);
  EXPECT_STREQ(s.name_text(), name);
  std::array<char, 64> stored_name{};
  std::copy_n(name, std::strlen(name), stored_name.begin());
  EXPECT_EQ(s.name, stored_name);
  EXPECT_EQ(s.protocol_level, level);
  std::array<char, 16> stored_firmware{};
  std::copy_n(firmware, std::strlen(firmware), stored_firmware.begin());
  EXPECT_EQ(s.firmware, stored_firmware);
  EXPECT_EQ(s.next_pdu, PDU_CONNECT_REQUEST);
  EXPECT_EQ(s.tseq, 0u);
  EXPECT_EQ(s.rseq, 0u);
  EXPECT_LT(s.cid, 32768);
}

TEST_F(DiscoveryTest, RecordsEachRadioOnceAndPrintsItsRow) {
  const MacAddress to = LOCAL;
  struct Case {
    int vlan_id;
    int found;
    std::string output;
  };
  const std::string untagged_rows = std::string(ROW_ALPHA) + ROW_BRAVO + ROW_CHARLIE;
  const Case cases[] = {
      // Without a VLAN id the tagged response never reaches discovery.
      {0, 3, HEADLINE + untagged_rows},
      {7, 4, HEADLINE + untagged_rows + "Saw VLAN tag 8199\n" + ROW_DELTA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vlan_id);
    reset_session_table();
    program_options().vlan_id = c.vlan_id;
    answer({{identify_response_frame(ALPHA, to), identify_response_frame(BRAVO, to),
             identify_response_frame(CHARLIE, to)},
            {identify_response_frame(ALPHA_AGAIN, to),
             with_vlan_tag(identify_response_frame(DELTA, to), DELTA_TAG)}});
    std::string output;
    EXPECT_EQ(discover(output), c.found);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(session_table()[0].state, SESSION_EMPTY);
    expect_entry(1, ALPHA, "alpha", 2, "FW 2.1.7");
    expect_entry(2, BRAVO, "bravo", 1, "");
    expect_entry(3, CHARLIE, "Unknown name", 0, "");
    if (c.found == 4) expect_entry(4, DELTA, "delta", 2, "D-1.0");
    EXPECT_EQ(session_table()[c.found + 1].state, SESSION_EMPTY);
  }
}

TEST_F(DiscoveryTest, ThreeRequestsOneSecondApartThenListensUntilFourSeconds) {
  std::string output;
  EXPECT_EQ(discover(output), 0);
  const auto requests = radio_->sent();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(requests[i].bytes, requests[0].bytes);  // same identifier each time
    EXPECT_GE(requests[i].at_ms, 1000 * i);
    EXPECT_LT(requests[i].at_ms, 1000 * (i + 1));
  }
  EXPECT_EQ(requests[0].at_ms, 0u);
  const Bytes expected_head = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 40,
                               0xAA, 0xAA, 0x03, 0x02, 0x7A, 0x41, 0x00, 0x01, 0x04, 0x00};
  ASSERT_EQ(requests[0].bytes.size(), 40u);
  EXPECT_EQ(Bytes(requests[0].bytes.begin(), requests[0].bytes.begin() + 24), expected_head);
  EXPECT_EQ(Bytes(requests[0].bytes.begin() + 26, requests[0].bytes.end()), Bytes(14, 0));
  // Listening ends at the first check after 4 s, at most one receive wait late.
  EXPECT_GE(clock().now_ms(), 4000u);
  EXPECT_LT(clock().now_ms(), 5200u);
}

TEST_F(DiscoveryTest, ShortResponseShowsOnlyTheBytesThatArrived) {
  const RadioProfile long_named{{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x01}}, "abcdefghijklmnopqrstuvwxyz", 2, "FWX-9.9"};
  // NBytes says 72 but only three name bytes arrived, without their NUL.
  Bytes three_bytes = identify_response_frame({{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x02}}, "bobby", 2, "FWY"}, LOCAL);
  three_bytes.resize(FRAME_HEADER_SIZE + 3);
  // The level byte arrived, the firmware did not.
  Bytes fifty_bytes = identify_response_frame({{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x03}}, "carol", 2, "FWZ"}, LOCAL);
  fifty_bytes.resize(FRAME_HEADER_SIZE + 50);
  answer({{identify_response_frame(long_named, LOCAL), three_bytes, fifty_bytes}});
  run_state().rows_during_discovery = 0;
  std::string output;
  EXPECT_EQ(discover(output), 3);
  EXPECT_EQ(output, HEADLINE);
  EXPECT_STREQ(session_table()[1].name_text(), "abcdefghijklmnopqrstuvwxyz");
  EXPECT_STREQ(session_table()[2].name_text(), "bob");
  EXPECT_EQ(session_table()[2].protocol_level, 0);
  EXPECT_EQ(session_table()[2].firmware, (std::array<char, 16>{}));
  EXPECT_STREQ(session_table()[3].name_text(), "carol");
  EXPECT_EQ(session_table()[3].protocol_level, 2);
  EXPECT_EQ(session_table()[3].firmware, (std::array<char, 16>{}));
}

}  // namespace
}  // namespace orvex::test
