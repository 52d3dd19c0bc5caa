// Files served to a scripted radio by the receive worker's dispatcher and the
// transfer worker, over the in-memory wire.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/settings.hpp"
#include "engine/connect.hpp"
#include "engine/dispatch.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

// A timed wait allows 200 ms of real time before it counts as timed out, so a
// slow sanitizer run never turns a prompt acknowledgement into a retransmission.
constexpr uint32_t GRACE_MS = 200;

std::string as_text(const PeerBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

size_t frames_of(const RadioPeer::Snapshot& seen, uint16_t pdu) {
  return static_cast<size_t>(
      std::count_if(seen.frames.begin(), seen.frames.end(), [pdu](const PeerFrame& f) { return f.pdu == pdu; }));
}

class TransferTest : public EngineTest {
 protected:
  TransferTest() : EngineTest(GRACE_MS) {}

  // Waits until the radio holds `count` finished transfers and, when the last
  // was served, until the program has ended it.
  bool wait_for_transfers(size_t count) {
    const bool got = radio->wait_for([count](const RadioPeer& r) {
      return r.transfers.size() >= count && r.transfers[count - 1].complete;
    });
    if (!got) return false;
    return wait_for_connected();
  }
  bool wait_for_connected() {
    for (int i = 0; i < 100; ++i) {
      if (session_table()[RADIO_ENTRY].state == SESSION_CONNECTED) return true;
      fake_clock().sleep_ms(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  bool wait_for_done() {
    for (int i = 0; i < 20; ++i) {
      if (session_events().transfer_done_event.wait(1000)) return true;
    }
    return false;
  }
};

// --- Sizes, block splits and progress lines -------------------------------

struct SizeCase {
  size_t size;
  std::vector<uint32_t> blocks;  // empty: not checked block by block
  const char* progress;          // the progress lines, or nullptr
};

class TransferSizeTest : public TransferTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(TransferSizeTest, ArrivesByteIdenticalInTheExpectedBlocks) {
  const SizeCase& c = GetParam();
  const std::string content = write_file("fw", c.size);
  connect_radio(2);
  start_engine();
  const std::string out = capture_stdout([&] {
    radio->request_file("fw");
    ASSERT_TRUE(wait_for_transfers(1));
    ASSERT_TRUE(wait_for_done());
  });
  // The second part of a split block may still be waiting for its
  // acknowledgement when the transfer is done.
  for (int i = 0; i < 200 && session_table()[RADIO_ENTRY].next_pdu != PDU_DATA; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop_engine();
  const auto seen = radio->snapshot();
  ASSERT_EQ(seen.transfers.size(), 1u);
  const auto& t = seen.transfers[0];
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.size, static_cast<int32_t>(c.size));
  EXPECT_TRUE(as_text(t.bytes) == content) << "the file arrives byte-identical";
  if (!c.blocks.empty()) {
    EXPECT_EQ(t.blocks, c.blocks);
  }
  EXPECT_EQ(seen.repeated_frames, 0);
  EXPECT_EQ(frames_of(seen, PDU_FILE_DATA), t.blocks.size()) << "no block is sent twice";
  EXPECT_EQ(count_of(out, "(100% completed)]\n"), 1u);
  EXPECT_EQ(out.find("The requested file [fw] was opened successfully\n\r"), 0u);
  if (c.progress != nullptr) {
    EXPECT_EQ(out.substr(std::string("The requested file [fw] was opened successfully\n\r").size()), c.progress);
  }
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CONNECTED);
  EXPECT_EQ(session_table()[RADIO_ENTRY].send_file, nullptr);
  EXPECT_EQ(session_table()[RADIO_ENTRY].next_pdu, PDU_DATA) << "typed text goes out as terminal data again";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TransferSizeTest,
    ::testing::Values(
        SizeCase{0, {0}, "\r [Transferring file       0 bytes sent (100% completed)]\n"},
        SizeCase{1, {1}, nullptr}, SizeCase{255, {255}, nullptr}, SizeCase{256, {200, 56}, nullptr},
        SizeCase{1024, {200, 824}, nullptr}, SizeCase{1349, {1349}, nullptr},
        SizeCase{1350, {1350, 0},
                 "\r [Transferring file    1350 bytes sent (99% completed)]"
                 "\r [Transferring file    1350 bytes sent (100% completed)]\n"},
        SizeCase{2700, {1350, 1350, 0},
                 "\r [Transferring file    1350 bytes sent (49% completed)]"
                 "\r [Transferring file    2700 bytes sent (99% completed)]"
                 "\r [Transferring file    2700 bytes sent (100% completed)]\n"},
        SizeCase{3000, {1350, 1350, 300},
                 "\r [Transferring file    1350 bytes sent (44% completed)]"
                 "\r [Transferring file    2700 bytes sent (89% completed)]"
                 "\r [Transferring file    3000 bytes sent (100% completed)]\n"},
        SizeCase{1 << 20, {}, nullptr}),
    [](const ::testing::TestParamInfo<SizeCase>& param) { return "Bytes" + std::to_string(param.param.size); });

// --- Names -----------------------------------------------------------------

struct NameCase {
  uint8_t level;
  const char* request;
  int32_t status;
  const char* served;   // the local file whose content arrives, or nullptr
  const char* message;  // printed by the program
};

TEST_F(TransferTest, NamesArePrefixedForLevel0RadiosAndServedOnlyFromTheWorkingDirectory) {
  std::filesystem::create_directories("work/a");
  std::filesystem::current_path("work");
  write_file("../x", 10);
  write_file("fw", 100);
  write_file("image.bin", 120);
  write_file("tmp/fw", 130);
  write_file("tmp/cfg.bin", 140);
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  {
    // Larger than a 32-bit size can say; sparse, so it costs no space.
    std::FILE* huge = std::fopen("huge", "wb");
    ASSERT_NE(huge, nullptr);
    ASSERT_EQ(ftruncate(fileno(huge), off_t{3} << 30), 0);
    std::fclose(huge);
  }
  const std::string long_name(300, 'n');
  const std::string long_message = "Error: Requested file [" + std::string(127, 'n') + ".bin] is not available\n";
  const NameCase cases[] = {
      {0, "tmp/fw", 0, "fw", "The requested file [fw] was opened successfully\n\r"},
      {0, "flash/fw", 0, "fw", "The requested file [fw] was opened successfully\n\r"},
      {0, "fw", 0, "fw", "The requested file [fw] was opened successfully\n\r"},
      {0, "tmp/image", 0, "image.bin", "The requested file [image.bin] was opened successfully\n\r"},
      {0, "boot/fw", -2, nullptr, "Invalid prefix:boot. Should be either tmp or flash\n"},
      {2, "tmp/fw", 0, "tmp/fw", "The requested file [tmp/fw] was opened successfully\n\r"},
      {2, "tmp/cfg", 0, "tmp/cfg.bin", "The requested file [tmp/cfg.bin] was opened successfully\n\r"},
      {2, "../x", -1, nullptr, "Error: Requested file [../x.bin] is not available\n"},
      {2, "/etc/hostname", -1, nullptr, "Error: Requested file [/etc/hostname.bin] is not available\n"},
      {2, "a/../../x", -1, nullptr, "Error: Requested file [a/../../x.bin] is not available\n"},
      {2, ".", -1, nullptr, "Error: Requested file [..bin] is not available\n"},
      {2, "pipe", -1, nullptr, "Error: Requested file [pipe.bin] is not available\n"},
      {2, "huge", -1, nullptr, "Error: Requested file [huge.bin] is not available\n"},
      {0, "tmp/../../x", -1, nullptr, "Error: Requested file [../../x.bin] is not available\n"},
      // Only 127 bytes of a name count, and ".bin" still fits behind them.
      {2, long_name.c_str(), -1, nullptr, long_message.c_str()},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.request);
    connect_radio(c.level);
    start_engine();
    const std::string out = capture_stdout([&] {
      radio->request_file(c.request);
      ASSERT_TRUE(wait_for_transfers(1));
    });
    stop_engine();
    EXPECT_EQ(out.substr(0, std::strlen(c.message)), c.message);
    const auto seen = radio->snapshot();
    ASSERT_EQ(seen.transfers.size(), 1u);
    EXPECT_EQ(seen.transfers[0].status, c.status);
    if (c.served != nullptr) {
      std::ifstream in(c.served, std::ios::binary);
      const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_TRUE(as_text(seen.transfers[0].bytes) == expected);
    } else {
      EXPECT_EQ(seen.transfers[0].size, -1);
      EXPECT_TRUE(seen.transfers[0].bytes.empty());
    }
    EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CONNECTED);
  }
}

// --- Sequences of transfers ------------------------------------------------

TEST_F(TransferTest, DownloadsRequestedBackToBackBothArriveWithNoBlockSentTwice) {
  const std::string a = write_file("a", 3000);   // ends with a block of 300 bytes
  const std::string b = write_file("b", 2700);   // ends with an empty block
  const std::string c = write_file("c", 1024);   // ends with 200 + 824
  connect_radio(2);
  radio->next_requests = {"b", "c", "a"};
  start_engine();
  capture_stdout([&] {
    radio->request_file("a");
    ASSERT_TRUE(wait_for_transfers(4));
  });
  stop_engine();
  const auto seen = radio->snapshot();
  ASSERT_EQ(seen.transfers.size(), 4u);
  EXPECT_TRUE(as_text(seen.transfers[0].bytes) == a);
  EXPECT_TRUE(as_text(seen.transfers[1].bytes) == b);
  EXPECT_TRUE(as_text(seen.transfers[2].bytes) == c);
  EXPECT_TRUE(as_text(seen.transfers[3].bytes) == a);
  EXPECT_EQ(seen.repeated_frames, 0);
  EXPECT_EQ(frames_of(seen, PDU_FILE_RESPONSE), 4u);
  EXPECT_EQ(frames_of(seen, PDU_FILE_DATA), 3u + 3u + 2u + 3u);
}

TEST_F(TransferTest, ARadioThatPrintsDuringATransferStillReceivesTheWholeFile) {
  const std::string content = write_file("fw", 7000);
  connect_radio(2);
  radio->print_after_each_block = "#";
  start_engine();
  const std::string out = capture_stdout([&] {
    radio->request_file("fw");
    ASSERT_TRUE(wait_for_transfers(1));
    ASSERT_TRUE(wait_for_done());
  });
  stop_engine();
  const auto seen = radio->snapshot();
  EXPECT_TRUE(as_text(seen.transfers[0].bytes) == content);
  // The radio's print after the last block ends the transfer; it is shown
  // only when the radio sends it again.
  EXPECT_EQ(count_of(out, "#"), 5u);
  EXPECT_EQ(seen.repeated_frames, 0);
  EXPECT_EQ(frames_of(seen, PDU_FILE_DATA), 6u);
}

TEST_F(TransferTest, ATransferWhoseLastAcknowledgementNeverComesEndsWithTheRadiosNextData) {
  for (size_t size : {size_t{2700}, size_t{3000}}) {
    SCOPED_TRACE(size);
    const std::string content = write_file("fw", size);
    connect_radio(2);
    radio->acknowledge_final_empty = false;
    radio->acknowledge_last_block = false;
    radio->text_instead_of_last_ack = "done\n";
    start_engine();
    const std::string out = capture_stdout([&] {
      radio->request_file("fw");
      ASSERT_TRUE(wait_for_transfers(1));
      ASSERT_TRUE(wait_for_done()) << "the transfer counts as done";
    });
    EXPECT_EQ(out.find("done"), std::string::npos) << "the finishing data is neither shown nor acknowledged";
    const std::string again = capture_stdout([&] {
      radio->repeat_last_frame();
      ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return !r.frames.empty() && r.frames.back().pdu == PDU_ACK; }));
    });
    stop_engine();
    EXPECT_EQ(again, "done\n");
    const auto seen = radio->snapshot();
    EXPECT_TRUE(as_text(seen.transfers[0].bytes) == content);
    EXPECT_EQ(seen.repeated_frames, 0) << "the unacknowledged last block is not sent again";
  }
}

TEST_F(TransferTest, ALateRepeatedRequestAfterTheLastBlockChangesNothing) {
  const std::string content = write_file("fw", 2700);
  connect_radio(2);
  start_engine();
  capture_stdout([&] {
    radio->request_file("fw");
    ASSERT_TRUE(wait_for_transfers(1));
    radio->repeat_last_frame();
    radio->send_data("after\n");
    ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return r.frames.back().pdu == PDU_ACK && r.frames.back().rseq > 0; }));
  });
  ASSERT_TRUE(wait_for_connected());
  stop_engine();
  const auto seen = radio->snapshot();
  EXPECT_EQ(frames_of(seen, PDU_FILE_RESPONSE), 1u);
  EXPECT_EQ(frames_of(seen, PDU_FILE_DATA), 3u);
  EXPECT_EQ(transfer_state().transfer_complete, 0);
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CONNECTED);
}

TEST_F(TransferTest, AFailedRequestInAnUpdateRunIsReportedAtOnce) {
  program_options().update_all_mode = 1;
  program_options().batch_mode = 1;
  connect_radio(2);
  start_engine();
  capture_stdout([&] {
    radio->request_file("missing");
    ASSERT_TRUE(wait_for_done());
  });
  EXPECT_EQ(transfer_state().transfer_failed, 1);
  stop_engine();
}

TEST_F(TransferTest, ADownloadFromTheRadioIsAnsweredWithAnErrorReportWithoutBlockingTheDispatcher) {
  connect_radio(2);
  start_engine();
  PeerBytes response(24, 0);
  capture_stdout([&] {
    radio->send_frame(PDU_FILE_RESPONSE, response, true);
    ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return r.shown.size() >= 27; }));
    radio->send_data("still here\n");
    ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return r.frames.back().rseq == 24u + 11u; }));
  });
  stop_engine();
  const auto seen = radio->snapshot();
  EXPECT_EQ(seen.shown, std::string("Could not open output file") + '\0');
  EXPECT_EQ(frames_of(seen, PDU_ERROR), 1u) << "acknowledged at once, so sent once";
}

// --- The transfer worker of a batch run ------------------------------------

TEST_F(TransferTest, TheBatchTransferWorkerServesTheEntryChosenAtEachStepAndOutlivesAClosedEntry) {
  const std::string content = write_file("fw", 3000);
  connect_radio(2);
  run_state().chosen_radio = -1;
  start_engine(-1);
  capture_stdout([&] {
    radio->request_file("fw");
    // No entry is chosen yet: the response has nowhere to go.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(radio->snapshot().transfers.empty());
  });

  // The next radio of the run: entry 1 closed, the same radio now at entry 2.
  close_session(RADIO_ENTRY);
  Session& next = session_table()[2];
  next.mac = RADIO_MAC;
  next.protocol_level = 2;
  next.cid = 0x0777;
  next.tseq = 1;
  next.rseq = 0;
  next.next_pdu = PDU_DATA;
  next.state = SESSION_CONNECTED;
  connection_globals().active_session = 2;
  radio->reset_connection(0x0777, 0, 1);
  reset_dispatch_state();  // as the establishment of entry 2 does
  run_state().chosen_radio = 2;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  capture_stdout([&] {
    radio->request_file("fw");
    ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return !r.transfers.empty() && r.transfers.back().complete; }));
  });
  stop_engine();
  const auto seen = radio->snapshot();
  ASSERT_EQ(seen.transfers.size(), 1u);
  EXPECT_TRUE(as_text(seen.transfers[0].bytes) == content);
  EXPECT_EQ(session_table()[RADIO_ENTRY].send_file, nullptr) << "the first radio's unfinished file is closed";
}

// --- Set-up while the receive worker runs ----------------------------------

TEST_F(TransferTest, SetUpWithTheReceiveWorkerRunningLeavesReceivingToIt) {
  add_radio(2);
  wire->empty_read_ms = 0;  // virtual time then moves only with the waits of the program
  start_engine(-1);
  int result = 0;
  capture_stdout([&] { result = connect_session(RADIO_ENTRY); });
  EXPECT_EQ(result, 1);
  const auto readers = wire->readers();
  EXPECT_EQ(std::count(readers.begin(), readers.end(), std::this_thread::get_id()), 0)
      << "the set-up never receives by itself";
  EXPECT_EQ(frames_of(radio->snapshot(), PDU_CONNECT_REQUEST), 1u);
  // Left connected (as an update run's action 1 leaves a radio): the next
  // set-up is answered by an accept alone and still succeeds.
  capture_stdout([&] { result = connect_session(RADIO_ENTRY); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(frames_of(radio->snapshot(), PDU_CONNECT_REQUEST), 2u);

  radio->connect_answer = RadioPeer::ConnectAnswer::Silent;
  const uint64_t start = fake_clock().now_ms();
  EXPECT_EQ(connect_session(RADIO_ENTRY), 0);
  EXPECT_GE(fake_clock().now_ms() - start, 5000u);
  stop_engine();
  const auto seen = radio->snapshot();
  // Two set-ups answered, then the silent one's requests: each repetition
  // more than 700 ms after the one before.
  ASSERT_GE(seen.connect_times.size(), 3u);
  for (size_t i = 3; i < seen.connect_times.size(); ++i) {
    EXPECT_GT(seen.connect_times[i] - seen.connect_times[i - 1], 700u);
  }
  EXPECT_EQ(std::count(readers.begin(), readers.end(), std::this_thread::get_id()), 0);
}

}  // namespace
}  // namespace orvex::test
