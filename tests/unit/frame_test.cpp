#include <gtest/gtest.h>

#include <vector>

#include "base/settings.hpp"
#include "wire/frame.hpp"
#include "engine/session_frame.hpp"
#include "tests/support/radio_peer.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

using test::Bytes;

const MacAddress kRadio{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}};
const MacAddress kLocal{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};
const MacAddress kOther{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x06}};

class FrameTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    test::OrvexTest::SetUp();
    local_mac_address() = kLocal;
  }

  static Session connected_session(uint8_t level) {
    Session s;
    s.state = SESSION_CONNECTED;
    s.mac = kRadio;
    s.protocol_level = level;
    s.cid = 0x1234;
    s.next_pdu = PDU_DATA;
    s.tseq = 48;
    s.rseq = 7;
    return s;
  }

  static Bytes build(Session& s, const Bytes& payload) {
    Bytes frame(FRAME_BUFFER_SIZE);
    int size = static_cast<int>(payload.size());
    EXPECT_TRUE(build_frame(frame, s, payload.data(), size));
    frame.resize(static_cast<size_t>(size) + FRAME_HEADER_SIZE);
    return frame;
  }

  // A frame as a radio sends it: header big-endian.
  static Bytes radio_frame(const MacAddress& from, const MacAddress& to, uint16_t pdu) {
    return test::peer_frame(from, to, pdu, 0, 0, 0);
  }

  // Taken by the frame input and then by the receive dispatch.
  static bool accepted(const Bytes& f) {
    return accept_frame(f, local_mac_address(), program_options().diagnostic_level >= 4) && from_connected_radio(f);
  }

  static Bytes slice(const Bytes& b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); }
};

TEST_F(FrameTest, HeaderByteOrderFollowsTheProtocolLevel) {
  const Bytes payload = {'l', 's', '\r'};
  Session level1 = connected_session(1);
  const Bytes f1 = build(level1, payload);
  EXPECT_EQ(slice(f1, 28, 4), (Bytes{0x30, 0x00, 0x00, 0x00}));  // TSEQ 48 little-endian
  EXPECT_EQ(slice(f1, 22, 2), (Bytes{0x01, 0x00}));
  EXPECT_EQ(slice(f1, 24, 2), (Bytes{0x34, 0x12}));
  EXPECT_EQ(slice(f1, 36, 4), (Bytes{0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(slice(f1, 12, 2), (Bytes{0x00, 43}));  // the length field is big-endian at every level

  Session level2 = connected_session(2);
  const Bytes f2 = build(level2, payload);
  EXPECT_EQ(slice(f2, 28, 4), (Bytes{0x00, 0x00, 0x00, 0x30}));
  EXPECT_EQ(slice(f2, 32, 4), (Bytes{0x00, 0x00, 0x00, 0x07}));
  EXPECT_EQ(slice(f2, 22, 2), (Bytes{0x00, 0x01}));

  // The whole layout of the level-2 frame.
  const Bytes expected = {0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 43,
                          0xAA, 0xAA, 0x03, 0x02, 0x7A, 0x41, 0x00, 0x01, 0x00, 0x01, 0x12, 0x34, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x03, 'l',  's',
                          '\r'};
  EXPECT_EQ(f2, expected);
  EXPECT_EQ(level2.tseq, 51u);
  EXPECT_EQ(level2.last_nbytes, 3u);

  // What the program reads back is always big-endian.
  const auto h = read_frame_header(f2);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->tseq, 48u);
  EXPECT_EQ(h->nbytes, 3u);
  EXPECT_EQ(h->cid, 0x1234);
}

TEST_F(FrameTest, AcknowledgementIsFortyBytesAndLeavesTseq) {
  Session s = connected_session(2);
  s.next_pdu = PDU_ACK;
  const Bytes ack = build(s, {});
  EXPECT_EQ(ack.size(), 40u);
  EXPECT_EQ(slice(ack, 22, 2), (Bytes{0x00, 0x02}));
  EXPECT_EQ(s.tseq, 48u);

  program_options().vlan_id = 5;
  const Bytes full = build(s, {});
  EXPECT_EQ(full.size(), 44u);
  EXPECT_EQ(slice(full, 12, 4), (Bytes{0x81, 0x00, 0x00, 0x05}));
  EXPECT_EQ(slice(full, 16, 2), (Bytes{0x00, 40}));
  EXPECT_EQ(s.tseq, 48u);
  EXPECT_EQ(slice(full, 18, 8), Bytes(SNAP_HEADER.begin(), SNAP_HEADER.end()));
}

TEST_F(FrameTest, PduTypeIsSettledFromStateAndPayload) {
  struct Case {
    int32_t state;
    uint16_t next_pdu;
    bool payload;
    uint16_t expected;
  };
  const Case cases[] = {
      {SESSION_CONNECTED, PDU_ACK, true, PDU_DATA},       // typed data on a connection
      {SESSION_TRANSFER, PDU_ACK, true, PDU_FILE_DATA},   // a file block
      {SESSION_CONNECTED, PDU_DATA, false, PDU_ACK},      // empty on a connection: acknowledgement
      {SESSION_CONNECTED, PDU_DISCONNECT, false, PDU_DISCONNECT},
      {SESSION_FOUND, PDU_CONNECT_REQUEST, true, PDU_CONNECT_REQUEST},
      {SESSION_EMPTY, PDU_DISCOVERY_REQUEST, false, PDU_DISCOVERY_REQUEST},
      {SESSION_TRANSFER, PDU_ACK, false, PDU_ACK},
  };
  for (const Case& c : cases) {
    Session s = connected_session(2);
    s.state = c.state;
    s.next_pdu = c.next_pdu;
    const Bytes f = build(s, c.payload ? Bytes{1, 2} : Bytes{});
    EXPECT_EQ(s.next_pdu, c.expected) << "state " << c.state << " pdu " << c.next_pdu;
    EXPECT_EQ((f[22] << 8) | f[23], c.expected);
  }
}

TEST_F(FrameTest, BuilderRefusesWhatDoesNotFit) {
  Session s = connected_session(2);
  Bytes payload(MAX_PAYLOAD_SIZE + 1, 0x55);
  Bytes frame(FRAME_BUFFER_SIZE, 0xEE);
  int size = static_cast<int>(payload.size());
  EXPECT_FALSE(build_frame(frame, s, payload.data(), size));
  EXPECT_EQ(frame, Bytes(FRAME_BUFFER_SIZE, 0xEE));
  EXPECT_EQ(s.tseq, 48u);

  program_options().vlan_id = 1;
  size = static_cast<int>(MAX_PAYLOAD_SIZE);
  Bytes small(MAX_FRAME_SIZE + 3);  // one byte short of the tagged frame
  EXPECT_FALSE(build_frame(small, s, payload.data(), size));

  size = static_cast<int>(MAX_PAYLOAD_SIZE);
  EXPECT_TRUE(build_frame(frame, s, payload.data(), size));
  EXPECT_EQ(size + 40, 1518);
}

TEST_F(FrameTest, AcceptanceFiltersDestinationSnapAndSource) {
  // PDU 1 to a foreign destination: rejected before the SNAP header is looked at,
  // as the address trace shows.
  program_options().diagnostic_level = 4;
  Bytes foreign = radio_frame(kRadio, kOther, PDU_DATA);
  foreign[14] = 0;  // a broken SNAP header must not matter
  const std::string trace = test::capture_stdout([&] { EXPECT_FALSE(accepted(foreign)); });
  EXPECT_NE(trace.find("TRC04 wrong MAC addr 02:7A:42:00:00:06   my MAC addr is 02:11:22:33:44:55\n"),
            std::string::npos);
  EXPECT_EQ(trace.find("TRC05"), std::string::npos);
  program_options().diagnostic_level = 0;

  Bytes no_snap = radio_frame(kRadio, kLocal, PDU_DATA);
  no_snap[19] = 0x42;
  EXPECT_FALSE(accepted(no_snap));

  // Before any connection every source passes, broadcast included.
  EXPECT_TRUE(accepted(radio_frame(kOther, kLocal, PDU_DATA)));
  EXPECT_TRUE(accepted(radio_frame(kOther, MacAddress::broadcast(), PDU_IDENTIFY_REQUEST)));

  // While connected to entry 3, only its radio, or an identify request, passes.
  session_table()[3].mac = kRadio;
  session_table()[3].state = SESSION_CONNECTED;
  connection_globals().active_session = 3;
  EXPECT_TRUE(accepted(radio_frame(kRadio, kLocal, PDU_DATA)));
  EXPECT_TRUE(accepted(radio_frame(kOther, kLocal, PDU_IDENTIFY_REQUEST)));
  EXPECT_FALSE(accepted(radio_frame(kOther, kLocal, PDU_DISCOVERY_REQUEST)));
  EXPECT_FALSE(accepted(radio_frame(kOther, kLocal, PDU_DATA)));
  session_table()[3].state = SESSION_TRANSFER;
  EXPECT_FALSE(accepted(radio_frame(kOther, kLocal, PDU_ACK)));
  session_table()[3].state = SESSION_CLOSED;
  EXPECT_TRUE(accepted(radio_frame(kOther, kLocal, PDU_ACK)));

  EXPECT_FALSE(accepted(Bytes(23, 0xFF)));  // too short to hold a PDU type
}

TEST_F(FrameTest, TaggedFramesLoseTheirTagWhateverItsValue) {
  Bytes plain = radio_frame(kRadio, kLocal, PDU_DATA);
  for (uint16_t tag : {uint16_t{5}, uint16_t{0x0FFF}, uint16_t{0xE123}}) {
    const Bytes tagged = test::with_vlan_tag(plain, tag);

    program_options().vlan_id = 0;
    EXPECT_FALSE(vlan_tagged(tagged, program_options().vlan_id));  // no VLAN id: nothing counts as tagged
    program_options().vlan_id = 5;
    ASSERT_TRUE(vlan_tagged(tagged, program_options().vlan_id));
    Bytes out(1640);
    int length = static_cast<int>(tagged.size());
    strip_vlan_tag(out, tagged, length, program_options().vlan_id);
    ASSERT_EQ(length, 40);
    out.resize(40);
    EXPECT_EQ(out, plain);
    EXPECT_TRUE(accepted(out));
  }
  // An untagged frame is copied unchanged, and never beyond the destination.
  Bytes out(30);
  int length = static_cast<int>(plain.size());
  strip_vlan_tag(out, plain, length, program_options().vlan_id);
  EXPECT_EQ(length, 30);
  Bytes tiny = {0x01, 0x02, 0x81, 0x00};
  Bytes dst(8);
  length = 4;
  strip_vlan_tag(dst, tiny, length, program_options().vlan_id);
  EXPECT_EQ(length, 4);
}

TEST_F(FrameTest, PayloadLayouts) {
  const auto request = build_connect_request("field laptop\a 7", 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(request.data())), "fieldlaptop7");
  EXPECT_EQ(request[47], 1);
  const auto long_request = build_connect_request(std::string(80, 'x'), 2);
  EXPECT_EQ(long_request[46], 0);  // the name's NUL stays before the level byte
  EXPECT_EQ(long_request[47], 2);

  const auto response = build_discovery_response("my host\x01\xC8", 0x01020304, "ORVEX 03.05 ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.data())), "myhost");
  EXPECT_EQ(response[47], 2);
  EXPECT_EQ(slice(Bytes(response.begin(), response.end()), 52, 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.data()) + 56, 12), "ORVEX 03.05 ");

  const DiscoveryResponse read = read_discovery_response(response, 72);
  EXPECT_TRUE(read.has_name);
  EXPECT_EQ(std::string(read.name.data(), read.name_length), "myhost");
  EXPECT_EQ(read.protocol_level, 2);
  EXPECT_EQ(std::string(read.firmware.data(), 12), "ORVEX 03.05 ");

  // NBytes claims 72 but only 20 bytes arrived: nothing beyond them is read.
  Bytes short_payload(response.begin(), response.begin() + 20);
  const DiscoveryResponse cut = read_discovery_response(short_payload, 72);
  EXPECT_EQ(cut.protocol_level, 0);
  EXPECT_EQ(cut.firmware, (std::array<char, 16>{}));
  EXPECT_FALSE(read_discovery_response(response, 0).has_name);

  const auto file = build_file_response({-1, -1});
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  const auto ok = build_file_response({0, 2700});
  EXPECT_EQ(Bytes(ok.begin(), ok.begin() + 8), (Bytes{0, 0, 0, 0, 0x8C, 0x0A, 0, 0}));
  const Bytes received = {0, 0, 0, 0, 0, 0, 0x0A, 0x8C};
  EXPECT_EQ(read_file_response(received)->size, 2700);
  EXPECT_FALSE(read_file_response(Bytes{0, 0, 0}).has_value());
}

}  // namespace
}  // namespace orvex
