// Several connections over one link: frames reach the connection serving
// their entry, and a parallel run tries what a sequential one tries.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "batch/batch_runs.hpp"
#include "batch/parallel_runs.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/transfer.hpp"
#include "tests/support/fake_clock.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "tests/support/fake_platform.hpp"
#include "tests/support/radio_peer.hpp"
#include "tests/support/recording_view.hpp"

namespace orvex::test {
namespace {

const MacAddress LOCAL{{0x02, 0, 0, 0, 0, 1}}, NORTH{{0x02, 0x7A, 0x42, 0, 0, 1}}, SOUTH{{0x02, 0x7A, 0x42, 0, 0, 2}},
    WEST{{0x02, 0x7A, 0x42, 0, 0, 3}};

class ParallelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config.local_mac = LOCAL;
    auto wire = std::make_unique<FakePacketAdapter>();
    wire->clock = &clock;
    wire->on_send = [this](const Bytes& f) {
      std::lock_guard<std::mutex> lock(sent_mutex);
      sent.push_back(*read_frame_header(f));
    };
    e.link.io.attach(std::move(wire));
  }
  void connected(int index, const MacAddress& mac, uint16_t cid, Connection* owner) {
    Session& s = e.sessions[index];
    s.mac = mac, s.protocol_level = 2, s.cid = cid, s.tseq = 1, s.rseq = 0, s.state = SESSION_CONNECTED;
    s.next_pdu = PDU_DATA;
    e.link.owners[static_cast<size_t>(index)] = owner;
  }
  int feed(const MacAddress& from, uint16_t cid, uint32_t tseq, const std::string& text) {
    const Bytes f = peer_frame(from, LOCAL, PDU_DATA, cid, tseq, 1, text_bytes(text));
    return dispatch_frame(e.connection, f.data(), static_cast<int>(f.size()));
  }

  Config config;
  RecordingView view, north_view, south_view;
  FakeClock clock;
  FakeFileServer files{nullptr};
  Engine e{config, view, clock, files};
  Connection north{e.link, e.sessions, files, north_view}, south{e.link, e.sessions, files, south_view};
  std::mutex sent_mutex;
  std::vector<FrameHeader> sent;
};

TEST_F(ParallelTest, FramesGoToTheConnectionServingTheirEntryAndCountOnlyFromItsRadio) {
  e.link.shared = true;
  connected(1, NORTH, 0x1111, &north);
  connected(2, SOUTH, 0x2222, &south);
  connected(3, WEST, 0x3333, nullptr);  // a radio no connection serves any more
  EXPECT_EQ(feed(NORTH, 0x1111, 0, "north"), 0);
  EXPECT_EQ(feed(SOUTH, 0x2222, 0, "south"), 0);
  // Another radio's identifier from this one, and a radio nobody serves: nothing shown, nothing counted.
  EXPECT_EQ(feed(NORTH, 0x2222, 5, "forged"), DISPATCH_REJECTED);
  EXPECT_EQ(feed(WEST, 0x3333, 0, "late"), DISPATCH_UNKNOWN_SESSION);
  // The same identifier on two entries is told apart by the source.
  e.sessions[2].cid = 0x1111;
  EXPECT_EQ(feed(SOUTH, 0x1111, 5, "again"), 0);
  EXPECT_EQ(north_view.take_text(), "north");
  EXPECT_EQ(south_view.take_text(), "southagain");
  EXPECT_EQ(view.take_text(), "");
  EXPECT_EQ(e.sessions[1].rseq.load(), 5u);
  EXPECT_EQ(e.sessions[2].rseq.load(), 10u);
  EXPECT_EQ(e.sessions[3].rseq.load(), 0u);

  // A file request ends only its own connection's transfer, not another radio's.
  files.serve("fw.bin", Bytes(3000, 7));
  const auto request = [&](const MacAddress& from, uint16_t cid, uint32_t tseq) {
    const Bytes f = peer_frame(from, LOCAL, PDU_FILE_REQUEST, cid, tseq, 1, text_bytes("fw.bin"));
    return dispatch_frame(e.connection, f.data(), static_cast<int>(f.size()));
  };
  EXPECT_EQ(request(NORTH, 0x1111, 5), 0);
  EXPECT_EQ(request(SOUTH, 0x1111, 10), 0);
  EXPECT_NE(e.sessions[1].send_file, nullptr);
  EXPECT_NE(e.sessions[2].send_file, nullptr);
  EXPECT_EQ(e.sessions[1].state.load(), SESSION_TRANSFER);

  // A set-up leaves the other connections open and takes an identifier none of them has.
  e.sessions[4].mac = WEST, e.sessions[4].protocol_level = 2, e.sessions[4].state = SESSION_FOUND;
  EXPECT_EQ(connect_session(south, 4), 0);  // unanswered
  EXPECT_EQ(e.sessions[1].state.load(), SESSION_TRANSFER);
  EXPECT_EQ(e.sessions[1].cid.load(), 0x1111);
  for (const int i : {1, 2}) abandon_transfer(i == 1 ? north : south, e.sessions[i]);
  EXPECT_NE(e.sessions[4].cid.load(), 0x1111);
  EXPECT_NE(e.sessions[4].cid.load(), 0x3333);
}

// Each slot's tries in order ('x' fails); calls overlap in a parallel run.
struct Script {
  std::mutex mutex;
  std::map<int, std::string> tries;
  int busy = 0, most_busy = 0;
  int stop_at = 0;  // the slot whose try the operator stops
};
Script* g_script = nullptr;

RadioAttempt scripted(Connection& conn, int slot, const void*) {
  Script& s = *g_script;
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.most_busy = std::max(s.most_busy, ++s.busy);
    std::string& left = s.tries[slot];
    done = left.empty() || left[0] != 'x';
    if (!left.empty()) left.erase(0, 1);
  }
  if (slot == s.stop_at) conn.link.stop.request();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the others reach their radios meanwhile
  std::lock_guard<std::mutex> lock(s.mutex);
  --s.busy;
  return {done, done ? "" : "failed at " + std::to_string(slot)};
}

TEST_F(ParallelTest, AParallelRunTriesWhatASequentialOneTriesWithAtMostItsLanesBusy) {
  for (int i = 1; i <= 6; ++i) e.sessions[i].state = SESSION_FOUND;
  const auto run = [&](int lanes, int stop_at) {
    Script script;
    script.tries = {{2, "x."}, {4, "xxx"}, {5, "x"}}, script.stop_at = stop_at;
    g_script = &script;
    e.link.stop.clear();
    const BatchResult r = lanes == 1 ? run_batch_passes(e.connection, BatchKind::UPDATE_ALL, 2, 1500, scripted, nullptr)
                                     : run_parallel_passes(e.connection, BatchKind::UPDATE_ALL, 2, 1500, scripted,
                                                           nullptr, lanes);
    e.link.shared = false;
    return std::tuple{format_report_lines(BatchKind::UPDATE_ALL, r, true), r.failed, r.tries, script.most_busy};
  };
  const auto [sequential, failed, passes, one] = run(1, 0);
  EXPECT_EQ(std::tie(failed, passes, one), std::tuple(1, 3, 1));
  EXPECT_EQ(run(4, 0), std::tuple(sequential, 1, 3, 4));
  EXPECT_EQ(run(64, 0), std::tuple(sequential, 1, 3, 6));
  // The operator's stop: no radio is started after it; those not reached are not tried.
  const auto [stopped, stopped_failed, stopped_passes, busy] = run(2, 3);
  EXPECT_EQ(std::tie(stopped_failed, stopped_passes, busy), std::tuple(4, 1, 2));
  EXPECT_NE(stopped.find(R"("result":"not tried")"), std::string::npos) << stopped;
  EXPECT_EQ(std::ranges::count(stopped, '\n'), 7);
}

}  // namespace
}  // namespace orvex::test
