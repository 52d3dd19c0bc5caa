// An interactive session with the real protocol engine and a scripted radio:
// keys typed at the terminal reach the radio, and the session ends the ways
// the operator and the radio end it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/session_workers.hpp"
#include "base/settings.hpp"
#include "engine/connect.hpp"
#include "wire/frame.hpp"
#include "engine/session_table.hpp"
#include "tests/support/engine_fixture.hpp"
#include "tests/support/key_input.hpp"

namespace orvex::test {
namespace {

class InteractiveSessionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    keys = std::make_unique<KeyPipe>();
    connect_radio(2);
    run_state().chosen_radio = RADIO_ENTRY;
  }
  void TearDown() override {
    reset_session_workers();
    keys.reset();
    EngineTest::TearDown();
  }
  static bool disconnected(const RadioPeer::Snapshot& s) {
    for (const PeerFrame& f : s.frames) {
      if (f.pdu == PDU_DISCONNECT) return true;
    }
    return false;
  }
  std::unique_ptr<KeyPipe> keys;
};

TEST_F(InteractiveSessionTest, TypedKeysReachTheRadioAndF4EndsTheSessionForANewChoice) {
  start_session_workers();
  EXPECT_TRUE(receive_worker_running());
  keys->type("show\x1b[D\r");  // Left arrow goes as Ctrl+B
  ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return r.shown == "show\x02\r"; }))
      << radio->snapshot().shown;
  keys->type("\x1bOS");  // F4
  wait_session_end();
  EXPECT_FALSE(session_workers_running());
  EXPECT_FALSE(receive_worker_running());
  EXPECT_EQ(run_state().new_session_requested.load(), 1);
  EXPECT_TRUE(disconnected(radio->snapshot()));
}

TEST_F(InteractiveSessionTest, ARestoreAsksForAKeyThatIsNotSent) {
  start_session_workers();
  keys->type("a");
  ASSERT_TRUE(radio->wait_for([](const RadioPeer& r) { return r.shown == "a"; }));
  radio->send_frame(PDU_RESTORE, {}, false);
  for (int i = 0; i < 2500 && run_state().restore_requested.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(run_state().restore_requested.load(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(session_workers_running());  // waiting for the operator's key
  keys->type("k");
  wait_session_end();
  EXPECT_FALSE(session_workers_running());
  EXPECT_EQ(radio->snapshot().shown, "a");
  EXPECT_EQ(run_state().new_session_requested.load(), 0);
}

}  // namespace
}  // namespace orvex::test
