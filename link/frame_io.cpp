#include "link/frame_io.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/clock.hpp"
#include "protocol/frame.hpp"

namespace orvex {

namespace {

std::atomic<PacketAdapter*> g_adapter{nullptr};
std::atomic<int> g_adapter_users{0};
std::atomic<bool> g_receive_interrupted{false};

// Holds the adapter for one call, so that a close from another thread never
// frees it under a running send or receive.
class AdapterUse {
 public:
  AdapterUse() {
    g_adapter_users.fetch_add(1);
    adapter_ = g_adapter.load();
  }
  ~AdapterUse() { g_adapter_users.fetch_sub(1); }
  AdapterUse(const AdapterUse&) = delete;
  AdapterUse& operator=(const AdapterUse&) = delete;
  PacketAdapter* get() const { return adapter_; }

 private:
  PacketAdapter* adapter_;
};

// The frames accepted from earlier reads and not handed out yet. Only the one
// receiving thread touches it.
struct RxFrameRing {
  std::array<std::array<uint8_t, RX_SLOT_SIZE>, RX_RING_SLOTS> slots{};
  std::array<size_t, RX_RING_SLOTS> lengths{};
  size_t read = 0;
  size_t write = 0;

  bool empty() const { return read == write; }
  bool full() const { return (write + 1) % RX_RING_SLOTS == read; }
  void push(std::span<const uint8_t> frame) {
    std::memcpy(slots[write].data(), frame.data(), frame.size());
    lengths[write] = frame.size();
    write = (write + 1) % RX_RING_SLOTS;
  }
  int pop(std::span<uint8_t> out) {
    const size_t n = std::min(lengths[read], out.size());
    std::memcpy(out.data(), slots[read].data(), n);
    read = (read + 1) % RX_RING_SLOTS;
    return static_cast<int>(n);
  }
};

RxFrameRing g_ring;
std::vector<uint8_t> g_capture_block(CAPTURE_BUFFER_SIZE);

// Judges every record of a block where it lies and copies the accepted frames
// into the ring. A full ring keeps what it holds and the newest frames are
// dropped; so is a frame longer than a slot or a record that overruns the block.
void take_block(std::span<const uint8_t> block) {
  size_t offset = 0;
  CaptureRecord record;
  while (offset < block.size() && read_capture_record(block, offset, record)) {
    const size_t start = offset + record.header_length;
    if (record.header_length < CAPTURE_RECORD_HEADER_SIZE || start > block.size() ||
        block.size() - start < record.captured_length) {
      break;
    }
    const auto frame = block.subspan(start, record.captured_length);
    if ((accept_frame(frame) || vlan_tagged(frame)) && frame.size() <= RX_SLOT_SIZE && !g_ring.full()) {
      g_ring.push(frame);
    }
    offset = (start + record.captured_length + 3) & ~size_t{3};
  }
}

}  // namespace

void attach_adapter(std::unique_ptr<PacketAdapter> adapter) {
  close_adapter();
  g_adapter.store(adapter.release());
}

bool adapter_attached() { return g_adapter.load() != nullptr; }

int send_frame(std::span<const uint8_t> frame) {
  AdapterUse use;
  const int sent = use.get() != nullptr ? use.get()->send(frame) : -1;
  if (sent < 0) {
    std::printf("\nError: Memory allocation failed. Error code LPC #838\n");
    return -1;
  }
  return static_cast<int>(frame.size());
}

int receive_frame(std::span<uint8_t> buffer) {
  if (!g_ring.empty()) return g_ring.pop(buffer);
  Clock& c = clock();
  const uint64_t start = c.now_ms();
  uint64_t elapsed = 0;
  for (;;) {
    if (elapsed >= RECEIVE_WAIT_MS || g_receive_interrupted.load(std::memory_order_acquire)) return 0;
    elapsed = c.now_ms() - start;
    int got;
    {
      AdapterUse use;
      got = use.get() != nullptr ? use.get()->receive_block(g_capture_block) : -1;
    }
    if (got < 0) {
      std::printf("Error: PacketReceivePacket failed");
      return -1;
    }
    if (got == 0) continue;
    take_block(std::span<const uint8_t>(g_capture_block).first(
        std::min(static_cast<size_t>(got), g_capture_block.size())));
    if (!g_ring.empty()) return g_ring.pop(buffer);
  }
}

void interrupt_receive_wait(bool interrupt) {
  g_receive_interrupted.store(interrupt, std::memory_order_release);
}

int close_adapter() {
  PacketAdapter* adapter = g_adapter.exchange(nullptr);
  if (adapter != nullptr && g_adapter_users.load() == 0) delete adapter;
  return 0;
}

void reset_frame_io() {
  close_adapter();
  g_ring.read = g_ring.write = 0;
  g_receive_interrupted.store(false);
}

}  // namespace orvex
