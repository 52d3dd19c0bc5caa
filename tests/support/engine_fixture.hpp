// The protocol engine over an in-memory wire with a scripted radio and a fake
// clock: entry 1 is the radio; tests run in a scratch working directory.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/fake_clock.hpp"
#include "tests/support/fake_packet_adapter.hpp"
#include "tests/support/radio_peer.hpp"
#include "tests/support/test_state.hpp"

namespace orvex::test {

constexpr int RADIO_ENTRY = 1;
constexpr uint16_t RADIO_CID = 0x1234;
inline const MacAddress LOCAL_MAC{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
inline const MacAddress RADIO_MAC{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x05}};
inline const MacAddress OTHER_MAC{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x09}};

// The receive worker and the transfer worker of a session, as the session
// workers run them.
class EngineThreads {
 public:
  explicit EngineThreads(int transfer_index);
  ~EngineThreads() { stop(); }
  EngineThreads(const EngineThreads&) = delete;
  EngineThreads& operator=(const EngineThreads&) = delete;
  void stop();

 private:
  std::atomic<bool> stop_{false};
  std::thread receive_;
  std::thread transfer_;
};

class EngineTest : public ::testing::Test {
 protected:
  // `grace_ms`: real time a timed wait allows before it counts as timed out.
  explicit EngineTest(uint32_t grace_ms = 2) : grace_ms_(grace_ms) {}

  void SetUp() override;
  void TearDown() override;

  // Entry 1 becomes the radio as discovery records it (found, RADIO_CID).
  void add_radio(uint8_t level);
  // Entry 1 connected to the radio as the dispatcher leaves it.
  void connect_radio(uint8_t level);
  void start_engine(int transfer_index = RADIO_ENTRY);
  void stop_engine();

  // Writes a file of `size` bytes with a recognisable pattern; its content.
  std::string write_file(const std::string& name, size_t size);
  // The frames the program sent, decoded for the radio's level.
  std::vector<PeerFrame> sent_frames(bool big_endian = true) const;

  FakeClock& fake_clock() { return *clock_->operator->(); }

  std::unique_ptr<ScopedFakeClock> clock_;
  FakePacketAdapter* wire = nullptr;
  std::unique_ptr<RadioPeer> radio;
  std::unique_ptr<EngineThreads> engine;
  std::filesystem::path scratch;
  std::filesystem::path previous_directory;

 private:
  uint32_t grace_ms_;
};

}  // namespace orvex::test
