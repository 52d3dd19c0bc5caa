// The reliable send over the in-memory wire, with virtual time: the
// retransmission schedule, giving up, and the frames that go out only once.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "engine/epacket.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/test_state.hpp"
#include "tests/support/radio_peer.hpp"

namespace orvex::test {
namespace {

const MacAddress LOCAL{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const MacAddress RADIO{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x0B}};
constexpr int ENTRY = 3;
constexpr uint16_t CID = 0x1111;

// Transmission times of a data frame nobody acknowledges, and the end.
const std::vector<uint64_t> SCHEDULE = {0, 300, 690, 1197, 1856, 2712, 3824, 5269, 7147, 9588, 12761, 16885};
constexpr uint64_t GIVE_UP_MS = 22246;

const std::string NOTICE = "Retransmitting data ... please wait\n";
const std::string GIVE_UP_LINES =
    "\nError: Max number of retransmissions has been reached.\nUnable to transfer packet ...\n";
const std::string UNABLE_TO_SEND = "Error: Unable to send data\nTerminating application ...\n";

int g_forget_calls = 0;
void count_forget() { ++g_forget_calls; }

struct Outcome {
  int result = -1;
  bool exited = false;
  int exit_status = -1;
  std::string output;
};

class ReliableSendTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();  // before the clock and the wire: it resets both
    fake_clock_.emplace();
    radio_.emplace();
    local_mac_address() = LOCAL;
    // As after a connection set-up: only the connection's entry keeps an identifier.
    SessionTable& table = session_table();
    for (Session& s : table.entries) s.cid = CID_NONE;
    Session& s = table[ENTRY];
    s.mac = RADIO;
    s.cid = CID;
    s.protocol_level = 2;
    s.tseq = 1;
    s.next_pdu = PDU_DATA;
    s.state = SESSION_CONNECTED;
    connection_globals().session_established = 1;
    run_state().chosen_radio = ENTRY;
    g_forget_calls = 0;
    set_forget_duplicate_memory(count_forget);
  }
  void TearDown() override {
    set_forget_duplicate_memory(nullptr);
    OrvexTest::TearDown();
  }

  Session& entry() { return session_table()[ENTRY]; }

  template <typename F>
  Outcome run(F&& body) {
    Outcome o;
    ::testing::internal::CaptureStdout();
    try {
      o.result = body();
    } catch (const ProcessExit& e) {
      o.exited = true;
      o.exit_status = e.status;
    }
    o.output = ::testing::internal::GetCapturedStdout();
    return o;
  }

  Outcome send_text(const std::string& text) {
    return run([&] {
      return ESend(entry(), reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    });
  }

  std::optional<ScopedFakeClock> fake_clock_;
  TerminationCatcher catcher_;
  std::optional<WireRadio> radio_;
};

// Checks the twelve transmissions of one data frame and the disconnect after them.
void expect_silent_radio_traffic(const std::vector<PeerFrame>& sent) {
  ASSERT_EQ(sent.size(), SCHEDULE.size() + 1);
  for (size_t i = 0; i < SCHEDULE.size(); ++i) {
    EXPECT_EQ(sent[i].bytes, sent[0].bytes) << "transmission " << i;
    EXPECT_EQ(sent[i].at_ms, SCHEDULE[i]) << "transmission " << i;
  }
  EXPECT_EQ(sent[0].pdu, PDU_DATA);
  EXPECT_EQ(sent[0].tseq, 1u);
  const PeerFrame& bye = sent.back();
  EXPECT_EQ(bye.at_ms, GIVE_UP_MS);
  EXPECT_EQ(bye.pdu, PDU_DISCONNECT);
  EXPECT_EQ(bye.cid, CID);
  EXPECT_EQ(bye.destination, RADIO);
  EXPECT_EQ(bye.nbytes, 0u);
  EXPECT_EQ(bye.bytes.size(), FRAME_HEADER_SIZE);
}

TEST_F(ReliableSendTest, SilentRadioEndsTheProgramWithReason25AfterTwelveTransmissions) {
  const Outcome o = send_text("hello");
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.exit_status, 0);
  EXPECT_EQ(o.output, NOTICE + GIVE_UP_LINES + UNABLE_TO_SEND);
  expect_silent_radio_traffic(radio_->sent());
  EXPECT_EQ(entry().state, SESSION_CLOSED);
  EXPECT_EQ(entry().cid, CID_CLOSED);
  EXPECT_EQ(connection_globals().session_established, 0);
  EXPECT_EQ(g_forget_calls, 1);
}

TEST_F(ReliableSendTest, SilentRadioInBatchModeGivesResultZero) {
  program_options().batch_mode = 1;
  const Outcome o = send_text("hello");
  EXPECT_FALSE(o.exited);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.output, NOTICE + GIVE_UP_LINES);
  expect_silent_radio_traffic(radio_->sent());
  EXPECT_EQ(entry().state, SESSION_CLOSED);
}

TEST_F(ReliableSendTest, NoticeFollowsTheFifthRetransmissionDiagnostic) {
  program_options().batch_mode = 1;
  program_options().diagnostic_level = 1;
  const Outcome o = send_text("hello");
  // TSEQ is the session's, already past the frame's five bytes.
  const std::string line = "\nRetransmitting data: ESend: PDU 1 TSEQ: 6 size 5\n";
  std::string expected;
  for (int i = 1; i <= 11; ++i) {
    expected += line;
    if (i == 5) expected += NOTICE;
  }
  EXPECT_EQ(o.output, expected + GIVE_UP_LINES);
  EXPECT_EQ(radio_->sent()[5].at_ms, 2712u);  // the fifth retransmission
}

TEST_F(ReliableSendTest, AcknowledgementDuringTheLastWaitCounts) {
  int data_frames = 0;
  radio_->on_frame = [&](const PeerFrame& f) {
    if (f.pdu == PDU_DATA && ++data_frames == 12) session_events().ack_event.set();
  };
  const Outcome o = send_text("hello");
  EXPECT_FALSE(o.exited);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.output, NOTICE);
  EXPECT_EQ(radio_->sent().size(), 12u);
  EXPECT_TRUE(radio_->sent_with_pdu(PDU_DISCONNECT).empty());
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
}

TEST_F(ReliableSendTest, AnsweredDataReturnsAfterOneTransmission) {
  radio_->on_frame = [](const PeerFrame&) { session_events().ack_event.set(); };
  const Outcome o = send_text("hello");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.output, "");
  ASSERT_EQ(radio_->sent().size(), 1u);
  EXPECT_EQ(radio_->sent()[0].payload, Bytes({'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(entry().tseq, 6u);
}

TEST_F(ReliableSendTest, PendingSignalSatisfiesTheNextDataSend) {
  session_events().ack_event.set();
  const Outcome o = send_text("x");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(radio_->sent().size(), 1u);
  EXPECT_EQ(clock().now_ms(), 0u);
}

TEST_F(ReliableSendTest, FramesWithoutAcknowledgementGoOutOnce) {
  struct Case {
    const char* what;
    uint16_t pdu;
    int size;
    bool temporary;
  };
  const Case cases[] = {
      {"acknowledgement", PDU_ACK, 0, false},
      {"disconnect", PDU_DISCONNECT, 0, false},
      {"connect request", PDU_CONNECT_REQUEST, 48, false},
      {"identify response", PDU_IDENTIFY_RESPONSE, 72, true},
      {"empty file block", PDU_FILE_DATA, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = radio_->sent().size();
    Session temporary;
    temporary.mac = RADIO;
    temporary.protocol_level = 2;
    Session& s = c.temporary ? temporary : entry();
    s.next_pdu = c.pdu;
    const std::vector<uint8_t> payload(static_cast<size_t>(c.size), 0x41);
    const Outcome o = run([&] { return ESend(s, payload.data(), c.size); });
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.output, "");
    const auto sent = radio_->sent();
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().nbytes, static_cast<uint32_t>(c.size));
    EXPECT_EQ(clock().now_ms(), 0u);
  }
}

TEST_F(ReliableSendTest, LargestPayloadIsSentAndOneMoreByteStopsTheProgram) {
  program_options().diagnostic_level = 1;
  session_events().ack_event.set();
  const std::vector<uint8_t> payload(1475, 0x5A);
  const Outcome largest = run([&] { return ESend(entry(), payload.data(), 1474); });
  EXPECT_EQ(largest.result, 1);
  EXPECT_EQ(largest.output, "Hi\n");
  ASSERT_EQ(radio_->sent().size(), 1u);
  EXPECT_EQ(radio_->sent()[0].bytes.size(), 1514u);

  const Outcome too_large = run([&] { return ESend(entry(), payload.data(), 1475); });
  ASSERT_TRUE(too_large.exited);
  EXPECT_EQ(too_large.output.rfind(
                "Assertion failed: payload_size <= (1500 - ORVEX_HEADER_SIZE), file epacket.cpp, line ", 0),
            0u)
      << too_large.output;
  EXPECT_EQ(radio_->sent().size(), 1u);
}

TEST_F(ReliableSendTest, HiOnlyAboveOneHundredBytesWithDiagnostics) {
  const std::vector<uint8_t> payload(101, 0x5A);
  for (int level : {0, 1}) {
    for (int size : {100, 101}) {
      program_options().diagnostic_level = level;
      session_events().ack_event.set();
      const Outcome o = run([&] { return ESend(entry(), payload.data(), size); });
      EXPECT_EQ(o.output, level != 0 && size > 100 ? "Hi\n" : "") << "level " << level << " size " << size;
    }
  }
}

TEST_F(ReliableSendTest, StopDuringAWaitReturnsWithoutGivingUp) {
  int data_frames = 0;
  radio_->on_frame = [&](const PeerFrame& f) {
    if (f.pdu == PDU_DATA && ++data_frames == 2) wake_all_for_stop();
  };
  const Outcome o = send_text("hello");
  EXPECT_FALSE(o.exited);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.output, "");
  EXPECT_EQ(radio_->sent().size(), 2u);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(g_forget_calls, 0);
}

TEST_F(ReliableSendTest, DisconnectOfTheChosenRadio) {
  disconnect_session(-1);
  const auto sent = radio_->sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu, PDU_DISCONNECT);
  EXPECT_EQ(sent[0].tseq, 1u);
  EXPECT_EQ(entry().state, SESSION_CLOSED);
  EXPECT_EQ(entry().cid, CID_CLOSED);
  EXPECT_EQ(connection_globals().session_established, 0);
  EXPECT_EQ(g_forget_calls, 1);
}

TEST_F(ReliableSendTest, ErrorReportCarriesTheTextAndItsNulAndWaits) {
  entry().state = SESSION_TRANSFER;
  int data_frames = 0;
  radio_->on_frame = [&](const PeerFrame& f) {
    if (f.pdu == PDU_ERROR && ++data_frames == 2) session_events().ack_event.set();
  };
  send_error_report(ENTRY, "no file");
  const auto sent = radio_->sent_with_pdu(PDU_ERROR);
  ASSERT_EQ(sent.size(), 2u);  // retransmitted until acknowledged
  EXPECT_EQ(sent[0].payload, Bytes({'n', 'o', ' ', 'f', 'i', 'l', 'e', 0}));
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(entry().tseq, 9u);
}

}  // namespace
}  // namespace orvex::test
