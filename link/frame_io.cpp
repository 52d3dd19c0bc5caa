#include "link/frame_io.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/clock.hpp"
#include "wire/frame.hpp"

namespace orvex {

// Holds the adapter for one call, so that a close from another thread never
// frees it under a running send or receive.
class FrameIo::AdapterUse {
 public:
  explicit AdapterUse(FrameIo& io) : io_(io) {
    io_.users_.fetch_add(1);
    adapter_ = io_.adapter_.load();
  }
  ~AdapterUse() { io_.users_.fetch_sub(1); }
  AdapterUse(const AdapterUse&) = delete;
  AdapterUse& operator=(const AdapterUse&) = delete;
  CaptureHandle* get() const { return adapter_; }

 private:
  FrameIo& io_;
  CaptureHandle* adapter_;
};

bool FrameIo::Ring::full() const { return (write + 1) % RX_RING_SLOTS == read; }

size_t FrameIo::Ring::room() const { return RX_RING_SLOTS - 1 - (write + RX_RING_SLOTS - read) % RX_RING_SLOTS; }

void FrameIo::Ring::push(std::span<const uint8_t> frame) {
  std::memcpy(slots[write].data(), frame.data(), frame.size());
  lengths[write] = frame.size();
  write = (write + 1) % RX_RING_SLOTS;
}

int FrameIo::Ring::pop(std::span<uint8_t> out) {
  const size_t n = std::min(lengths[read], out.size());
  std::memcpy(out.data(), slots[read].data(), n);
  read = (read + 1) % RX_RING_SLOTS;
  return static_cast<int>(n);
}

FrameIo::FrameIo(const Config& config)
    : config_(config), ring_(std::make_unique<Ring>()), keep_([this](std::span<const uint8_t> frame) { keep(frame); }) {}

FrameIo::~FrameIo() { close(); }

void FrameIo::attach(std::unique_ptr<CaptureHandle> adapter) {
  close();
  adapter_.store(adapter.release());
}

bool FrameIo::attached() const { return adapter_.load() != nullptr; }

// At diagnostic level 4 the trace shows every frame of the protocol, other
// stations' too, so the filter stays wide there.
void FrameIo::accept_own_frames_only() {
  if (config_.diagnostic_level >= 4) return;
  AdapterUse use(*this);
  if (use.get() != nullptr) (void)use.get()->accept_destination(config_.local_mac);
}

int FrameIo::send(std::span<const uint8_t> frame) {
  AdapterUse use(*this);
  const int sent = use.get() != nullptr ? use.get()->send(frame) : -1;
  if (sent < 0) {
    std::printf("\nError: Memory allocation failed. Error code LPC #838\n");
    return -1;
  }
  return static_cast<int>(frame.size());
}

// Keeps an accepted frame in the ring. Reads never take more frames than the
// ring has room for, so none is dropped for want of room; a frame longer than
// a slot is no frame of ours.
void FrameIo::keep(std::span<const uint8_t> frame) {
  const bool ours = accept_frame(frame, config_.local_mac, config_.diagnostic_level >= 4) ||
                    vlan_tagged(frame, config_.vlan_id);
  if (ours && frame.size() <= RX_SLOT_SIZE && !ring_->full()) ring_->push(frame);
}

int FrameIo::receive(std::span<uint8_t> buffer, uint64_t wait_ms) {
  Ring& ring = *ring_;
  if (!ring.empty()) return ring.pop(buffer);
  Clock& c = clock();
  const uint64_t start = c.now_ms();
  uint64_t elapsed = 0;
  for (;;) {
    if (elapsed >= wait_ms || interrupted_.load(std::memory_order_acquire)) return 0;
    elapsed = c.now_ms() - start;
    int got;
    {
      AdapterUse use(*this);
      got = use.get() != nullptr ? use.get()->receive(static_cast<int>(ring.room()), keep_) : -1;
    }
    if (got < 0) {
      std::printf("Error: PacketReceivePacket failed");
      return -1;
    }
    if (!ring.empty()) return ring.pop(buffer);
  }
}

void FrameIo::interrupt_receive_wait(bool interrupt) { interrupted_.store(interrupt, std::memory_order_release); }

int FrameIo::close() {
  CaptureHandle* adapter = adapter_.exchange(nullptr);
  if (adapter != nullptr && users_.load() == 0) delete adapter;
  return 0;
}

}  // namespace orvex
