// The transfer worker's limit of 900 idle waits, run in virtual time.
#include <gtest/gtest.h>

#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "engine/dispatch.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "tests/support/engine_fixture.hpp"

namespace orvex::test {
namespace {

class TransferIdleTest : public EngineTest {
 protected:
  TransferIdleTest() : EngineTest(0) {}
  // Steps until `stop` holds; the number of steps taken.
  template <typename Stop>
  int step_until(Stop stop, int limit = 2000) {
    int steps = 0;
    while (steps < limit && !stop()) {
      transfer_step(RADIO_ENTRY);
      ++steps;
    }
    return steps;
  }
};

TEST_F(TransferIdleTest, InAnUpdateRunTheTransferFailsAfter901EmptyWaits) {
  program_options().update_all_mode = 1;
  program_options().batch_mode = 1;
  connect_radio(2);
  session_table()[RADIO_ENTRY].state = SESSION_TRANSFER;
  const uint64_t start = fake_clock().now_ms();
  int steps = 0;
  const std::string out = capture_stdout([&] { steps = step_until([] { return transfer_state().transfer_failed != 0; }); });
  EXPECT_EQ(steps, 901);
  EXPECT_EQ(fake_clock().now_ms() - start, 901u * 2000u);
  EXPECT_EQ(out, "File Transfer for session 1 has timed-out. Session will terminate.\n");
  EXPECT_TRUE(session_events().transfer_done_event.reset());
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CLOSED);
  const auto sent = sent_frames();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].pdu, PDU_DISCONNECT);
}

TEST_F(TransferIdleTest, InteractivelyTheProgramEndsWithReasonMinus3AndAnyFrameRestartsTheCount) {
  TerminationCatcher catcher;
  connect_radio(2);
  session_table()[RADIO_ENTRY].state = SESSION_TRANSFER;
  capture_stdout([&] { step_until([] { return false; }, 500); });
  EXPECT_EQ(transfer_state().transfer_idle_count, 500);
  const PeerBytes frame = peer_frame(RADIO_MAC, LOCAL_MAC, PDU_FILE_DATA, RADIO_CID, 0, 1);
  dispatch_frame(frame.data(), static_cast<int>(frame.size()));
  EXPECT_EQ(transfer_state().transfer_idle_count, 0);

  ::testing::internal::CaptureStdout();
  bool ended = false;
  try {
    step_until([] { return false; });
  } catch (const ProcessExit& e) {
    ended = e.status == 0;
  }
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ended);
  EXPECT_EQ(out,
            "File Transfer for session 1 has timed-out. Session will terminate.\n"
            "\nSession has been timed out. Application will terminate.\n"
            "\nTerminating application with error code:-3\n\n");
  EXPECT_EQ(transfer_state().transfer_idle_count, 901);
  EXPECT_EQ(session_table()[RADIO_ENTRY].state, SESSION_CLOSED);
}

TEST_F(TransferIdleTest, WaitsOutsideATransferAreNotCounted) {
  connect_radio(2);
  step_until([] { return false; }, 1000);
  EXPECT_EQ(transfer_state().transfer_idle_count, 0);
  EXPECT_TRUE(sent_frames().empty());
}

}  // namespace
}  // namespace orvex::test
