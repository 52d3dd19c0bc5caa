// The frame codec against golden bytes, the payload layouts, and the identify responses discovery records.
#include <gtest/gtest.h>

#include "base/byte_order.hpp"
#include "base/config.hpp"
#include "engine/discover.hpp"
#include "engine/link.hpp"
#include "engine/session_frame.hpp"
#include "tests/support/radio_peer.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

const MacAddress RADIO{{2, 0x7A, 0x42, 0, 0x2C, 0x12}}, LOCAL{{2, 0x11, 0x22, 0x33, 0x44, 0x55}};
const MacAddress OTHER{{2, 0, 0, 0, 0, 6}};

Bytes hex(const std::string& text) {  // "02 7A0D": spaces for reading only
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] != ' ') out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

class FrameTest : public OrvexTest {
 protected:
  void SetUp() override { OrvexTest::SetUp(); e.link.config.local_mac = LOCAL; }
};

TEST_F(FrameTest, BuiltInBothByteOrdersAndTaggedOrRefusedWhenTooLarge) {
  const std::string A = "027A42002C12 021122334455 ", S = " AAAA03027A410001 ";  // addresses; the SNAP header
  struct Case { uint8_t level; int vlan; uint16_t next_pdu; std::string payload, frame; uint32_t tseq_after; };
  const Case cases[] = {
      {2, 0, PDU_DATA, "ls\r", A + "002B" + S + "0001 1234 0000 00000030 00000007 00000003 6C730D", 51},
      // Below level 2 every header field but the 802.3 length goes little-endian.
      {1, 0, PDU_DATA, "ls\r", A + "002B" + S + "0100 3412 0000 30000000 07000000 03000000 6C730D", 51},
      {0, 0, PDU_ACK, "", A + "0028" + S + "0200 3412 0000 30000000 07000000 00000000", 48},
      {2, 5, PDU_ACK, "", A + "81000005 0028" + S + "0002 1234 0000 00000030 00000007 00000000", 48},
  };
  for (const Case& c : cases) {
    e.link.config.vlan_id = c.vlan;
    Session s;
    s.state = SESSION_CONNECTED, s.mac = RADIO, s.protocol_level = c.level, s.cid = 0x1234, s.next_pdu = c.next_pdu;
    s.tseq = 48, s.rseq = 7;
    Bytes frame(FRAME_BUFFER_SIZE);
    int size = static_cast<int>(c.payload.size());
    EXPECT_TRUE(build_frame(frame, s, e.link.config, c.next_pdu, reinterpret_cast<const uint8_t*>(c.payload.data()), size));
    frame.resize(static_cast<size_t>(size) + FRAME_HEADER_SIZE);
    EXPECT_EQ(std::tuple(frame, s.tseq), std::tuple(hex(c.frame), c.tseq_after)) << c.frame;
  }
  const Bytes first = hex(cases[0].frame);
  const auto h = parse_frame(first, UNTAGGED_ONLY);  // always read big-endian
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(std::tuple(h->header.pdu, h->header.cid, h->header.tseq, h->header.rseq, h->header.nbytes, h->whole),
            std::tuple(1, 0x1234, 48u, 7u, 3u, true));
  EXPECT_EQ(Bytes(h->payload.begin(), h->payload.end()), hex("6C730D"));

  Session s;  // too large for the buffer: refused, nothing written, the session unchanged
  e.link.config.vlan_id = 1;
  Bytes payload(MAX_PAYLOAD_SIZE + 1), frame(FRAME_BUFFER_SIZE, 0xEE), one_short(MAX_FRAME_SIZE + 3);
  int too_big = static_cast<int>(payload.size()), tagged = static_cast<int>(MAX_PAYLOAD_SIZE);
  EXPECT_FALSE(build_frame(frame, s, e.link.config, PDU_DATA, payload.data(), too_big));
  EXPECT_FALSE(build_frame(one_short, s, e.link.config, PDU_DATA, payload.data(), tagged));  // one byte short of the tagged frame
  EXPECT_EQ(std::tuple(frame, s.tseq), std::tuple(Bytes(FRAME_BUFFER_SIZE, 0xEE), 0u));
  EXPECT_TRUE(build_frame(frame, s, e.link.config, PDU_DATA, payload.data(), tagged) && tagged + FRAME_HEADER_SIZE == 1518);
}

TEST_F(FrameTest, PayloadLayouts) {
  const auto request = build_connect_request("my pc\a 7", 1), longer = build_connect_request(std::string(80, 'x'), 2);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 6), hex("6D79706337 00"));  // "mypc7": no spaces, no BEL
  EXPECT_EQ(std::tuple(request[47], longer[45], longer[46], longer[47]), std::tuple(1, 'x', 0, 2));  // NUL, level
  const auto response = build_discovery_response("my host\x01\xC8", 0x01020304, "ORVEX 03.05 ");
  EXPECT_EQ(Bytes(response.begin(), response.begin() + 7), hex("6D79686F7374 00"));  // "myhost"
  // The level, the uptime little-endian, the version text.
  EXPECT_EQ(Bytes(response.begin() + 47, response.begin() + 68), hex("02 00000000 04030201 4F5256455820 30332E303520"));
  const DiscoveryResponse read = read_discovery_response(response, 72), cut = read_discovery_response(response, 0);
  EXPECT_EQ(std::tuple(std::string(read.name.data(), read.name_length), read.protocol_level, read.firmware.data()),
            std::tuple("myhost", 2, std::string("ORVEX 03.05 ")));
  const DiscoveryResponse arrived = read_discovery_response(std::span(response.data(), 20), 72);  // 20 of 72 bytes
  EXPECT_EQ(std::tuple(arrived.protocol_level, arrived.firmware, cut.has_name),
            std::tuple(0, std::array<char, 16>{}, false));
  const auto refused = build_file_response({-1, -1}), ok = build_file_response({0, 2700});
  EXPECT_EQ(Bytes(refused.begin(), refused.begin() + 8), hex("FFFFFFFF FFFFFFFF"));
  EXPECT_EQ(Bytes(ok.begin(), ok.begin() + 8), hex("00000000 8C0A0000"));  // little-endian at every level
  EXPECT_EQ(read_file_response(hex("00000000 00000A8C"))->size, 2700);     // read big-endian
  EXPECT_FALSE(read_file_response(hex("000000")).has_value());
}

TEST_F(FrameTest, JudgedOnceForThisStationItsVlanAndWhileConnectedOnlyFromItsRadio) {
  const Bytes data = peer_frame(RADIO, LOCAL, PDU_DATA, 0, 0, 0, text_bytes("ab"));
  const auto changed = [](Bytes f, size_t at, uint8_t value) { return f[at] = value, f; };
  const struct { const char* what; Bytes frame; int vlan; bool taken, whole; } cases[] = {
      {"for this station", data, UNTAGGED_ONLY, true, true},
      {"broadcast", peer_frame(RADIO, MacAddress::broadcast(), PDU_IDENTIFY_REQUEST, 0, 0, 0), UNTAGGED_ONLY, true, true},
      {"for another station", peer_frame(RADIO, OTHER, PDU_DATA, 0, 0, 0), UNTAGGED_ONLY, false, true},
      {"another SNAP header", changed(data, OFFSET_SNAP + 5, 0x42), UNTAGGED_ONLY, false, true},
      {"an Ethernet II type", changed(data, OFFSET_LENGTH, 0x08), UNTAGGED_ONLY, false, true},
      {"shorter than a header", Bytes(data.begin(), data.begin() + 39), UNTAGGED_ONLY, false, true},
      {"NBytes beyond what arrived", peer_frame(RADIO, LOCAL, PDU_DATA, 0, 0, 0, text_bytes("ab"), 3), UNTAGGED_ONLY,
       true, false},
      {"NBytes beyond a payload", peer_frame(RADIO, LOCAL, PDU_DATA, 0, 0, 0, Bytes(1474), 1475), UNTAGGED_ONLY, true,
       false},
      {"tagged without -v", with_vlan_tag(data, 5), UNTAGGED_ONLY, false, true},
      {"tagged with its VLAN id", with_vlan_tag(data, 0xE005), 5, true, true},  // the priority bits do not count
      {"tagged with another VLAN id", with_vlan_tag(data, 7), 5, false, true},
      {"tagged for another station", with_vlan_tag(peer_frame(RADIO, OTHER, PDU_DATA, 0, 0, 0), 5), 5, false, true},
      {"untagged with -v", data, 5, true, true},
  };
  for (const auto& c : cases) {
    const auto f = judge_frame(c.frame, LOCAL, c.vlan);
    EXPECT_EQ(f.has_value(), c.taken) << c.what;
    if (f) {
      EXPECT_EQ(f->whole, c.whole) << c.what;
    }
  }
  const auto parsed = [](const Bytes& f) { return *parse_frame(f, UNTAGGED_ONLY); };
  e.sessions[3].mac = RADIO, e.connection.active_session = 3;
  const Bytes from_other = peer_frame(OTHER, LOCAL, PDU_DATA, 0, 0, 0), asking = peer_frame(OTHER, LOCAL, PDU_IDENTIFY_REQUEST, 0, 0, 0);
  for (int32_t state : {SESSION_FOUND, SESSION_CONNECTED, SESSION_TRANSFER, SESSION_CLOSED}) {
    e.sessions[3].state = state;
    const bool up = state == SESSION_CONNECTED || state == SESSION_TRANSFER;
    EXPECT_TRUE(from_connected_radio(e.connection, parsed(data)));
    EXPECT_EQ(from_connected_radio(e.connection, parsed(from_other)), !up) << state;
    EXPECT_TRUE(from_connected_radio(e.connection, parsed(asking)));
  }
}

TEST_F(FrameTest, IdentifyResponsesRecordedOrNot) {
  auto response = [](const std::string& name, const MacAddress& to = LOCAL) {
    return identify_response_frame({OTHER, name, 2, ""}, to);
  };
  auto changed = [&](Bytes frame, size_t at, uint16_t value, bool big_endian = true) {
    big_endian ? put_be16(&frame[at], value) : put_le16(&frame[at], value);
    return frame;
  };
  const Bytes r = response("r"), tagged = with_vlan_tag(r, 7), cut(tagged.begin(), tagged.begin() + 42);  // header cut
  const int last = MAX_USER_SESSIONS - 1;
  struct Case { Bytes frame; int count, result; std::string stored, printed = ""; };  // stored: entry count + 1's name
  const Case cases[] = {
      {response("r", MacAddress::broadcast()), 0, -1, ""}, {response("r", RADIO), 0, -1, ""},
      {changed(r, OFFSET_SNAP + 4, 0x4299), 0, -1, ""}, {changed(r, OFFSET_LENGTH, 1515), 0, -1, ""},
      {changed(tagged, OFFSET_LENGTH + 4, 1515), 0, -1, ""}, {cut, 0, -1, ""},
      {changed(r, OFFSET_PDU, PDU_DATA), 0, 0, ""}, {changed(r, OFFSET_PDU, PDU_IDENTIFY_RESPONSE, false), 0, 0, ""},
      {response(std::string(70, 'n')), 0, 1, std::string(64, 'n')},  // the name is bounded
      {with_vlan_tag(r, 0xE00C), 0, 1, "r", "Saw VLAN tag 57356\n"},  // the whole tag, priority bits too
      {r, last - 1, last, "r"}, {r, last, 0, ""},                     // the table is full
  };
  for (const Case& c : cases) {
    Config options;
    options.local_mac = LOCAL;
    RecordingView seen;
    const Link link(options, seen, clock);
    auto table = std::make_unique<SessionTable>();  // no radio recorded yet
    int count = c.count, result = 0;
    const std::string out = view_text(seen, [&] {
      result = accept_discovery_response(link, *table, c.frame.data(), static_cast<int>(c.frame.size()), count);
    });
    const std::string stored = (*table)[std::min(c.count + 1, last)].name_text();
    EXPECT_EQ(std::tuple(result, out, count, stored),
              std::tuple(c.result, c.printed, c.result > 0 ? c.result : c.count, c.stored)) << &c - cases;
  }
}

}  // namespace
}  // namespace orvex::test
