// The receive dispatcher over the in-memory wire: what the radio sees and what
// the operator sees for each kind of frame.
#include <gtest/gtest.h>

#include <cstring>

#include "base/settings.hpp"
#include "engine/dispatch.hpp"
#include "engine/epacket.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

class DispatchTest : public EngineTest {
 protected:
  int feed(uint16_t pdu, const PeerBytes& payload, uint32_t tseq, uint32_t rseq,
           std::optional<uint32_t> nbytes = std::nullopt, const MacAddress& source = RADIO_MAC,
           uint16_t cid = RADIO_CID) {
    const PeerBytes frame = peer_frame(source, LOCAL_MAC, pdu, cid, tseq, rseq, payload, nbytes);
    return dispatch_frame(frame.data(), static_cast<int>(frame.size()));
  }
  Session& entry() { return session_table()[RADIO_ENTRY]; }
};

TEST_F(DispatchTest, DataInOrderIsShownAndAcknowledgedOnceRepeatsAndGapsAreNot) {
  connect_radio(2);
  int result = 0;
  EXPECT_EQ(capture_stdout([&] { result = feed(PDU_DATA, text_bytes("ok"), 0, 1); }), "ok");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(entry().rseq, 2u);
  auto sent = sent_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu, PDU_ACK);
  EXPECT_EQ(sent[0].rseq, 2u);
  EXPECT_EQ(sent[0].nbytes, 0u);

  struct Case {
    const char* what;
    uint32_t tseq;
    const char* text;
    size_t acks;
  } cases[] = {
      {"the same frame again", 0, "ok", 1},
      {"an empty frame in order", 2, "", 0},
      {"a frame beyond a gap", 7, "zz", 1},
  };
  for (const Case& c : cases) {
    wire->clear_sent();
    EXPECT_EQ(capture_stdout([&] { feed(PDU_DATA, text_bytes(c.text), c.tseq, 1); }), "") << c.what;
    EXPECT_EQ(entry().rseq, 2u) << c.what;
    sent = sent_frames();
    ASSERT_EQ(sent.size(), c.acks) << c.what;
    for (const PeerFrame& f : sent) {
      EXPECT_EQ(f.pdu, PDU_ACK) << c.what;
      EXPECT_EQ(f.rseq, 2u) << c.what;
    }
  }
}

TEST_F(DispatchTest, OnlyAnAcknowledgementCoveringEverythingSentWakesTheSenderAndOnlyOnce) {
  connect_radio(2);
  entry().tseq = 10;
  SessionEvents& events = session_events();
  EXPECT_EQ(feed(PDU_ACK, {}, 0, 5), 1);
  EXPECT_FALSE(events.ack_event.reset()) << "below tseq";
  EXPECT_EQ(feed(PDU_ACK, {}, 0, 10), 1);
  EXPECT_TRUE(events.ack_event.reset()) << "equal to tseq";
  EXPECT_EQ(feed(PDU_ACK, {}, 0, 10), 1);
  EXPECT_FALSE(events.ack_event.reset()) << "the same acknowledgement again";
  EXPECT_TRUE(sent_frames().empty());
}

TEST_F(DispatchTest, ErrorDuringTransferPrintsBothLinesAndEndsThePendingWait) {
  connect_radio(2);
  entry().state = SESSION_TRANSFER;
  const PeerBytes text = {'d', 'i', 's', 'k', ' ', 'f', 'u', 'l', 'l', 0};
  const std::string out = capture_stdout([&] { feed(PDU_ERROR, text, 0, 1); });
  EXPECT_EQ(out,
            "\nError!! File transfer failed on server side. Please try again\n"
            "Error description: disk full\n");
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(entry().rseq, 10u);
  EXPECT_TRUE(session_events().ack_event.reset());
  EXPECT_TRUE(sent_frames().empty()) << "an error report is not acknowledged";
}

TEST_F(DispatchTest, UnknownPduTypeChangesNothingButTheIdleCount) {
  connect_radio(2);
  transfer_state().transfer_idle_count = 5;
  EXPECT_EQ(feed(14, {}, 0, 1), DISPATCH_UNKNOWN_PDU);
  EXPECT_EQ(transfer_state().transfer_idle_count, 0);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_TRUE(sent_frames().empty());
}

TEST_F(DispatchTest, IdentifyRequestsFromOtherStationsAreAnsweredAsFarAsTheFilterLetsThem) {
  run_state().program_start_time = fake_clock().wall_seconds() - 3;
  struct Case {
    const char* what;
    bool connected;
    uint16_t pdu;
    bool answered;
  } cases[] = {
      {"00 04 while connected to another radio", true, PDU_IDENTIFY_REQUEST, true},
      {"04 00 before any connection", false, PDU_DISCOVERY_REQUEST, true},
      {"00 04 before any connection", false, PDU_IDENTIFY_REQUEST, true},
      {"04 00 from another station while connected", true, PDU_DISCOVERY_REQUEST, false},
  };
  for (const Case& c : cases) {
    c.connected ? connect_radio(2) : add_radio(2);
    wire->clear_sent();
    const int result = feed(c.pdu, {}, 0, 0, std::nullopt, OTHER_MAC, 0x2222);
    const auto raw = wire->sent();
    if (!c.answered) {
      EXPECT_EQ(result, DISPATCH_REJECTED) << c.what;
      EXPECT_TRUE(raw.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(raw.size(), 1u) << c.what;
    EXPECT_EQ(raw[0].size(), 40u + 72u) << c.what;
    const PeerFrame f = decode_program_frame(raw[0], true);
    EXPECT_EQ(f.destination, OTHER_MAC) << c.what;
    EXPECT_EQ(f.pdu, PDU_IDENTIFY_RESPONSE) << c.what;
    EXPECT_EQ(f.cid, 0x2222) << c.what;
    EXPECT_EQ(f.tseq, 0u) << c.what;
    EXPECT_EQ(f.rseq, 0u) << c.what;
    EXPECT_STREQ(reinterpret_cast<const char*>(f.payload.data()), "benchhost") << c.what;
    EXPECT_EQ(f.payload[47], 2) << c.what;
    EXPECT_EQ(f.payload[52], 44) << c.what;  // 3 s, in hundredths, little-endian
    EXPECT_EQ(f.payload[53], 1) << c.what;
    EXPECT_EQ(std::memcmp(f.payload.data() + 56, "OrvexTerm 1.0", 13), 0) << c.what;
  }
}

TEST_F(DispatchTest, NBytesBeyondWhatArrivedIsBoundedByTheBytesThatCame) {
  connect_radio(2);
  // Exactly sized frames: reading past them is caught by the sanitizer builds.
  EXPECT_EQ(capture_stdout([&] { feed(PDU_DATA, text_bytes("abc"), 0, 1, 100); }), "abc");
  EXPECT_EQ(entry().rseq, 3u);
  EXPECT_EQ(capture_stdout([&] { feed(PDU_ERROR, text_bytes("boom"), 3, 1, 5000); }),
            "Error description: boom\n");
  EXPECT_EQ(entry().rseq, 7u);
  wire->clear_sent();
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("kept"), 7, 1, 0xFFFFFFFF), 0);
  EXPECT_EQ(entry().rseq, 11u);
  EXPECT_EQ(std::memcmp(connection_globals().reply_buffer.data(), "kept", 4), 0);
  EXPECT_EQ(sent_frames().size(), 1u);
  const PeerBytes header_only = peer_frame(RADIO_MAC, LOCAL_MAC, PDU_QUIET_DATA, RADIO_CID, 11, 1, {}, 1474);
  EXPECT_EQ(dispatch_frame(header_only.data(), static_cast<int>(header_only.size())), 0);
  EXPECT_EQ(entry().rseq, 11u);
  const PeerBytes too_short(header_only.begin(), header_only.begin() + 30);
  EXPECT_EQ(dispatch_frame(too_short.data(), static_cast<int>(too_short.size())), DISPATCH_REJECTED);
}

TEST_F(DispatchTest, StoredDataIsKeptOnlyForAnEstablishedEntry) {
  add_radio(2);
  entry().rseq = 0;
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("xyz"), 0, 1), 0);
  EXPECT_TRUE(sent_frames().empty()) << "an entry without a reply buffer acknowledges nothing";
  EXPECT_EQ(entry().rseq, 0u);

  connect_radio(2);
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("xyz"), 0, 1), 0);
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("xyz"), 0, 1), 0) << "the stored block repeated";
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("abc"), 0, 1), DISPATCH_SEQUENCE_ERROR);
  const auto sent = sent_frames();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].rseq, 3u);
}

TEST_F(DispatchTest, DisconnectAndRestoreEndTheSession) {
  TerminationCatcher catcher;
  connect_radio(2);
  int result = 0;
  EXPECT_EQ(capture_stdout([&] { result = feed(PDU_DISCONNECT, {}, 0, 1); }),
            "Connection with device terminated\n");
  EXPECT_EQ(result, DISPATCH_DISCONNECTED);
  EXPECT_EQ(TerminationCatcher::session_end_requests(), 1);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);

  EXPECT_EQ(capture_stdout([&] { feed(PDU_RESTORE, {}, 0, 1); }),
            "Restoring connection with device 02:7A:42:00:00:05.\nPlease press any key to continue ...\n");
  EXPECT_EQ(run_state().restore_requested, 1);
  EXPECT_TRUE(session_events().ack_event.reset());
  EXPECT_EQ(TerminationCatcher::session_end_requests(), 2);
  EXPECT_TRUE(sent_frames().empty());
}

TEST_F(DispatchTest, FramesOfAClosedEntryAreDiscardedWithATrace) {
  connect_radio(2);
  close_session(RADIO_ENTRY);
  program_options().diagnostic_level = 1;
  int result = 0;
  EXPECT_EQ(capture_stdout([&] { result = feed(PDU_DATA, text_bytes("x"), 0, 1); }),
            "discarding packet - unknown session 4660\n");
  EXPECT_EQ(result, DISPATCH_UNKNOWN_SESSION);
}

TEST_F(DispatchTest, ConnectRequestFromTheRadioIsAccepted) {
  add_radio(2);
  EXPECT_EQ(feed(PDU_CONNECT_REQUEST, PeerBytes(48, 0), 0, 0, std::nullopt, RADIO_MAC, RADIO_CID), 0);
  const auto sent = sent_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu, PDU_CONNECT_ACCEPT);
  EXPECT_EQ(sent[0].tseq, 0u);
  EXPECT_EQ(sent[0].rseq, 1u);
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(entry().next_pdu, PDU_DATA);
}

TEST_F(DispatchTest, ADisconnectMakesTheDuplicateMemoryForget) {
  connect_radio(2);
  const PeerBytes p = text_bytes("hi");
  EXPECT_FALSE(already_received(p.data(), 2, 0, 1));
  std::string out = capture_stdout([&] { EXPECT_TRUE(already_received(p.data(), 2, 0, 1)); });
  EXPECT_EQ(out, "ALREADY RCVD:0=0  1=1 2=2\n");
  disconnect_session(RADIO_ENTRY);
  EXPECT_FALSE(already_received(p.data(), 2, 0, 1));
}

TEST_F(DispatchTest, DownloadStartOpensNothingAndLeavesTheReportToTheTransferWorker) {
  connect_radio(2);
  PeerBytes response(24, 0);  // status 0, size 0, read big-endian
  response[7] = 10;
  EXPECT_EQ(feed(PDU_FILE_RESPONSE, response, 0, 1), 0);
  {
    TransferState& t = transfer_state();
    std::lock_guard<std::mutex> lock(t.block_mutex);
    EXPECT_EQ(t.block.pdu, PDU_ERROR);
    EXPECT_STREQ(reinterpret_cast<const char*>(t.block.bytes.data()), "Could not open output file");
    EXPECT_EQ(t.block.length, 27);
  }
  EXPECT_TRUE(session_events().block_ready_event.reset());
  const auto sent = sent_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu, PDU_ACK);
  EXPECT_EQ(sent[0].rseq, 24u);

  response[3] = 0xFF;
  response[2] = 0xFF;
  response[1] = 0xFF;
  response[0] = 0xFF;
  EXPECT_EQ(capture_stdout([&] { feed(PDU_FILE_RESPONSE, response, 24, 1); }),
            "Server abandoned file transfer. Request status:-1\n");
  EXPECT_FALSE(session_events().block_ready_event.reset());
}

}  // namespace
}  // namespace orvex::test
