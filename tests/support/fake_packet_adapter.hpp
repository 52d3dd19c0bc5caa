// An in-memory adapter: frames queued by a test (or a scripted radio) come out
// of receive_block as capture records; every sent frame is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/packet_adapter.hpp"

namespace orvex::test {

using Bytes = std::vector<uint8_t>;

class FakePacketAdapter final : public PacketAdapter {
 public:
  int send(std::span<const uint8_t> frame) override;
  int receive_block(std::span<uint8_t> block) override;

  // The next receive_block delivers these frames together in one block.
  void queue_block(const std::vector<Bytes>& frames);
  void queue_frame(const Bytes& frame) { queue_block({frame}); }
  // The next receive_block delivers exactly these bytes.
  void queue_raw_block(const Bytes& block);

  std::vector<Bytes> sent() const;
  size_t receive_calls() const;

  // Called for every sent frame (outside the lock), e.g. by a scripted radio.
  std::function<void(const Bytes&)> on_send;
  // Simulates the library running out of packet objects.
  bool fail_sends = false;
  bool fail_receives = false;
  // Virtual ms a read without traffic takes (the read time-out).
  uint32_t empty_read_ms = 300;

 private:
  mutable std::mutex mutex_;
  std::deque<Bytes> blocks_;
  std::vector<Bytes> sent_;
  size_t receive_calls_ = 0;
};

}  // namespace orvex::test
