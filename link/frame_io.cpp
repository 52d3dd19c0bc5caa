#include "link/frame_io.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/clock.hpp"
#include "base/settings.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

std::atomic<CaptureHandle*> g_adapter{nullptr};
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
  CaptureHandle* get() const { return adapter_; }

 private:
  CaptureHandle* adapter_;
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
  size_t room() const { return RX_RING_SLOTS - 1 - (write + RX_RING_SLOTS - read) % RX_RING_SLOTS; }
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

// Keeps an accepted frame in the ring. Reads never take more frames than the
// ring has room for, so none is dropped for want of room; a frame longer than
// a slot is no frame of ours.
void keep_frame(std::span<const uint8_t> frame) {
  const ProgramOptions& options = program_options();
  const bool ours = accept_frame(frame, local_mac_address(), options.diagnostic_level >= 4) ||
                    vlan_tagged(frame, options.vlan_id);
  if (ours && frame.size() <= RX_SLOT_SIZE && !g_ring.full()) g_ring.push(frame);
}

}  // namespace

void attach_adapter(std::unique_ptr<CaptureHandle> adapter) {
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
      got = use.get() != nullptr ? use.get()->receive(static_cast<int>(g_ring.room()), keep_frame) : -1;
    }
    if (got < 0) {
      std::printf("Error: PacketReceivePacket failed");
      return -1;
    }
    if (!g_ring.empty()) return g_ring.pop(buffer);
  }
}

void interrupt_receive_wait(bool interrupt) {
  g_receive_interrupted.store(interrupt, std::memory_order_release);
}

int close_adapter() {
  CaptureHandle* adapter = g_adapter.exchange(nullptr);
  if (adapter != nullptr && g_adapter_users.load() == 0) delete adapter;
  return 0;
}

void reset_frame_io() {
  close_adapter();
  g_ring.read = g_ring.write = 0;
  g_receive_interrupted.store(false);
}

}  // namespace orvex
