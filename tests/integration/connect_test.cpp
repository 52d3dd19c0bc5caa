// Connection set-up over the in-memory wire, on a thread that receives by
// itself (no session workers yet).
#include <gtest/gtest.h>

#include "base/settings.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "wire/frame.hpp"
#include "engine/session_table.hpp"
#include "link/frame_io.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

class ConnectTest : public EngineTest {
 protected:
  Session& entry() { return session_table()[RADIO_ENTRY]; }
  std::vector<PeerFrame> requests(const RadioPeer::Snapshot& seen) {
    std::vector<PeerFrame> out;
    for (const PeerFrame& f : seen.frames) {
      if (f.pdu == PDU_CONNECT_REQUEST) out.push_back(f);
    }
    return out;
  }
};

TEST_F(ConnectTest, AnAnswerWithin700MsMeansExactlyOneRequest) {
  add_radio(2);
  int result = 0;
  const std::string out = capture_stdout([&] { result = connect_session(RADIO_ENTRY); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "Connection with device [1] established successfully. Press F1 for help\n");
  const auto seen = radio->snapshot();
  ASSERT_EQ(requests(seen).size(), 1u);
  EXPECT_EQ(requests(seen)[0].nbytes, 48u);
  EXPECT_EQ(requests(seen)[0].tseq, 1u);
  EXPECT_EQ(entry().tseq, 1u);
  EXPECT_EQ(entry().rseq, 0u);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(connection_globals().active_session, RADIO_ENTRY);
  EXPECT_EQ(connection_globals().session_established, 1);
}

TEST_F(ConnectTest, ASilentRadioGetsARepetitionAfterEach700MsAndTheSetUpGivesUpAfter5000Ms) {
  add_radio(2);
  radio->connect_answer = RadioPeer::ConnectAnswer::Silent;
  const uint64_t start = fake_clock().now_ms();
  EXPECT_EQ(connect_session(RADIO_ENTRY), 0);
  const uint64_t elapsed = fake_clock().now_ms() - start;
  EXPECT_GE(elapsed, 5000u);
  const auto seen = radio->snapshot();
  // Each receive waits out 1000 ms and more: with reads of 300 ms every
  // receive takes 1500 ms, and the repetition test after the receive that
  // ends at 6000 ms still comes before the time limit is looked at.
  ASSERT_EQ(seen.connect_times.size(), 5u);
  EXPECT_EQ(seen.connect_times[4] - seen.connect_times[0], 6000u);
  for (size_t i = 1; i < seen.connect_times.size(); ++i) {
    EXPECT_GT(seen.connect_times[i] - seen.connect_times[i - 1], 700u);
  }
  for (const PeerFrame& f : requests(seen)) {
    EXPECT_EQ(f.cid, requests(seen)[0].cid) << "repetitions carry the same identifier";
    EXPECT_EQ(f.tseq, 1u);
    EXPECT_EQ(f.rseq, 0u);
  }
  EXPECT_EQ(entry().state, SESSION_FOUND);
  EXPECT_EQ(entry().tseq, 1u);
}

TEST_F(ConnectTest, AnAnswerByDataEstablishesAndIsShown) {
  add_radio(2);
  radio->connect_answer = RadioPeer::ConnectAnswer::Data;
  int result = 0;
  const std::string out = capture_stdout([&] { result = connect_session(RADIO_ENTRY); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "Connection with device [1] established successfully. Press F1 for help\nhello\r\n");
  EXPECT_EQ(entry().rseq, 7u);
  const auto seen = radio->snapshot();
  ASSERT_FALSE(seen.frames.empty());
  EXPECT_EQ(seen.frames.back().pdu, PDU_ACK);
  EXPECT_EQ(seen.frames.back().rseq, 7u);
}

TEST_F(ConnectTest, Level0And1RadiosGetALittleEndianHeaderWithTheirLevelInByte47) {
  for (uint8_t level : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
    add_radio(level);
    wire->clear_sent();
    ASSERT_EQ(connect_session(RADIO_ENTRY), 1) << int{level};
    const auto raw = wire->sent();
    ASSERT_FALSE(raw.empty());
    const Bytes& f = raw[0];
    ASSERT_EQ(f.size(), 88u);
    const bool little = level < 2;
    EXPECT_EQ(f[22], little ? 6 : 0) << int{level};
    EXPECT_EQ(f[23], little ? 0 : 6) << int{level};
    EXPECT_EQ(f[28], little ? 1 : 0) << int{level};
    EXPECT_EQ(f[31], little ? 0 : 1) << int{level};
    EXPECT_EQ(f[12], 0);
    EXPECT_EQ(f[13], 88);  // the length field is big-endian always
    EXPECT_STREQ(reinterpret_cast<const char*>(f.data() + 40), "benchhost");
    EXPECT_EQ(f[40 + 47], level);
  }
}

TEST_F(ConnectTest, EverySetUpDrawsAFreshIdentifierAndSetsTheOtherEntriesAside) {
  add_radio(2);
  Session& found = session_table()[2];
  found.state = SESSION_FOUND;
  found.cid = 77;
  ASSERT_EQ(connect_session(RADIO_ENTRY), 1);
  const uint16_t first = entry().cid;
  EXPECT_EQ(found.state, SESSION_CLOSED);
  EXPECT_EQ(found.cid, CID_NONE);
  EXPECT_EQ(session_table()[3].state, SESSION_EMPTY);
  EXPECT_EQ(session_table()[3].cid, CID_NONE);

  ASSERT_EQ(connect_session(RADIO_ENTRY), 1);
  const uint16_t second = entry().cid;
  EXPECT_NE(first, second);
  const PeerBytes stale = peer_frame(RADIO_MAC, LOCAL_MAC, PDU_DATA, first, 0, 1, text_bytes("old"));
  EXPECT_EQ(dispatch_frame(stale.data(), static_cast<int>(stale.size())), DISPATCH_UNKNOWN_SESSION);
}

TEST_F(ConnectTest, AfterARestoreAnAcceptAloneConnectsAgain) {
  TerminationCatcher catcher;
  add_radio(2);
  ASSERT_EQ(connect_session(RADIO_ENTRY), 1);
  radio->send_frame(PDU_RESTORE, {}, false);
  std::array<uint8_t, 1640> buffer{};
  capture_stdout([&] {
    const int n = receive_frame(buffer);
    ASSERT_GT(n, 0);
    dispatch_frame(buffer.data(), n);
  });
  EXPECT_EQ(run_state().restore_requested, 1);
  EXPECT_EQ(connection_globals().session_established, 1) << "a restore does not disconnect";
  EXPECT_EQ(connect_session(RADIO_ENTRY), 1);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
}

}  // namespace
}  // namespace orvex::test
