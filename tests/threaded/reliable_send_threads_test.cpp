// The reliable send entered from several threads at once: data senders of one
// session take turns, empty frames never wait behind them, and a session stop
// ends a wait at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
constexpr int ENTRY = 1;

class ReliableSendThreadsTest : public OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();  // before the wire: it detaches any adapter
    radio_.emplace();
    local_mac_address() = LOCAL;
    for (Session& s : session_table().entries) s.cid = CID_NONE;
    Session& s = session_table()[ENTRY];
    s.mac = RADIO;
    s.cid = 0x2222;
    s.protocol_level = 2;
    s.tseq = 1;
    s.next_pdu = PDU_DATA;
    s.state = SESSION_CONNECTED;
    // A failure must come back as a result: an exit from a worker thread cannot be caught.
    program_options().batch_mode = 1;
  }
  Session& entry() { return session_table()[ENTRY]; }

  TerminationCatcher catcher_;
  std::optional<WireRadio> radio_;
};

TEST_F(ReliableSendThreadsTest, DataSendersOfOneSessionTakeTurns) {
  ScopedFakeClock fake_clock;
  // The radio acknowledges every data frame at once; as the receive side does,
  // the acknowledgement wakes a sender only when it covers all that was sent.
  radio_->on_frame = [this](const PeerFrame& f) {
    if (f.pdu != PDU_DATA) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // the time of a round trip
    if (f.tseq + f.nbytes == entry().tseq) session_events().ack_event.set();
  };
  constexpr int PER_THREAD = 20;
  std::atomic<int> acknowledged{0};
  auto sender = [&](uint8_t fill, int size) {
    const std::vector<uint8_t> payload(static_cast<size_t>(size), fill);
    for (int i = 0; i < PER_THREAD; ++i) acknowledged += ESend(entry(), payload.data(), size);
  };
  std::thread a(sender, 'a', 3);
  std::thread b(sender, 'b', 5);
  a.join();
  b.join();

  EXPECT_EQ(acknowledged.load(), 2 * PER_THREAD);
  const auto data = radio_->sent_with_pdu(PDU_DATA);
  // One transmission each: no acknowledgement woke the wrong sender.
  ASSERT_EQ(data.size(), size_t{2 * PER_THREAD});
  uint32_t tseq = 1;
  for (const PeerFrame& f : data) {
    EXPECT_EQ(f.tseq, tseq);
    tseq += f.nbytes;
  }
  EXPECT_EQ(entry().tseq, 1u + PER_THREAD * 3 + PER_THREAD * 5);
}

TEST_F(ReliableSendThreadsTest, AcknowledgementGoesOutWhileADataSenderWaits) {
  std::atomic<bool> sender_done{false};
  std::atomic<int> result{-1};
  std::thread data([&] {
    const uint8_t text[] = {'h', 'e', 'l', 'l', 'o'};
    result = ESend(entry(), text, 5);
    sender_done = true;
  });
  ASSERT_TRUE(eventually([&] { return !radio_->sent().empty(); }));
  entry().next_pdu = PDU_ACK;
  EXPECT_EQ(ESend(entry(), nullptr, 0), 1);
  EXPECT_FALSE(sender_done.load());  // the data frame is still waiting for its acknowledgement
  session_events().ack_event.set();
  data.join();
  EXPECT_EQ(result.load(), 1);
  const auto acks = radio_->sent_with_pdu(PDU_ACK);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].tseq, 6u);
}

}  // namespace
}  // namespace orvex::test
