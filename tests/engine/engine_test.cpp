// The protocol engine over the in-memory wire with a fake clock and one scripted
// radio at entry 1; tests with threads run the real session workers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "app/operator_input.hpp"
#include "app/termination.hpp"
#include "base/config.hpp"
#include "batch/batch_runs.hpp"
#include "batch/report_file.hpp"
#include "console/console.hpp"
#include "engine/connect.hpp"
#include "engine/discover.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"
#include "engine/following_blocks.hpp"
#include "engine/key_ring.hpp"
#include "engine/receive_state.hpp"
#include "engine/session_events.hpp"
#include "engine/session_workers.hpp"
#include "engine/transfer.hpp"
#include "link/frame_io.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/key_input.hpp"
#include "tests/support/radio_peer.hpp"
#include "tests/support/temp_file.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {
namespace {

constexpr int RADIO = 1;
constexpr uint16_t RADIO_CID = 0x1234;
const MacAddress LOCAL_MAC{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}}, RADIO_MAC{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x05}};

struct Seen : FrameHeader { Bytes payload; uint64_t at_ms; };  // a frame the program sent, and when

// Answers on the sending thread: accepts connect requests, takes in data and served files in sequence
// order and acknowledges them. What it saw is read under wait() or while no worker runs.
struct Radio {
  struct Transfer { int32_t status, size; Bytes bytes; std::vector<uint32_t> blocks; bool complete; };
  void on_frame(const Bytes& raw) {
    std::scoped_lock lock(mutex);
    const FrameHeader h = *read_frame_header(raw);
    const auto end = raw.begin() + 40 + std::min<size_t>(h.nbytes, raw.size() - 40);
    const Seen& f = frames.emplace_back(Seen{h, Bytes(raw.begin() + 40, end), wire->clock->now_ms()});
    if (f.pdu == PDU_FILE_DATA && lost.contains(count(PDU_FILE_DATA))) return;
    const bool file_data = f.pdu == PDU_FILE_DATA, taken_file = transfers.empty() || transfers.back().complete;
    if (f.pdu == PDU_CONNECT_REQUEST) {
      cid = f.cid, tseq = 0, rseq = 1;
      if (impostor) {  // another station answers first, with data and an accept
        wire->deliver({peer_frame(*impostor, LOCAL_MAC, PDU_DATA, cid, 0, 1, text_bytes("hi")),
                       peer_frame(*impostor, LOCAL_MAC, PDU_CONNECT_ACCEPT, cid, 0, 1)});
      }
      if (accept) send(PDU_CONNECT_ACCEPT, {});
    } else if ((f.nbytes != 0 || file_data) && f.tseq == rseq && !(file_data && taken_file)) {  // new, in order
      rseq += f.nbytes;
      take(f);
    }
    changed.notify_all();
  }
  void take(const Seen& f) {
    if (f.pdu == PDU_DATA || f.pdu == PDU_ERROR) shown.append(f.payload.begin(), f.payload.end());
    if (f.pdu == PDU_FILE_RESPONSE) {
      const auto status = static_cast<int32_t>(get_le32(f.payload.data()));
      transfers.push_back({status, static_cast<int32_t>(get_le32(f.payload.data() + 4)), {}, {}, status != 0});
    }
    if (f.pdu != PDU_FILE_DATA) {
      if (ack_data) send(PDU_ACK, {});
      const std::string text(f.payload.begin(), f.payload.end());
      if (f.pdu == PDU_DATA && !leave_on.empty() && text.starts_with(leave_on)) {
        send(PDU_DISCONNECT, {}), left_at = frames.size();
        if (on_leave) on_leave();
      }
      return;
    }
    Transfer& t = transfers.back();
    t.bytes.insert(t.bytes.end(), f.payload.begin(), f.payload.end());
    t.blocks.push_back(f.nbytes);
    if (forge_ahead != 0 && t.blocks.size() == 1) {  // a station's acknowledgement of bytes not yet sent
      wire->deliver({peer_frame(RADIO_MAC, LOCAL_MAC, PDU_ACK, cid, tseq, rseq + forge_ahead)});
    }
    t.complete = f.nbytes == 0 || (t.bytes.size() == static_cast<size_t>(t.size) && t.size % FILE_BLOCK_SIZE != 0);
    if (on_block) on_block(t.blocks.size());
    if (t.complete && hold_last) return;
    if (!t.complete || ack_last_block) send(PDU_ACK, {});
    if (!t.complete && print_after_block) send(PDU_DATA, text_bytes("p")), send(PDU_ACK, {});  // the ack repeated
    if (t.complete && !ack_last_block) send(PDU_DATA, text_bytes("done\n"));
    if (t.complete && !requests.empty()) send(PDU_FILE_REQUEST, text_bytes(requests.front())), requests.pop_front();
  }
  void send(uint16_t pdu, const Bytes& payload) {  // frames with bytes count in the radio's sequence
    const Bytes frame = peer_frame(RADIO_MAC, LOCAL_MAC, pdu, cid, tseq, rseq, payload);
    if (!payload.empty()) tseq += static_cast<uint32_t>(payload.size()), last = frame;
    wire->deliver({frame});
  }
  void say(uint16_t pdu, const std::string& text) { std::scoped_lock lock(mutex); send(pdu, text_bytes(text)); }
  void repeat_last() { std::scoped_lock lock(mutex); wire->deliver({last}); }
  bool wait(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), done);
  }
  bool caught_up() const { return frames.back().pdu == PDU_ACK && frames.back().rseq == tseq; }  // all it sent
  size_t count(uint16_t pdu) const { return std::ranges::count(frames, pdu, &Seen::pdu); }

  bool accept = true;                 // answers connect requests
  bool ack_last_block = true;         // of a file; otherwise says "done" after it
  bool hold_last = false;             // neither acknowledges the last bytes of a file nor says anything
  bool print_after_block = false;     // prints after acknowledging a block, then repeats that acknowledgement
  std::function<void(size_t)> on_block;  // told of each file block taken (counted from 1)
  std::atomic<bool> ack_data = true;  // otherwise takes data in without a word
  std::deque<std::string> requests;   // asked for in turn as each file completes
  std::string leave_on;               // data it acknowledges and then disconnects
  std::function<void()> on_leave;     // run on the sending thread after that disconnect
  size_t left_at = 0;                 // frames seen when it left
  std::optional<MacAddress> impostor;
  uint32_t forge_ahead = 0;
  std::set<size_t> lost;              // file data frames (counted from 1) that never arrive
  std::vector<Seen> frames;           // what it saw
  std::vector<Transfer> transfers;
  std::string shown;
  uint16_t cid = RADIO_CID;
  uint32_t tseq = 0, rseq = 1;  // its own bytes sent, and the program's taken (plus one)
  Bytes last;                   // the last frame it sent with bytes
  FakePacketAdapter* wire = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_process_state();
    e.link.config.local_mac = LOCAL_MAC;
    auto wire = std::make_unique<FakePacketAdapter>();
    radio.wire = wire.get();
    wire->clock = fake;
    wire->on_send = [this](const Bytes& f) { radio.on_frame(f); };
    e.link.io.attach(std::move(wire));
    entry().mac = RADIO_MAC, entry().protocol_level = 2, entry().cid = RADIO_CID, entry().state = SESSION_FOUND;
    std::string dir = (std::filesystem::temp_directory_path() / "orvex-engine-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::filesystem::current_path(scratch = dir);
  }
  void TearDown() override {
    stop();
    reset_process_state();
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(scratch);
  }

  Session& entry() { return e.sessions[RADIO]; }
  // Entry 1 connected, as an establishment leaves it; the radio starts over.
  void connect() {
    for (Session& other : e.sessions.entries) other.cid = CID_NONE;
    Session& s = entry();
    s.cid = RADIO_CID, s.tseq = 1, s.rseq = 0, s.ack_mark_rseq = 0, s.ack_mark_peer_rseq = 0;
    s.next_pdu = PDU_DATA, s.state = SESSION_CONNECTED, s.reply_buffer = e.connection.reply_buffer.data();
    e.connection.active_session = RADIO, e.connection.session_established = 1;
    forget_duplicates(e.connection.duplicates);
    TransferState& t = e.connection.transfer;
    t.transfer_failed = 0, t.transfer_complete = 0, t.transfer_idle_count = 0, t.last_block_length = 0;
    radio.cid = RADIO_CID, radio.tseq = 0, radio.rseq = 1;
  }
  // The session workers of entry 1, or (-1) of a batch run.
  void start(int chosen = RADIO) { e.connection.radio = chosen; workers.start(); }
  void stop() { workers.request_end(); workers.wait_end(); }
  int feed(uint16_t pdu, const Bytes& payload, uint32_t tseq, uint32_t rseq = 1, std::optional<uint32_t> nbytes = {},
           uint16_t cid = RADIO_CID) {
    const Bytes f = peer_frame(RADIO_MAC, LOCAL_MAC, pdu, cid, tseq, rseq, payload, nbytes);
    return dispatch_frame(e.connection, f.data(), static_cast<int>(f.size()));
  }
  static Bytes write_file(const std::string& name, size_t size) {
    Bytes content(size);
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(i * 7 + i / 251 + size);
    std::ofstream(name, std::ios::binary) << std::string(content.begin(), content.end());
    return content;
  }

  Config config;
  RecordingView view;
  FakeClock fake_clock;
  FakeClock* const fake = &fake_clock;
  WorkingDirectoryFiles disk;
  FakeFileServer server{&disk};  // the scratch directory's files, and what a test serves or refuses itself
  Engine e{config, view, fake_clock, server};
  Termination termination;
  OperatorInput input{e.connection, termination};
  SessionWorkers workers{e, input, [this](Failure failure) { termination.terminate_app(failure); }};
  TerminationCatcher catcher{termination, &e.connection};  // the program's end throws ProcessExit
  KeyPipe keys;
  Radio radio;
  std::filesystem::path previous = std::filesystem::current_path(), scratch;
};

TEST_F(EngineTest, UnansweredDataGoesOutTwelveTimesOnAGrowingScheduleThenTheConnectionIsGivenUp) {
  const uint64_t schedule[] = {0, 300, 690, 1197, 1856, 2712, 3824, 5269, 7147, 9588, 12761, 16885, 22246};
  const std::string given_up = "Retransmitting data ... please wait\n\nError: Max number of retransmissions has been "
                               "reached.\nUnable to transfer packet ...\n";
  for (int batch : {1, 0}) {  // a batch run is told and goes on; otherwise the failure ends the program
    SCOPED_TRACE(batch);
    connect();
    radio.frames.clear(), radio.ack_data = false;
    e.link.config.run_mode = batch != 0 ? RunMode::COMMAND_RUN : RunMode::INTERACTIVE;
    const uint64_t start = fake->now_ms();
    SendResult result{.delivered = true};
    const std::string out = view_text(view, [&] { result = send_data(e.connection, entry(), text_bytes("hello").data(), 5); });
    EXPECT_EQ(std::tuple(result.delivered, result.failure),
              std::tuple(false, batch != 0 ? Failure::NONE : Failure::UNABLE_TO_SEND));
    EXPECT_EQ(out, given_up);
    ASSERT_EQ(radio.frames.size(), 13u);
    for (size_t i = 0; i < 13; ++i) {  // the same frame twelve times, then the disconnect
      EXPECT_EQ(radio.frames[i].at_ms - start, schedule[i]) << i;
      EXPECT_EQ(radio.frames[i].pdu, i < 12 ? PDU_DATA : PDU_DISCONNECT) << i;
      EXPECT_TRUE(i == 12 || (radio.frames[i].tseq == 1 && radio.frames[i].payload == text_bytes("hello"))) << i;
    }
  }
  // A size beyond a frame is a fault of ours: it ends the program and nothing leaves.
  connect();
  radio.frames.clear();
  const Bytes too_long(1475, 'x');
  EXPECT_EQ(view_text(view, [&] { EXPECT_EQ(send_data(e.connection, entry(), too_long.data(), 1475).failure, Failure::BROKEN_LIMIT); })
                .find("Assertion failed: payload_size <= (1500 - ORVEX_HEADER_SIZE)"), 0u);
  EXPECT_TRUE(radio.frames.empty());
}

TEST_F(EngineTest, DataInOrderIsShownAndAcknowledgedOnceAndOnlyANewAcknowledgementOfAllSentWakesTheSender) {
  connect();
  // The frame's text and TSEQ; what is shown, the entry's RSEQ after it and the acknowledgements sent.
  const struct { const char *what, *text; uint32_t tseq; const char* shown; uint32_t rseq; size_t acks; } cases[] = {
      {"in order", "ok", 0, "ok", 2, 1}, {"the same again", "ok", 0, "", 2, 1}, {"empty", "", 2, "", 2, 0},
      {"beyond a gap", "zz", 7, "", 2, 1}, {"the next", "go", 2, "go", 4, 1},
  };
  for (const auto& c : cases) {
    radio.frames.clear();
    EXPECT_EQ(view_text(view, [&] { feed(PDU_DATA, text_bytes(c.text), c.tseq); }), c.shown) << c.what;
    EXPECT_EQ(entry().rseq, c.rseq) << c.what;
    ASSERT_EQ(radio.frames.size(), c.acks) << c.what;
    for (const Seen& f : radio.frames) EXPECT_TRUE(f.pdu == PDU_ACK && f.rseq == c.rseq) << c.what;
  }
  entry().tseq = 10;  // acknowledgements short of the ten bytes sent, of all ten, and that one again
  for (const auto& [rseq, wakes] : {std::pair{5u, false}, std::pair{10u, true}, std::pair{10u, false}}) {
    feed(PDU_ACK, {}, 4, rseq);
    EXPECT_EQ(e.connection.events.ack_event.reset(), wakes) << rseq;
  }
}

TEST_F(EngineTest, ARepeatedAcknowledgementDoesNotStandForTheNextFrames) {
  // The radio acknowledges both bytes sent, sends data, then repeats its acknowledgement (a lossy link's
  // retransmission or a doubled frame): taken as new, but no send waits for it. The next frame, lost, must go again.
  connect();
  entry().tseq = 2;
  feed(PDU_ACK, {}, 0, 2);
  e.connection.events.ack_event.reset();  // the send that waited took it
  view_text(view, [&] { feed(PDU_DATA, text_bytes("x"), 0, 2), feed(PDU_ACK, {}, 1, 2); });
  radio.ack_data = false, radio.frames.clear(), e.link.config.run_mode = RunMode::COMMAND_RUN;
  view_text(view, [&] { EXPECT_FALSE(send_data(e.connection, entry(), text_bytes("b").data(), 1).delivered); });
  EXPECT_EQ(radio.count(PDU_DATA), 12u);
}

TEST_F(EngineTest, GarbageOnTheConnectionIsShownNotObeyedAndADoubledDisconnectEndsTheSessionOnce) {
  connect();
  const Bytes text = text_bytes("bad\x1b]2;x\x07\x0e\x7f\tend\r\n");
  const std::string shown = view_text(view, [&] { feed(PDU_ERROR, text, 0); });
  EXPECT_EQ(shown, "Error description: bad?]2;x???\tend\r\n\n");
  start();
  const Bytes bye = peer_frame(RADIO_MAC, LOCAL_MAC, PDU_DISCONNECT, RADIO_CID, static_cast<uint32_t>(text.size()), 1);
  const std::string out = view_text(view, [&] {
    radio.wire->deliver({bye, bye});
    ASSERT_TRUE(eventually([this] { return !workers.running(); }));
  });
  workers.wait_end();
  EXPECT_EQ(out, "Connection with device terminated\n");
}

TEST_F(EngineTest, ControlFramesCountOnlyInSequenceFromTheRadioAndOnlyWhole) {
  // A station that knows the radio's address and the connection's identifier, but not its sequence numbers.
  connect();
  e.link.config.run_mode = RunMode::UPDATE_ALL;  // a radio that left is told, not the process
  for (const uint32_t tseq : {5000u, 0xFFFFFFF0u, 1475u}) {
    for (const uint16_t pdu : {PDU_DISCONNECT, PDU_RESTORE, PDU_ERROR, PDU_FILE_RESPONSE}) {
      radio.frames.clear();
      const Bytes payload = pdu == PDU_ERROR ? text_bytes("x") : pdu == PDU_FILE_RESPONSE ? Bytes(24, 0) : Bytes{};
      EXPECT_EQ(view_text(view, [&] { feed(pdu, payload, tseq); }), "") << pdu << " at " << tseq;
      EXPECT_EQ(std::tuple(entry().state.load(), radio.frames.size(), e.connection.transfer.transfer_failed.load()),
                std::tuple(SESSION_CONNECTED, 0u, 0)) << pdu << " at " << tseq;
    }
  }
  // Data whose NBytes is more than arrived is neither shown, counted nor acknowledged: it comes again.
  EXPECT_EQ(view_text(view, [&] { feed(PDU_DATA, text_bytes("abc"), 0, 1, 100); }), "");
  EXPECT_EQ(std::tuple(entry().rseq.load(), radio.frames.size()), std::tuple(0u, 0u));
  // A disconnect just ahead of the radio's output waits for it, then ends the connection.
  EXPECT_EQ(view_text(view, [&] { feed(PDU_DISCONNECT, {}, 3); }), "");
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  EXPECT_EQ(view_text(view, [&] { feed(PDU_DATA, text_bytes("abc"), 0); }), "abcConnection with device terminated\n");
  EXPECT_EQ(std::tuple(entry().state.load(), e.connection.transfer.transfer_failed.load()), std::tuple(SESSION_CLOSED, 1));
  // Frames of other connections do not keep an idle transfer alive; the transfer's own do.
  connect();
  entry().state = SESSION_TRANSFER, e.connection.transfer.transfer_idle_count = 7;
  feed(PDU_DATA, text_bytes("x"), 0, 1, {}, 0x4321);
  EXPECT_EQ(e.connection.transfer.transfer_idle_count, 7);
  feed(PDU_FILE_DATA, {}, 0);
  EXPECT_EQ(e.connection.transfer.transfer_idle_count, 0);
}

TEST_F(EngineTest, NBytesIsBoundedAndARequestedNameToo) {
  connect();  // frames exactly as long as their bytes: reading past them is caught by the sanitizer builds
  const Bytes header = peer_frame(RADIO_MAC, LOCAL_MAC, PDU_DATA, RADIO_CID, 0, 1, {}, 1474);
  EXPECT_EQ(dispatch_frame(e.connection, header.data(), 30), DISPATCH_REJECTED);
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("kept"), 0, 1, 0xFFFFFFFF), DISPATCH_REJECTED);
  view_text(view, [&] { feed(PDU_FILE_RESPONSE, Bytes(24, 0), 0); });  // a download offered: refused, but not here
  EXPECT_EQ(e.connection.transfer.block.pdu, PDU_ERROR) << "the report is the transfer worker's to send";
  // A requested name: only 127 bytes count, and ".bin" still fits behind them.
  view_text(view, [&] { feed(PDU_FILE_REQUEST, Bytes(300, 'n'), 24); });
  EXPECT_EQ(std::string(e.connection.transfer.requested_file_name.data()), std::string(127, 'n') + ".bin");
}

TEST_F(EngineTest, AFileBlockLeavesOnlyOnTheConnectionItWasMadeFor) {
  for (const bool set_up_again : {true, false}) {
    SCOPED_TRACE(set_up_again);
    connect();
    const size_t reports = radio.count(PDU_ERROR);
    view_text(view, [&] { feed(PDU_FILE_RESPONSE, Bytes(24, 0), 0); });  // refused: the report waits for the worker
    if (set_up_again) entry().cid = RADIO_CID + 1;  // a new set-up of the same entry meanwhile
    view_text(view, [&] { transfer_step(e.connection); });  // this radio never acknowledges a report
    EXPECT_EQ(radio.count(PDU_ERROR) > reports, !set_up_again);
  }
}

TEST_F(EngineTest, OnlyRegularFilesBelowTheWorkingDirectoryAreServed) {
  // The working directory is a folder of the scratch one, so that "../above" exists and is outside it.
  std::filesystem::create_directories("work/dir");
  std::filesystem::current_path("work");
  std::ofstream("../above") << "x";
  std::ofstream("dir/inner") << "x";
  std::ofstream(".secret") << "x";
  std::ofstream("dir/.hidden") << "x";
  std::ofstream("fw.bin") << "x";
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  std::filesystem::create_symlink("../above", "out");
  connect();
  uint32_t tseq = 0;
  const auto request = [&](const std::string& name) {
    const std::string out = view_text(view, [&] { feed(PDU_FILE_REQUEST, text_bytes(name), tseq); });
    tseq += static_cast<uint32_t>(name.size());
    return std::pair(out, static_cast<int32_t>(get_le32(e.connection.transfer.block.bytes.data())));  // the response's status
  };
  for (const std::string name : {"../above", "/etc/hostname", "dir/../../above", "pipe", "out", "dir", ".secret",
                                 "dir/.hidden"}) {
    EXPECT_EQ(request(name), std::pair("Error: Requested file [" + name + ".bin] is not available\n", -1));
    EXPECT_EQ(entry().state, SESSION_CONNECTED);
  }
  EXPECT_EQ(request("dir/inner"), std::pair(std::string("The requested file [dir/inner] was opened successfully\n\r"), 0));
  // The radio's names are shown with their control bytes as '?', whether served or not.
  std::ofstream("e\x1b[1m") << "x";
  EXPECT_EQ(request("e\x1b[1m"), std::pair(std::string("The requested file [e?[1m] was opened successfully\n\r"), 0));
  EXPECT_EQ(request("\x1b[2J").first, "Error: Requested file [?[2J.bin] is not available\n");
  // A radio of level 0 names its files with a "tmp" or "flash" prefix.
  entry().protocol_level = 0;
  EXPECT_EQ(request("flash/dir/inner").second, 0);
  EXPECT_EQ(request("boot/dir/inner"), std::pair(std::string("Invalid prefix:boot. Should be either tmp or flash\n"), -2));
  EXPECT_EQ(request("\x07x/in").first, "Invalid prefix:?x. Should be either tmp or flash\n");
  // An update run serves its own source file alone, by whatever name resolves to it.
  e.link.config.run_mode = RunMode::UPDATE_ALL, e.link.config.update.source = "fw.bin";
  EXPECT_EQ(request("tmp/fw").second, 0);
  EXPECT_EQ(request("flash/dir/inner").second, -1);
}

TEST_F(EngineTest, ABurstLargerThanTheFrameRingArrivesWholeAndInOrder) {
  std::vector<Bytes> burst;
  for (uint32_t i = 0; i < 250; ++i) burst.push_back(peer_frame(RADIO_MAC, LOCAL_MAC, PDU_DATA, RADIO_CID, i, 1));
  radio.wire->deliver(burst);
  FrameView frame;
  for (uint32_t i = 0; i < 250; ++i) {
    ASSERT_EQ(e.link.io.receive(frame), 1) << i;
    ASSERT_EQ(frame.header.tseq, i);
  }
  EXPECT_EQ(radio.wire->receive_calls(), 3u) << "each read takes only what the ring has room for";
}

TEST_F(EngineTest, WhatARadioAsksIsAnsweredAndWhatItRepeatsIsAcknowledgedAgain) {
  e.link.config.local_host_name = "bench", e.link.config.version_text = "ORVEX 03.05";
  connect();
  // Another station's identify request is answered while connected, with this station's level 2 and name.
  const Bytes ask = peer_frame(RADIO_MAC, MacAddress::broadcast(), PDU_IDENTIFY_REQUEST, 7, 0, 0);
  EXPECT_EQ(dispatch_frame(e.connection, ask.data(), static_cast<int>(ask.size())), 0);
  ASSERT_EQ(radio.frames.back().pdu, PDU_IDENTIFY_RESPONSE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(radio.frames.back().payload.data())), "bench");
  EXPECT_EQ(radio.frames.back().payload[PAYLOAD_LEVEL_OFFSET], 2);
  // At most ten answers a second, and none to a group address: no station can make this one flood the segment.
  const Bytes from_group = peer_frame(MacAddress::broadcast(), LOCAL_MAC, PDU_IDENTIFY_REQUEST, 7, 0, 0);
  for (int i = 0; i < 30; ++i) dispatch_frame(e.connection, ask.data(), static_cast<int>(ask.size()));
  dispatch_frame(e.connection, from_group.data(), static_cast<int>(from_group.size()));
  EXPECT_EQ(radio.count(PDU_IDENTIFY_RESPONSE), 10u);
  fake->advance(1000);
  dispatch_frame(e.connection, ask.data(), static_cast<int>(ask.size()));
  EXPECT_EQ(radio.count(PDU_IDENTIFY_RESPONSE), 11u);
  // Stored data is kept and acknowledged, and acknowledged again when it comes again.
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("keep"), 0), 0);
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("keep"), 0), 0);
  EXPECT_EQ(radio.count(PDU_ACK), 2u);
  EXPECT_EQ(feed(PDU_STORED_DATA, text_bytes("else"), 0), DISPATCH_SEQUENCE_ERROR);
  EXPECT_EQ(feed(PDU_QUIET_DATA, text_bytes("q"), 4) + feed(PDU_QUIET_DATA, text_bytes("q"), 4), DISPATCH_SEQUENCE_ERROR);
  EXPECT_EQ(feed(99, {}, 5), DISPATCH_UNKNOWN_PDU);
  e.link.config.diagnostic_level = 1;
  EXPECT_EQ(view_text(view, [&] { feed(PDU_DATA, {}, 5, 1, {}, 0x4321); }), "discarding packet - unknown session 17185\n");
  e.link.config.diagnostic_level = 0;
  // A radio that opens the connection itself is accepted.
  entry().state = SESSION_FOUND;
  EXPECT_EQ(feed(PDU_CONNECT_REQUEST, {}, 0, 0, {}, RADIO_CID), 0);
  EXPECT_EQ(std::tuple(radio.frames.back().pdu, entry().state.load()), std::tuple(PDU_CONNECT_ACCEPT, SESSION_CONNECTED));
}

TEST_F(EngineTest, FunctionKeysActWhereTheyAreReadAndF3EndsTheSession) {
  connect();
  start();
  const std::string out = capture_stdout([&] {
    keys.type("\x1bOQ\x1bOQ\x1b[15~\x1b[17~\x1b[15~");  // F2 twice, F5, F6, F5
    keys.type("\x1bOP");                               // F1: the help, and the radio's prompt again
    ASSERT_TRUE(eventually([this] { std::scoped_lock lock(radio.mutex); return radio.shown == "\r"; }));
    keys.type("\x1bOR");                               // F3
    ASSERT_TRUE(eventually([this] { return !workers.running(); }));
  });
  workers.wait_end();
  EXPECT_TRUE(out.starts_with("[Show Diagnostic Messages = ON]\n[Show Diagnostic Messages = OFF]\n")) << out;
  EXPECT_NE(out.find("F1"), std::string::npos) << "the help screen";
  EXPECT_EQ(std::tuple(config.colour_toggle.load(), config.attribute.load()), std::tuple(1, ATTRIBUTE_WHITE_ON_BLACK));
  EXPECT_EQ(radio.frames.back().pdu, PDU_DISCONNECT);
}

TEST_F(EngineTest, ConnectRequestsRepeatAfter700MsUntil5000MsUnlessAnswered) {
  fake->grace_ms = 200;  // set-up waits while the receive worker dispatches, as in a batch run
  radio.wire->empty_read_ms = 0;
  start(-1);
  ASSERT_EQ(connect_session(e.connection, RADIO), 1);
  EXPECT_EQ(radio.count(PDU_CONNECT_REQUEST), 1u) << "answered within 700 ms";
  const uint16_t first = entry().cid;
  radio.accept = false, radio.frames.clear();
  const uint64_t start = fake->now_ms();
  EXPECT_EQ(connect_session(e.connection, RADIO), 0);
  // The batch run's idle transfer worker moves the clock on too: 700 ms apart and more.
  EXPECT_TRUE(radio.frames.size() >= 4 && radio.frames.size() <= 8) << radio.frames.size();
  EXPECT_TRUE(fake->now_ms() - start >= 5000 && fake->now_ms() - start < 7000) << fake->now_ms() - start;
  // Each set-up has an identifier of its own: frames of an earlier one find no entry.
  EXPECT_NE(entry().cid, first);
  EXPECT_EQ(feed(PDU_DATA, text_bytes("old"), 0, 1, {}, first), DISPATCH_UNKNOWN_SESSION);
}

TEST_F(EngineTest, OnlyTheRadioAskedSetsTheConnectionUp) {
  radio.impostor = MacAddress{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x09}};
  for (bool accept : {false, true}) {
    radio.accept = accept, radio.frames.clear();
    int result = -1;
    const std::string out = view_text(view, [&] { result = connect_session(e.connection, RADIO); });
    EXPECT_EQ(std::tuple(result, out), std::tuple(accept ? 1 : 0, accept ? "<connected 1>" : ""));
    EXPECT_EQ(entry().mac, RADIO_MAC);
    for (const Seen& f : radio.frames) EXPECT_EQ(f.destination, RADIO_MAC) << "nothing goes to the other station";
  }
}

TEST_F(EngineTest, ConnectionIdsDifferBetweenRunsStartedInTheSameSecond) {
  std::set<int> ids;
  for (int run = 0; run < 3; ++run) {  // each run a process of its own, on the same clock
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
      const int id = new_connection_id();
      _exit(write(fds[1], &id, sizeof id) == sizeof id ? 0 : 1);
    }
    int id = -1;
    ::close(fds[1]);
    EXPECT_EQ(read(fds[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
    ::close(fds[0]);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(id >= 0 && id <= 0x7FFF) << id;
    ids.insert(id);
  }
  EXPECT_GT(ids.size(), 1u);
}

TEST_F(EngineTest, FilesAreServedBackToBackInTheirBlocksWithTheirProgress) {
  // A block of a multiple of 256 bytes goes in two frames; the progress lines say bytes sent and percent.
  const struct { size_t size; std::vector<uint32_t> blocks; std::vector<std::pair<int, int>> progress; } files[] = {
      {0, {0}, {{0, 100}}},
      {256, {200, 56}, {{256, 100}}},
      {2700, {1350, 1350, 0}, {{1350, 49}, {2700, 99}, {2700, 100}}},
      {3000, {1350, 1350, 300}, {{1350, 44}, {2700, 89}, {3000, 100}}},
  };
  std::vector<Bytes> contents;
  std::string expected;
  for (size_t i = 0; i < std::size(files); ++i) {
    const std::string name = "f" + std::to_string(i);
    contents.push_back(write_file(name, files[i].size));
    if (i > 0) radio.requests.push_back(name);  // asked for as soon as the one before is complete
    expected += "The requested file [" + name + "] was opened successfully\n\r";
    for (size_t n = 0; const auto& [sent, percent] : files[i].progress) {
      const bool done = ++n == files[i].progress.size();
      expected += "<progress " + std::to_string(sent) + " " + std::to_string(percent) + (done ? " done>" : ">");
    }
  }
  connect();
  fake->grace_ms = 200;
  start();
  const std::string out = view_text(view, [&] {
    radio.say(PDU_FILE_REQUEST, "f0");
    ASSERT_TRUE(radio.wait([&] { return radio.transfers.size() == 4 && radio.transfers.back().complete; }));
    radio.repeat_last();  // a late repeat of the last request changes nothing
    radio.say(PDU_DATA, "after");
    ASSERT_TRUE(radio.wait([&] { return radio.caught_up(); }));
    stop();
  });
  EXPECT_EQ(out.substr(0, expected.size()), expected);
  for (size_t i = 0; i < std::size(files); ++i) {
    EXPECT_TRUE(radio.transfers[i].bytes == contents[i]) << i;
    EXPECT_EQ(radio.transfers[i].blocks, files[i].blocks) << i;
  }
  EXPECT_EQ(radio.count(PDU_FILE_DATA), 1u + 2u + 3u + 3u) << "no block sent twice";
  EXPECT_EQ(radio.count(PDU_FILE_RESPONSE), std::size(files));
}

TEST_F(EngineTest, ABlockLostOnTheWayIsSentAgainAsItWasUntilItArrives) {
  // Each block leaves as soon as the one before is acknowledged; the third one's first two frames are lost.
  const Bytes content = write_file("fw", 6000);
  radio.lost = {3, 4};
  connect();
  fake->grace_ms = 200;
  start();
  view_text(view, [&] {
    radio.say(PDU_FILE_REQUEST, "fw");
    ASSERT_TRUE(radio.wait([&] { return !radio.transfers.empty() && radio.transfers.back().complete; }));
    stop();
  });
  EXPECT_TRUE(radio.transfers[0].bytes == content);
  std::vector<Seen> blocks;
  std::ranges::copy_if(radio.frames, std::back_inserter(blocks), [](const Seen& f) { return f.pdu == PDU_FILE_DATA; });
  ASSERT_EQ(blocks.size(), 5u + 2u);
  for (size_t i : {3, 4}) {
    EXPECT_EQ(std::tuple(blocks[i].tseq, blocks[i].payload), std::tuple(blocks[2].tseq, blocks[2].payload)) << i;
    EXPECT_GE(blocks[i].at_ms, blocks[i - 1].at_ms + (i == 3 ? 300 : 390)) << i;
  }
}

TEST_F(EngineTest, ALateAcknowledgementOfTheLineThatAskedForAFileIsNotTakenForTheFileResponses) {
  // The typed line's acknowledgement is lost, the radio asks for the file, then repeats that acknowledgement
  // as the line comes again: it ends the line's wait and releases no block before the file response is taken.
  const Bytes content = write_file("fw", 5000);
  fake->grace_ms = 10000;  // the line's frame is not repeated: the radio's repeat stands for it
  connect();
  radio.ack_data = false;
  start();
  keys.type("d");
  ASSERT_TRUE(radio.wait([&] { return radio.count(PDU_DATA) == 1; }));
  radio.ack_data = true;
  view_text(view, [&] {
    radio.say(PDU_FILE_REQUEST, "fw");
    ASSERT_TRUE(eventually([&] { return entry().state == SESSION_TRANSFER; }));
    radio.say(PDU_ACK, "");
    ASSERT_TRUE(radio.wait([&] { return !radio.transfers.empty() && radio.transfers.back().complete; }));
    stop();
  });
  EXPECT_TRUE(radio.transfers[0].bytes == content);
  EXPECT_EQ(radio.transfers[0].blocks, (std::vector<uint32_t>{1350, 1350, 1350, 950}));
}

TEST_F(EngineTest, NoBlockFollowsAWaitThatHasSeenEverythingAcknowledged) {
  // The waiting send's time-out comes as the dispatcher takes the acknowledgement and reads the next block:
  // the wait ends, so that block goes to the transfer worker, which repeats it if lost, not out unwatched.
  connect();
  FollowingBlocks& f = e.connection.following;
  uint64_t seen = 0, sent_at = 0;
  allow_following(f, RADIO, seen);
  note_file_acknowledgement(f);
  std::array<uint8_t, FRAME_BUFFER_SIZE> frame{};
  int size = 0;
  EXPECT_EQ(take_following(f, seen, frame, size, sent_at), Following::ALL_ACKNOWLEDGED);
  const uint8_t block[3] = {1, 2, 3};
  EXPECT_FALSE(send_following_block(e.connection, RADIO, block, 3));
  EXPECT_EQ(radio.count(PDU_FILE_DATA), 0u);
}

TEST_F(EngineTest, ARepeatedAcknowledgementAfterTheRadiosOutputDoesNotSkipALostBlock) {
  // The radio prints after each block and then repeats its acknowledgement; the second block is lost on the way.
  const Bytes content = write_file("fw", 6000);
  radio.lost = {2}, radio.print_after_block = true;
  e.link.config.run_mode = RunMode::COMMAND_RUN;  // a block given up is told, the program goes on
  connect();
  fake->grace_ms = 200;
  start();
  view_text(view, [&] {
    radio.say(PDU_FILE_REQUEST, "fw");
    ASSERT_TRUE(radio.wait([&] { return !radio.transfers.empty() && radio.transfers.back().complete; }));
    stop();
  });
  EXPECT_TRUE(radio.transfers[0].bytes == content);
}

TEST_F(EngineTest, ADownloadIsDoneOnlyWhenItsLastBytesAreAcknowledged) {
  // A radio that never acknowledges the frame that completes the file: the last block of 1024 bytes goes in two
  // frames (200 and 824), that of 3000 bytes in one; the download is given up, never taken as done. One that
  // acknowledges everything, the empty block after 2700 bytes too (with the RSEQ it gave before): done.
  e.link.config.run_mode = RunMode::UPDATE_ALL, e.link.config.update.source = "fw";
  fake->grace_ms = 200;
  for (const auto& [size, holds] : {std::pair{1024, true}, std::pair{3000, true}, std::pair{2700, false}}) {
    radio.hold_last = holds;
    write_file("fw", static_cast<size_t>(size));
    connect();
    radio.frames.clear(), radio.transfers.clear(), e.connection.events.transfer_done_event.reset();
    start();
    view_text(view, [&] {
      radio.say(PDU_FILE_REQUEST, "fw");
      ASSERT_TRUE(eventually([this] { return e.connection.events.transfer_done_event.reset(); }));
      stop();
    });
    EXPECT_EQ(std::tuple(e.connection.transfer.transfer_failed.load(), radio.count(PDU_DISCONNECT)), std::tuple(holds ? 1 : 0,
              holds ? 1u : 0u)) << size;
  }
}

TEST_F(EngineTest, AFileThatChangesWhileServedFailsItsTransferAndNoMoreThanAnnouncedIsSent) {
  e.link.config.run_mode = RunMode::UPDATE_ALL, e.link.config.update.source = "fw";
  fake->grace_ms = 200;
  const struct { const char* what; off_t size; } cases[] = {{"truncated", 2000}, {"grown", 11000}};
  for (const auto& c : cases) {
    server.serve("fw", Bytes(6000, 'f'));
    connect();
    radio.frames.clear(), radio.transfers.clear(), radio.shown.clear(), e.connection.events.transfer_done_event.reset();
    radio.on_block = [&](size_t taken) { if (taken == 1) server.resize("fw", c.size); };
    start();
    const std::string out = view_text(view, [&] {
      radio.say(PDU_FILE_REQUEST, "fw");
      ASSERT_TRUE(eventually([this] { return e.connection.events.transfer_done_event.reset(); }));
      ASSERT_TRUE(radio.wait([&] { return radio.shown.find("File changed while served") != std::string::npos; }));
      stop();
    });
    EXPECT_EQ(std::tuple(e.connection.transfer.transfer_failed.load(), e.connection.transfer.failure.load()),
              std::tuple(1, TransferFailure::FILE_CHANGED)) << c.what;
    EXPECT_TRUE(!radio.transfers[0].complete && radio.transfers[0].bytes.size() < 6000) << c.what;
    EXPECT_NE(out.find("Error: Requested file [fw] changed while it was served\n"), std::string::npos) << c.what;
    EXPECT_EQ(out.find("100%"), std::string::npos) << c.what;
  }
}

TEST_F(EngineTest, ProgressCountsRightBeyond21MBAndAFramesTypeIsWhatItIs) {
  // bytes_sent * 100 leaves 32 bits beyond 21474836 bytes: a sparse 30 MB file, its acknowledgements fed in turn
  // and each block taken as the transfer worker would send it.
  { std::ofstream("big"); }
  std::filesystem::resize_file("big", 30000000);
  // On a terminal every block's update; in a log one a second or a 10 % step, whichever comes first.
  const struct { bool terminal; uint64_t ms_per_ack; size_t fewest, most; } runs[] = {
      {true, 0, 22223, 22223}, {false, 0, 10, 10}, {false, 1, 22, 32}, {false, 1000, 22223, 22223}};
  std::string out;
  for (const auto& run : runs) {
    config.console.terminal = run.terminal;
    connect();
    out = view_text(view, [&] {
      feed(PDU_FILE_REQUEST, text_bytes("big"), 0);
      entry().tseq = entry().tseq + static_cast<uint32_t>(FILE_RESPONSE_SIZE);
      e.connection.transfer.response_end = entry().tseq.load();  // as the response's frame leaves
      for (int i = 0; i < 22300 && e.connection.transfer.transfer_complete == 0; ++i) {
        fake->advance(run.ms_per_ack);
        feed(PDU_ACK, {}, 3, entry().tseq);
        entry().tseq = entry().tseq + static_cast<uint32_t>(e.connection.transfer.block.length);
      }
    });
    size_t updates = 0;
    for (size_t at = out.find("<progress"); at != std::string::npos; at = out.find("<progress", at + 1)) {
      ++updates;
    }
    EXPECT_TRUE(updates >= run.fewest && updates <= run.most) << updates << " " << run.ms_per_ack;
    EXPECT_TRUE(out.ends_with("<progress 30000000 100 done>"));
    const char* shown = run.terminal ? "<progress 21475800 71>" : "<progress 27001350 90>";
    EXPECT_NE(out.find(shown), std::string::npos) << shown;
  }
  config.console.terminal = false;
  // After an error report (here, a download the radio offers) typed text still goes as terminal data.
  connect();
  radio.frames.clear(), radio.shown.clear();
  fake->grace_ms = 200;
  start();
  view_text(view, [&] { send_error_report(e.connection, RADIO, "Could not open output file"); });
  send_data(e.connection, entry(), text_bytes("logout\n").data(), 7);
  stop();
  for (const Seen& f : radio.frames) EXPECT_EQ(f.pdu, f.payload == text_bytes("logout\n") ? PDU_DATA : PDU_ERROR);
  EXPECT_EQ(radio.shown, std::string("Could not open output file\0logout\n", 34));
}

TEST_F(EngineTest, WithDiagnosticsARefusedRequestSaysWhyForTheNameAsked) {
  // The refusal names the request with ".bin" appended, as ever; the reason names what was asked.
  using R = ServeRefusal;
  const struct { const char* asked; const char* why; R refusal; } cases[] = {
      {"nothere.bin", "missing", R::MISSING}, {"../fw", "outside the served folder", R::OUTSIDE},
      {".hidden", "hidden", R::HIDDEN}, {"adir", "not a regular file", R::NOT_REGULAR}, {"huge", "too large", R::TOO_LARGE}};
  for (const auto& c : cases) server.refuse(c.asked, c.refusal);
  for (int level : {0, 1}) {
    for (const auto& c : cases) {
      e.link.config.diagnostic_level = level;
      connect();
      const std::string out = view_text(view, [&] { feed(PDU_FILE_REQUEST, text_bytes(c.asked), 0); });
      std::string expected = "Error: Requested file [" + std::string(c.asked) + ".bin] is not available\n";
      if (level == 1) expected += "d:Requested file [" + std::string(c.asked) + "] refused: " + c.why + "\n";
      EXPECT_EQ(out, expected);
    }
  }
}

TEST_F(EngineTest, AFinalBlockNeverAcknowledgedEndsTheTransferAtTheRadiosNextData) {
  fake->grace_ms = 200, radio.ack_last_block = false;
  for (size_t size : {2700, 3000}) {  // an empty final block, and one of 300 bytes
    SCOPED_TRACE(size);
    const Bytes content = write_file("fw", size);
    connect();
    radio.transfers.clear(), radio.frames.clear();
    start();
    std::string out = view_text(view, [&] {
      radio.say(PDU_FILE_REQUEST, "fw");
      ASSERT_TRUE(eventually([this] { return e.connection.events.transfer_done_event.reset(); }));
    });
    EXPECT_EQ(out.find("done\n"), std::string::npos) << "the data that ended it is neither shown nor acknowledged";
    out = view_text(view, [&] {
      radio.repeat_last();
      ASSERT_TRUE(radio.wait([&] { return radio.caught_up(); }));
      stop();
    });
    EXPECT_EQ(out, "done\n");
    EXPECT_TRUE(radio.transfers[0].bytes == content);
    EXPECT_EQ(radio.count(PDU_FILE_DATA), 3u) << "the last block is not sent again";
  }
}

TEST_F(EngineTest, AnAcknowledgementOfBytesNeverSentIsIgnored) {
  const Bytes content = write_file("fw", 3000);
  e.link.config.run_mode = RunMode::COMMAND_RUN;  // a block given up is told, the program goes on
  fake->grace_ms = 200, radio.forge_ahead = FILE_BLOCK_SIZE;  // ahead of the first block's acknowledgement
  connect();
  start();
  const std::string out = view_text(view, [&] {
    radio.say(PDU_FILE_REQUEST, "fw");
    ASSERT_TRUE(radio.wait([&] { return radio.count(PDU_DISCONNECT) || (radio.count(PDU_FILE_DATA) == 3); }));
    ASSERT_TRUE(eventually([this] { return entry().state == SESSION_CONNECTED; }));
    // The same in the terminal session: the next line waits only for the radio's own acknowledgement.
    feed(PDU_ACK, {}, radio.tseq, entry().tseq + FILE_BLOCK_SIZE);
    EXPECT_TRUE(send_data(e.connection, entry(), text_bytes("hi").data(), 2).delivered);
    stop();
  });
  EXPECT_EQ(out.find("retransmissions"), std::string::npos);
  EXPECT_TRUE(radio.transfers[0].bytes == content);
  EXPECT_EQ(std::tuple(radio.count(PDU_FILE_DATA), radio.count(PDU_DATA)), std::tuple(3u, 1u)) << "nothing sent twice";
}

TEST_F(EngineTest, ATransferIdleFor900WaitsIsGivenUp) {
  fake->grace_ms = 0;
  for (int update : {1, 0}) {  // an update run is told; otherwise the failure ends the program
    SCOPED_TRACE(update);
    connect();
    e.link.config.run_mode = update != 0 ? RunMode::UPDATE_ALL : RunMode::INTERACTIVE;
    for (int i = 0; i < 50; ++i) transfer_step(e.connection);
    EXPECT_EQ(e.connection.transfer.transfer_idle_count, 0) << "waits outside a transfer do not count";
    entry().state = SESSION_TRANSFER;
    const uint64_t start = fake->now_ms();
    Failure failed = Failure::NONE;
    view_text(view, [&] {
      for (int step = 0; step < 2000 && e.connection.transfer.transfer_failed == 0 && failed == Failure::NONE; ++step) {
        if (step == 500) feed(PDU_FILE_DATA, {}, 0);  // any frame starts the count again
        failed = transfer_step(e.connection);
      }
    });
    EXPECT_EQ(fake->now_ms() - start, (500u + 901u) * 2000u);
    EXPECT_EQ(failed, update == 0 ? Failure::TRANSFER_IDLE : Failure::NONE);
    EXPECT_EQ(e.connection.events.transfer_done_event.reset(), update != 0);
    EXPECT_EQ(radio.frames.back().pdu, PDU_DISCONNECT);
  }
}

TEST_F(EngineTest, TheStopEndsEveryWorkerWhereverItWaitsAndTheNextSessionSendsEveryKeyLeftInOrder) {
  std::string text;  // printable, no key sequence
  for (size_t i = 0; i < 20000; ++i) text += static_cast<char>(0x20 + (i * 7 + i / 90) % 90);
  fake->grace_ms = 10000;  // a send waits for its acknowledgement without repeating the frame
  connect();
  radio.ack_data = false;
  start();
  keys.type(text.substr(0, 1));
  ASSERT_TRUE(radio.wait([&] { return radio.count(PDU_DATA) == 1; }));
  keys.type(text.substr(1));
  // The send worker waits for the acknowledgement the radio holds back, the keyboard worker for room in the
  // full ring, the receive worker for frames and the transfer worker for a block.
  ASSERT_TRUE(eventually([this] { return key_ring_count(e.connection.keys) == KEY_RING_CAPACITY; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  stop();
  EXPECT_FALSE(workers.running());
  EXPECT_EQ(radio.frames.size(), 1u) << "a stopped send neither repeats nor gives up";
  EXPECT_EQ(entry().state, SESSION_CONNECTED);
  // The first key left from the keyboard's thread at once, its wait handed to the send worker; the ring
  // holds those after it.
  EXPECT_EQ(key_ring_count(e.connection.keys), KEY_RING_CAPACITY) << "the byte on the wire is not the ring's";
  radio.ack_data = true;
  start();
  // The ring's bytes go next, each once; the one whose put the stop cut short is lost.
  const std::string expected = text.substr(0, KEY_RING_CAPACITY + 1) + text.substr(KEY_RING_CAPACITY + 2);
  ASSERT_TRUE(radio.wait([&] { return radio.shown == expected; })) << radio.shown.size();
  stop();
}

TEST_F(EngineTest, KeysTypedAsTheOnesBeforeAreAcknowledgedAllReachTheRadioInOrder) {
  // A line typed as the terminal gives it: its first key leaves from the keyboard's thread at once, and the
  // rest come as its acknowledgement is taken, at times swept over that moment. However the two threads
  // meet, no key waits for ever behind a send whose acknowledgement nobody waits for.
  fake->grace_ms = 10000;  // every acknowledgement comes: nothing is repeated
  std::atomic<int> frames{0};
  radio.wire->on_send = [&](const Bytes& f) { radio.on_frame(f), frames.fetch_add(1); };
  connect();
  start();
  std::string expected;
  for (int line = 0; line < 10000; ++line) {
    const std::string text = "line " + std::to_string(line) + "\r";
    const int before = frames.load();
    keys.type(text.substr(0, 1));
    while (frames.load() == before) std::this_thread::yield();
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(line % 50);
    while (std::chrono::steady_clock::now() < until) {}
    keys.type(text.substr(1));
    expected += text;
    std::unique_lock<std::mutex> lock(radio.mutex);
    if (!radio.changed.wait_for(lock, std::chrono::seconds(5), [&] { return radio.shown == expected; })) {
      ADD_FAILURE() << "line " << line << " stopped at: " << radio.shown.substr(radio.shown.rfind('\r') + 1);
      e.link.send_locks.data[RADIO].held.release();  // a send stuck for its turn is let go, so the test ends
      break;
    }
  }
  stop();
}

// The exit status of a child process that runs `body` (100 when it returns), and what it wrote on standard
// output; -1 when it did not end within 20 seconds.
int run_in_child(const std::function<void()>& body, std::string& out) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::fflush(stdout);  // the child's copy of what is still buffered would go to the pipe
  const pid_t child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO), close(fds[0]), close(fds[1]);
    body();
    _exit(100);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  char buffer[4096];
  ssize_t n = 1;
  for (pollfd p{fds[0], POLLIN, 0}; n > 0 && std::chrono::steady_clock::now() < deadline;) {
    if (poll(&p, 1, 100) <= 0) continue;
    n = read(fds[0], buffer, sizeof buffer);
    out.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  close(fds[0]);
  if (n > 0) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  return n > 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

TEST_F(EngineTest, AWorkersFailureEndsTheProgramWithItsMessageAndStatus) {
  const std::string unsent = "Error: Unable to send data\nTerminating application ...\n";
  std::ofstream("exit.txt") << "version\n.exit\nlogout\n";
  const auto input_file = [this](const char* name) {
    e.link.config.input_source = INPUT_FILE, e.link.config.input_file_name = name;
  };
  // What sets each failure up before the session starts; the end of what the program printed, and its status.
  const struct { const char* what; std::function<void()> cause; std::string printed; int status; } cases[] = {
      {"a line never acknowledged", [&] { radio.ack_data = false, keys.type("x"); }, unsent, 4},
      {"F1's carriage return never acknowledged", [&] { radio.ack_data = false, keys.type("\x1bOP"); }, unsent, 4},
      {"a transfer idle too long", [&] { entry().state = SESSION_TRANSFER; },
       "\nTerminating application with error code:-3\n\n", 4},
      {"an exit line in the input file", [&] { input_file("exit.txt"); },
       "Local command exit executed ...\n\nTerminating application ...\n", 0},
      {"an input file that is gone", [&] { input_file("gone.txt"); }, "\nTerminating application with error code:-83\n\n",
       2},
  };
  for (const auto& c : cases) {
    std::string out;
    const int status = run_in_child([&] {
      // The program's own way out: the session asked to end, then the process ended.
      termination.exit_process = nullptr, termination.request_session_end = nullptr;
      termination.set_session_to_end(&workers);
      termination.set_telling_exit_status(true);
      connect();
      c.cause();
      start();
      std::this_thread::sleep_for(std::chrono::seconds(10));
    }, out);
    EXPECT_EQ(std::tuple(status, out.ends_with(c.printed)), std::tuple(c.status, true)) << c.what << ": " << out;
  }
}

TEST_F(EngineTest, ALineTypedAsASessionStartsReachesTheRadioOnceAndAsTyped) {
  // A terminal: a line typed before raw mode would reach the radio with the CR made LF.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  set_terminal_input_fd(slave);
  // The operator leaves (F4) as soon as the radio has the line: the stop lands inside its send.
  const auto line_ended = [this] { return radio.shown.ends_with('\r') || radio.shown.ends_with('\n'); };
  radio.wire->on_send = [this, line_ended](const Bytes& f) {
    radio.on_frame(f);
    if (read_frame_header(f)->pdu == PDU_DATA && line_ended()) workers.request_end();
  };
  std::string shown;
  for (const std::string line : {"version\r", "status\r"}) {
    connect();  // the next session, to the same radio again
    start();
    ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ASSERT_TRUE(radio.wait(line_ended)) << radio.shown;
    workers.wait_end();
    shown += std::exchange(radio.shown, "");
  }
  EXPECT_EQ(shown, "version\rstatus\r");
  set_terminal_input_fd(STDIN_FILENO);
  close(slave), close(master);
}

// Each slot's tries in order ('x' fails; done once none is left), and the slots tried.
std::map<int, std::string> g_tries;
std::vector<int> g_calls;
std::vector<std::string> g_reports;  // the report file as each try began

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

RadioAttempt scripted(Connection& conn, int slot, const void*) {
  g_calls.push_back(slot);
  g_reports.push_back(file_text(conn.link.config.report_file));
  std::string& left = g_tries[slot];
  const bool done = left.empty() || left[0] != 'x';
  if (!left.empty()) left.erase(0, 1);
  return {done, done ? "" : "try " + std::to_string(g_calls.size())};
}

TEST_F(EngineTest, FurtherPassesTakeOnlyTheFailedRadiosAfterTheirWait) {
  e.sessions[2].state = e.sessions[5].state = SESSION_CLOSED;
  const auto run = [&](std::map<int, std::string> tries, int extra_passes, const std::vector<int>& calls) {
    g_tries = std::move(tries), g_calls.clear();
    const uint64_t start = fake->now_ms();
    BatchResult r;
    view_text(view, [&] { r = run_batch_passes(e.connection, BatchKind::UPDATE_ALL, extra_passes, 1500, scripted, nullptr); });
    EXPECT_EQ(g_calls, calls);
    EXPECT_EQ(fake->now_ms() - start, 1500u * static_cast<uint64_t>(r.tries - 1));
    return std::tuple{r.taken_part, r.tries, r.failed};
  };
  EXPECT_EQ(run({}, 3, {1, 2, 5}), std::tuple(3, 1, 0));
  // Through a symbolic link, as to /dev/null: written where it points, the link kept.
  const TempFile report("");
  const std::string link = report.path_ + ".link";
  ASSERT_EQ(symlink(report.path(), link.c_str()), 0);
  e.link.config.report_file = link;
  e.sessions[1].set_name("Gr\x81n", 64), e.sessions[2].set_name("\"A\\B\"\t", 64);  // code page 437, escapes
  g_reports.clear();
  EXPECT_EQ(run({{2, "xx."}, {5, "xxxx"}}, 3, {1, 2, 5, 2, 5, 2, 5, 5}), std::tuple(3, 4, 1));
  const std::string r1 = R"({"serial":"5","name":"Grün","mac":"02:7A:42:00:00:05","result":"ok","tries":1,"errors":0,"last_error":null})",
                    r2 = R"({"serial":"0","name":"\"A\\B\"\u0009","mac":"00:00:00:00:00:00","result":)",
                    r5 = R"({"serial":"0","name":"","mac":"00:00:00:00:00:00","result":)";
  // Saved after every try: a run that ends early leaves what it did so far.
  EXPECT_EQ(g_reports[2], r1 + "\n" + r2 + R"("failed","tries":1,"errors":1,"last_error":"try 2"})" "\n" + r5 +
                              R"("not tried","tries":0,"errors":0,"last_error":null})" "\n" R"({"totals":{"run":"update",)"
                              R"("radios":3,"ok":1,"failed":1,"not_tried":1,"passes":1,"complete":false}})" "\n");
  EXPECT_EQ(file_text(report.path()), r1 + "\n" + r2 + R"("ok","tries":3,"errors":2,"last_error":null})" "\n" + r5 +
                                          R"("failed","tries":4,"errors":4,"last_error":"try 8"})" "\n" R"({"totals":)"
                                          R"({"run":"update","radios":3,"ok":2,"failed":1,"not_tried":0,"passes":4,)"
                                          R"("complete":false}})" "\n");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  std::remove(link.c_str());
}

TEST_F(EngineTest, TheReportReplacesARegularFileWithItsModeAndNeverWritesThroughAPlantedPart) {
  const std::string totals = R"({"totals":{"run":"update","radios":0,"ok":0,"failed":0,"not_tried":0,"passes":1,)"
                             R"("complete":true}})" "\n";
  const mode_t saved_umask = umask(027);
  // The report's mode before (0: none yet), and whether a link to another file waits as its .part.
  const struct { mode_t before; bool planted; mode_t after; } cases[] = {{0, false, 0640}, {0604, false, 0604},
                                                                         {0604, true, 0604}, {0, true, 0640}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.before << " " << c.planted);
    std::filesystem::remove("run.jsonl"), std::filesystem::remove("run.jsonl.part");
    std::ofstream("victim") << "keep";
    if (c.before != 0) std::ofstream("run.jsonl") << "old", chmod("run.jsonl", c.before);
    EXPECT_EQ(c.planted ? symlink("victim", "run.jsonl.part") : 0, 0);
    e.link.config.report_file = "run.jsonl";
    EXPECT_EQ(view_text(view, [&] { save_run_report(e.link.config, view, BatchKind::UPDATE_ALL, BatchResult{}, true); }), "");
    struct stat st {};
    ASSERT_EQ(lstat("run.jsonl", &st), 0);
    EXPECT_EQ(std::tuple(S_ISREG(st.st_mode), st.st_mode & 07777, file_text("run.jsonl"), file_text("victim")),
              std::tuple(true, c.after, totals, std::string("keep")));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("run.jsonl.part")));
  }
  umask(saved_umask);
}

TEST_F(EngineTest, AnExitLineEndsACommandRunWithTheRadiosNotTriedToldByStatusAndReport) {
  const std::string ok = R"({"serial":"5","name":"","mac":"02:7A:42:00:00:05","result":"ok","tries":1,)"
                         R"("errors":0,"last_error":null})" "\n",
                    not_tried = R"({"serial":"0","name":"","mac":"00:00:00:00:00:00","result":"not tried",)"
                                R"("tries":0,"errors":0,"last_error":null})" "\n";
  auto totals = [](int radios, int left, const char* complete) {
    return R"({"totals":{"run":"commands","radios":)" + std::to_string(radios) + R"(,"ok":1,"failed":0,"not_tried":)" +
           std::to_string(left) + R"(,"passes":1,"complete":)" + complete + "}}\n";
  };
  // The state of entry 2 (empty: no second radio); how the program ends (its status) and the report.
  const struct { int32_t second; Failure failure; std::string report; } cases[] = {
      {SESSION_EMPTY, Failure::LOCAL_EXIT, ok + totals(1, 0, "true")},
      {SESSION_CLOSED, Failure::LOCAL_EXIT_RADIOS_FAILED, ok + not_tried + totals(2, 1, "false")}};
  e.link.config.run_mode = RunMode::COMMAND_RUN;
  e.link.config.command_run.command_file = "commands.txt", e.link.config.report_file = "run.jsonl";
  std::ofstream("commands.txt") << "version\n.exit\nlogout\n";
  fake->grace_ms = 200;
  radio.wire->empty_read_ms = 0;
  start(-1);
  for (const auto& c : cases) {
    e.sessions[2].state = c.second, entry().state = SESSION_FOUND, radio.shown.clear();
    CommandRunEnd ended;
    const std::string out = view_text(view, [&] { ended = run_commands_on_all_radios(e.connection); });
    EXPECT_TRUE(out.ends_with("Connect to Radio: OK\nOK\n")) << "no report, no further pass: " << out;
    EXPECT_EQ(std::tuple(ended.failure, file_text("run.jsonl"), radio.shown),
              std::tuple(c.failure, c.report, std::string("version\n") + '\0'));
  }
  e.link.config.command_run.command_file = "missing.txt";
  capture_stdout([&] { EXPECT_EQ(run_commands_on_all_radios(e.connection).failure, Failure::FILE_NOT_READ); });
  stop();
}

TEST_F(EngineTest, ARadioLeavingABatchRunClosesOnlyItsEntryAndARefusedDownloadFailsAtOnce) {
  const struct { uint16_t pdu; int update_all; int32_t state_after; } cases[] = {
      {PDU_DISCONNECT, 1, SESSION_CLOSED}, {PDU_DISCONNECT, 0, SESSION_CLOSED}, {PDU_RESTORE, 1, SESSION_CLOSED},
      {PDU_RESTORE, 0, SESSION_CLOSED}, {PDU_ERROR, 1, SESSION_CONNECTED}, {PDU_FILE_REQUEST, 1, SESSION_CONNECTED},
  };
  e.link.config.run_mode = RunMode::COMMAND_RUN;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pdu);
    connect();
    e.link.config.run_mode = c.update_all != 0 ? RunMode::UPDATE_ALL : RunMode::COMMAND_RUN;
    entry().state = c.pdu == PDU_FILE_REQUEST ? SESSION_CONNECTED : SESSION_TRANSFER;  // in the middle of a download
    entry().send_file = std::tmpfile();
    view_text(view, [&] { feed(c.pdu, text_bytes("missing"), 0); });
    EXPECT_EQ(entry().state, c.state_after);
    EXPECT_EQ(entry().send_file, nullptr);
    EXPECT_EQ(catcher.session_end_requests() + e.connection.restore_requested, 0);
    EXPECT_EQ(e.connection.transfer.transfer_failed, c.update_all);
    EXPECT_EQ(e.connection.events.transfer_done_event.reset(), c.update_all != 0);
  }
}

TEST_F(EngineTest, AStaleEndSignalCannotPassADownloadThatNeverEnds) {
  e.link.config.run_mode = RunMode::UPDATE_ALL;
  fake->grace_ms = 200;
  radio.wire->empty_read_ms = 0;
  start(-1);
  e.connection.events.transfer_done_event.set();  // left over from an earlier radio
  bool updated = true;
  view_text(view, [&] { updated = update_one_radio(e.connection, RADIO, {"fw.bin", "main.bin", 2}).done; });
  stop();
  EXPECT_FALSE(updated);
  EXPECT_GE(fake->now_ms(), uint64_t{RADIO_PAUSE_MS + DOWNLOAD_WAIT_MS + AFTER_DOWNLOAD_MS});
  EXPECT_EQ(radio.shown, std::string("download fw.bin main.bin\n") + '\0') << "no sdp after a failed download";
  EXPECT_EQ(radio.frames.back().pdu, PDU_DISCONNECT);
}

TEST_F(EngineTest, ARadioThatLeftABatchRunGetsNothingButANewConnectRequest) {
  e.link.config.run_mode = RunMode::COMMAND_RUN;
  fake->grace_ms = 200;
  radio.wire->empty_read_ms = 0;
  radio.on_leave = [this] { ASSERT_TRUE(eventually([this] { return entry().state == SESSION_CLOSED; })); };
  const std::string name = "\x1b[2JR\x7f";  // the radio's own name: its control bytes shown as '?'
  entry().set_name(name.data(), name.size());
  start(-1);
  const std::string connected = "<connected 1>Connect to Radio: OK\n", left = "Connection with device terminated\n";
  for (int update : {0, 1}) {  // it logs out after a command; it leaves when asked for a download
    e.link.config.run_mode = update != 0 ? RunMode::UPDATE_ALL : RunMode::COMMAND_RUN;
    radio.leave_on = update != 0 ? "download" : "logout", radio.frames.clear();
    bool done = true;
    const std::string out = view_text(view, [&] {
      done = update != 0 ? update_one_radio(e.connection, RADIO, {"fw.bin", "main.bin", 2}).done
                         : run_commands_on_radio(e.connection, RADIO, {"version\n", "logout\n", "version\n"}).done;
    });
    EXPECT_FALSE(done);
    EXPECT_EQ(out, update != 0 ? "Updating radio ?[2JR? ...\n" + connected + left + "Download: FAILED\n"
                               : "Executing commands on radio ?[2JR? ...\n" + connected + "OK\n" + left +
                                     "OK\nExecution of command [version\n]  FAILED\n");
    EXPECT_EQ(radio.frames.size(), radio.left_at) << radio.frames.back().pdu << " " << radio.frames.back().cid;
  }
  int again = 0;
  view_text(view, [&] { again = connect_session(e.connection, RADIO); });  // the next pass asks it anew
  EXPECT_EQ(std::tuple(again, radio.frames[radio.left_at].pdu), std::tuple(1, PDU_CONNECT_REQUEST));
  stop();
}

TEST_F(EngineTest, F3OrCtrlCStopsABatchRunAtOnceWithADisconnectAndABareEscDoesNothing) {
  write_file("fw.bin", 3000);
  e.link.config.run_mode = RunMode::UPDATE_ALL;
  e.link.config.update = {"fw.bin", "main.bin", 3, 0, 0};
  e.link.config.report_file = "run.jsonl";
  entry().set_name("One", 64), e.sessions[2].set_name("Two", 64);
  e.sessions[2].mac = RADIO_MAC;
  termination.set_telling_exit_status(true);
  fake->grace_ms = 500;  // a wait nobody ends takes this long in real time
  radio.wire->empty_read_ms = 0;
  const struct { const char* key; bool stops; } cases[] = {{"\x1b", false}, {"\x1bOR", true}, {"\x03", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stops ? c.key + 1 : "Esc");
    radio.frames.clear(), radio.transfers.clear(), e.link.stop.clear(), termination.set_stopped_by_operator(false);
    e.sessions[2].state = c.stops ? SESSION_FOUND : SESSION_EMPTY;  // a radio the stop leaves out
    size_t typed_at = 0;  // frames the radio had seen when the key was typed
    std::vector<std::thread> requests;
    radio.wire->on_send = [&](const Bytes& f) {
      radio.on_frame(f);
      if (read_frame_header(f)->pdu != PDU_DATA || read_frame_header(f)->nbytes == 0) return;
      if (typed_at == 0) {
        { std::scoped_lock lock(radio.mutex); typed_at = radio.frames.size(); }
        keys.type(c.key);
      }
      // The radio asks for the file once an Esc would have been taken.
      if (!c.stops) requests.emplace_back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        radio.say(PDU_FILE_REQUEST, "fw.bin");
      });
    };
    start(-1);
    const uint64_t began = fake->now_ms();
    bool all_done = false;
    const std::string out = view_text(view, [&] { all_done = update_all_radios(e.connection); });
    workers.wait_end();
    for (std::thread& t : requests) t.join();
    EXPECT_EQ(all_done, !c.stops);
    EXPECT_EQ(termination.exit_status(EXIT_DONE, all_done ? EXIT_DONE : EXIT_SOME_RADIOS_FAILED), c.stops ? 5 : 0);
    const std::string report = file_text("run.jsonl");
    if (!c.stops) {
      EXPECT_EQ(radio.transfers.size(), 1u) << out;
      EXPECT_NE(report.find(R"("ok":1,"failed":0,"not_tried":0,"passes":1,"complete":true)"), std::string::npos);
      continue;
    }
    EXPECT_LT(fake->now_ms() - began, uint64_t{RADIO_PAUSE_MS + DOWNLOAD_WAIT_MS});
    std::vector<uint16_t> after;  // what reached the radio after the key
    for (size_t i = typed_at; i < radio.frames.size(); ++i) after.push_back(radio.frames[i].pdu);
    EXPECT_EQ(after, std::vector<uint16_t>{PDU_DISCONNECT});
    EXPECT_TRUE(out.starts_with("Updating radio One ...\n") && out.find("Connect to Radio: OK\n\n=") < out.find("Two"));
    EXPECT_NE(out.find(" Radios updated successfully: 0\n Radios not updated: 2\n"), std::string::npos);
    EXPECT_NE(out.find("(radio name/serial number)\n\n             One 5\n             Two 5\n"), std::string::npos);
    EXPECT_NE(report.find(R"("name":"One","mac":"02:7A:42:00:00:05","result":"failed","tries":1,)"
                          R"("errors":1,"last_error":"stopped by the operator"})"), std::string::npos) << report;
    EXPECT_NE(report.find(R"("name":"Two","mac":"02:7A:42:00:00:05","result":"not tried","tries":0,)"),
              std::string::npos) << report;
    EXPECT_NE(report.find(R"("ok":0,"failed":1,"not_tried":1,"passes":1,"complete":false)"), std::string::npos);
  }
}

}  // namespace
}  // namespace orvex::test
