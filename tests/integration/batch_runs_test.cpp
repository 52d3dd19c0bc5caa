// The batch runs in virtual time: the passes over the radios, a radio that
// leaves a batch run, and an update whose download never ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "base/terminate.hpp"
#include "batch/batch_runs.hpp"
#include "base/settings.hpp"
#include "engine/dispatch.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

int g_end_requests = 0;
void count_end_request() { ++g_end_requests; }

// Per slot, the outcomes of its tries in order; the slots in call order.
struct Script {
  std::map<int, std::vector<bool>> outcomes;
  std::vector<int> calls;
};

bool scripted_radio(int slot, const void* context) {
  auto* script = static_cast<Script*>(const_cast<void*>(context));
  script->calls.push_back(slot);
  std::vector<bool>& left = script->outcomes[slot];
  const bool done = left.empty() ? true : left.front();
  if (!left.empty()) left.erase(left.begin());
  return done;
}

class BatchRunsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    g_end_requests = 0;
    termination_hooks().request_session_end = count_end_request;
  }
  void found(int slot, const char* name, uint8_t serial_low) {
    Session& s = session_table()[slot];
    s.state = SESSION_CLOSED;
    s.set_name(name, std::strlen(name));
    s.mac = MacAddress{{0x02, 0x7A, 0x41, 0x00, 0x2C, serial_low}};
  }
  int feed(uint16_t pdu, const PeerBytes& payload = {}) {
    const PeerBytes frame = peer_frame(RADIO_MAC, LOCAL_MAC, pdu, RADIO_CID, 0, 1, payload);
    return dispatch_frame(frame.data(), static_cast<int>(frame.size()));
  }
};

TEST_F(BatchRunsTest, FurtherPassesTakeOnlyTheFailedRadiosAfterTheWait) {
  found(0, "North", 0x11);
  found(2, "Harbour", 0x12);
  found(5, "Quarry", 0x13);
  struct Case {
    const char* what;
    std::map<int, std::vector<bool>> outcomes;
    int extra_passes;
    std::vector<int> calls;
    int tries;
    int failed;
    std::string messages;
  } cases[] = {
      {"all done at once", {}, 3, {0, 2, 5}, 1, 0, ""},
      {"one late, one never",
       {{2, {false, false, true}}, {5, {false, false, false, false}}},
       3,
       {0, 2, 5, 2, 5, 2, 5, 5},
       4,
       1,
       "2 radios  not updated after 1 pass\nWaiting 1 secs for the next pass ...\n"
       "2 radios  not updated after 2 pass\nWaiting 1 secs for the next pass ...\n"
       "1 radios  not updated after 3 pass\nWaiting 1 secs for the next pass ...\n"},
      {"no extra passes", {{0, {false}}}, 0, {0, 2, 5}, 1, 1, ""},
  };
  for (const Case& c : cases) {
    Script script{c.outcomes, {}};
    const uint64_t start = fake_clock().now_ms();
    BatchResult result;
    const std::string out = capture_stdout(
        [&] { result = run_batch_passes(BatchKind::UPDATE_ALL, c.extra_passes, 1500, scripted_radio, &script); });
    EXPECT_EQ(out, c.messages) << c.what;
    EXPECT_EQ(script.calls, c.calls) << c.what;
    EXPECT_EQ(result.taken_part, 3) << c.what;
    EXPECT_EQ(result.tries, c.tries) << c.what;
    EXPECT_EQ(result.failed, c.failed) << c.what;
    EXPECT_EQ(fake_clock().now_ms() - start, 1500u * static_cast<uint64_t>(c.tries - 1)) << c.what;
    ASSERT_EQ(result.radios.size(), 3u) << c.what;
    EXPECT_EQ(result.radios[1].name, "Harbour") << c.what;
    EXPECT_EQ(result.radios[1].serial_text, "11282") << c.what;
  }
}

TEST_F(BatchRunsTest, ARadioThatLeavesABatchRunClosesOnlyItsOwnEntry) {
  struct Case {
    uint16_t pdu;
    int update_all;
    const char* shown;
  } cases[] = {
      {PDU_DISCONNECT, 1, "Connection with device terminated\n"},
      {PDU_DISCONNECT, 0, "Connection with device terminated\n"},
      {PDU_RESTORE, 1, "Restoring connection with device 02:7A:42:00:00:05.\n"},
      {PDU_RESTORE, 0, "Restoring connection with device 02:7A:42:00:00:05.\n"},
  };
  for (const Case& c : cases) {
    connect_radio(2);
    program_options().batch_mode = 1;
    program_options().update_all_mode = c.update_all;
    transfer_state().transfer_failed = 0;
    session_events().transfer_done_event.reset();
    Session& s = session_table()[RADIO_ENTRY];
    s.state = SESSION_TRANSFER;  // cut off in the middle of a download
    s.send_file = std::tmpfile();
    EXPECT_EQ(capture_stdout([&] { feed(c.pdu); }), c.shown) << c.pdu;
    EXPECT_EQ(s.state, SESSION_CLOSED) << c.pdu;
    EXPECT_EQ(s.send_file, nullptr) << c.pdu;
    EXPECT_EQ(g_end_requests, 0) << c.pdu;
    EXPECT_EQ(run_state().restore_requested, 0) << c.pdu;
    // The update run's wait ends at once with a failed download.
    EXPECT_EQ(transfer_state().transfer_failed, c.update_all) << c.pdu;
    EXPECT_EQ(session_events().transfer_done_event.reset(), c.update_all != 0) << c.pdu;
  }
}

TEST_F(BatchRunsTest, ARadioRefusingItsDownloadFailsTheUpdateAtOnce) {
  connect_radio(2);
  program_options().batch_mode = 1;
  program_options().update_all_mode = 1;
  session_table()[RADIO_ENTRY].state = SESSION_TRANSFER;
  const std::string out = capture_stdout([&] { feed(PDU_ERROR, text_bytes("Download refused")); });
  EXPECT_NE(out.find("File transfer failed on server side"), std::string::npos);
  EXPECT_EQ(transfer_state().transfer_failed, 1);
  EXPECT_TRUE(session_events().transfer_done_event.reset());
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CONNECTED);
  EXPECT_EQ(g_end_requests, 0);
}

TEST_F(BatchRunsTest, ADownloadThatNeverEndsFailsAfterItsWaitWhateverWasLeftSignalled) {
  add_radio(2);
  program_options().batch_mode = 1;
  program_options().update_all_mode = 1;
  start_engine(-1);
  // Left over from an earlier radio: neither may decide this one.
  transfer_state().transfer_failed = 1;
  session_events().transfer_done_event.set();
  transfer_state().transfer_failed = 0;
  session_events().transfer_done_event.set();

  UpdateAllRequest request;
  request.source = "fw.bin";
  request.destination = "main.bin";
  request.action = 2;
  const uint64_t start = fake_clock().now_ms();
  bool updated = true;
  const std::string out = capture_stdout([&] { updated = update_one_radio(RADIO_ENTRY, request); });
  stop_engine();
  EXPECT_FALSE(updated);
  EXPECT_EQ(run_state().chosen_radio, RADIO_ENTRY);
  EXPECT_NE(out.find("Updating radio radio ...\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Connect to Radio: OK\n"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("Download: FAILED\n")) << out;
  EXPECT_GE(fake_clock().now_ms() - start, uint64_t{RADIO_PAUSE_MS + DOWNLOAD_WAIT_MS + AFTER_DOWNLOAD_MS});

  const auto frames = radio->snapshot().frames;
  std::vector<PeerBytes> data;
  for (const PeerFrame& f : frames) {
    if (f.pdu == PDU_DATA && !f.payload.empty()) data.push_back(f.payload);
  }
  const std::string command = "download fw.bin main.bin\n";
  PeerBytes expected(command.begin(), command.end());
  expected.push_back(0);  // the radio's command line takes the terminating zero byte
  ASSERT_EQ(data.size(), 1u);  // no "sdp" after a failed download
  EXPECT_EQ(data[0], expected);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().pdu, PDU_DISCONNECT);
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CLOSED);
}

TEST_F(BatchRunsTest, EndingATransferAfterTheWaitClosesItsFile) {
  connect_radio(2);
  Session& s = session_table()[RADIO_ENTRY];
  s.state = SESSION_TRANSFER;
  s.send_file = std::tmpfile();
  end_transfer_after_wait(RADIO_ENTRY);
  EXPECT_EQ(s.send_file, nullptr);
  EXPECT_EQ(s.state, SESSION_CONNECTED);
  EXPECT_EQ(s.next_pdu, PDU_DATA);
}

}  // namespace
}  // namespace orvex::test
