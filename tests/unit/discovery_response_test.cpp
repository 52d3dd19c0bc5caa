// How one received frame is judged as a response to discovery.
#include <gtest/gtest.h>

#include <string>

#include "batch/radio_list.hpp"
#include "base/settings.hpp"
#include "engine/discover.hpp"
#include "base/byte_order.hpp"
#include "engine/session_table.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"
#include "tests/support/radio_peer.hpp"

namespace orvex::test {
namespace {

const MacAddress LOCAL{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const MacAddress RADIO{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x0B}};

class DiscoveryResponseTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    local_mac_address() = LOCAL;
    run_state().rows_during_discovery = 0;
  }
  int accept(const Bytes& frame, int& count) {
    return accept_discovery_response(frame.data(), static_cast<int>(frame.size()), count);
  }
};

Bytes response(const std::string& name = "radio", const MacAddress& to = LOCAL) {
  return identify_response_frame({RADIO, name, 2, "fw"}, to);
}

TEST_F(DiscoveryResponseTest, FramesThatAreNotResponsesToRecord) {
  struct Case {
    const char* what;
    Bytes frame;
    int result;
  };
  Bytes bad_snap = response();
  bad_snap[OFFSET_SNAP + 5] = 0x42;
  Bytes long_length = response();
  put_be16(long_length.data() + OFFSET_LENGTH, 1501);
  Bytes tagged_long_length = with_vlan_tag(response(), 7);
  put_be16(tagged_long_length.data() + OFFSET_LENGTH + 4, 1501);
  Bytes tagged_header_only = with_vlan_tag(response(), 7);
  tagged_header_only.resize(FRAME_HEADER_SIZE + 2);  // SNAP and part of the header
  Bytes data_pdu = response();
  put_be16(data_pdu.data() + OFFSET_PDU, PDU_DATA);
  Bytes little_endian_pdu = response();
  put_le16(little_endian_pdu.data() + OFFSET_PDU, PDU_IDENTIFY_RESPONSE);  // reads 0x0500
  const Case cases[] = {
      {"to the broadcast address", response("radio", MacAddress::broadcast()), -1},
      {"to another station", response("radio", MacAddress{{0x02, 0, 0, 0, 0, 0x99}}), -1},
      {"another protocol", bad_snap, -1},
      {"length field above 1500", long_length, -1},
      {"tagged length field above 1500", tagged_long_length, -1},
      {"tagged and too short for its header", tagged_header_only, -1},
      {"another PDU", data_pdu, 0},
      {"PDU in the wrong byte order", little_endian_pdu, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int count = 0;
    capture_stdout([&] { EXPECT_EQ(accept(c.frame, count), c.result); });
    EXPECT_EQ(count, 0);
    EXPECT_EQ(session_table()[1].state, SESSION_EMPTY);
  }
}

TEST_F(DiscoveryResponseTest, TaggedResponsePrintsTheWholeTagControlField) {
  int count = 0;
  const std::string out = capture_stdout([&] { EXPECT_EQ(accept(with_vlan_tag(response(), 0xE00C), count), 1); });
  EXPECT_EQ(out, "Saw VLAN tag 57356\n");
  EXPECT_STREQ(session_table()[1].name_text(), "radio");
}

TEST_F(DiscoveryResponseTest, FirstResponseOfARadioWins) {
  int count = 0;
  EXPECT_EQ(accept(response("first"), count), 1);
  EXPECT_EQ(accept(response("second"), count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_STREQ(session_table()[1].name_text(), "first");
  EXPECT_EQ(session_table()[2].state, SESSION_EMPTY);
}

TEST_F(DiscoveryResponseTest, NameIsBoundedToSixtyFourBytes) {
  const std::string long_name(70, 'n');
  int count = 0;
  EXPECT_EQ(accept(identify_response_frame({RADIO, long_name, 2, ""}, LOCAL), count), 1);
  EXPECT_EQ(std::string(session_table()[1].name_text()), std::string(64, 'n'));
  EXPECT_EQ(session_table()[1].name[63], 'n');  // stored whole, unterminated
}

TEST_F(DiscoveryResponseTest, FullTableIgnoresFurtherRadios) {
  int count = MAX_USER_SESSIONS - 1;
  EXPECT_EQ(accept(response(), count), 0);
  EXPECT_EQ(count, MAX_USER_SESSIONS - 1);
  count = MAX_USER_SESSIONS - 2;
  EXPECT_EQ(accept(response(), count), MAX_USER_SESSIONS - 1);
  EXPECT_EQ(session_table()[MAX_USER_SESSIONS - 1].mac, RADIO);
}

TEST_F(DiscoveryResponseTest, RadioListAdmitsOnlyListedRadios) {
  TempFile list("11\n");  // RADIO's serial number
  capture_stdout([&] { load_radio_list(list.path()); });
  ASSERT_EQ(program_options().list_filter_active, 1);
  int count = 0;
  const Bytes other = identify_response_frame({{{0x02, 0x7A, 0x41, 0, 0, 0x99}}, "other", 2, ""}, LOCAL);
  EXPECT_EQ(accept(other, count), 0);
  EXPECT_EQ(accept(response(), count), 1);
}

TEST_F(DiscoveryResponseTest, ConnectionIdentifiersStayWithinFifteenBits) {
  bool differ = false;
  const int first = new_connection_id();
  for (int i = 0; i < 200; ++i) {
    const int id = new_connection_id();
    EXPECT_GE(id, 0);
    EXPECT_LE(id, 32767);
    differ = differ || id != first;
  }
  EXPECT_TRUE(differ);
}

}  // namespace
}  // namespace orvex::test
