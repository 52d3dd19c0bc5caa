#include "link/frame_io.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/address_text.hpp"
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

// The one copy a received frame gets: from the adapter's buffer into its slot.
void FrameIo::Ring::push(const FrameView& frame) {
  uint8_t* slot = slots[write].data();
  std::memcpy(slot, frame.bytes.data(), frame.bytes.size());
  FrameView& kept = views[write];
  kept = frame;
  kept.bytes = std::span<const uint8_t>(slot, frame.bytes.size());
  kept.payload = std::span<const uint8_t>(slot + (frame.payload.data() - frame.bytes.data()), frame.payload.size());
  write = (write + 1) % RX_RING_SLOTS;
}

const FrameView& FrameIo::Ring::pop() {
  const FrameView& frame = views[read];
  read = (read + 1) % RX_RING_SLOTS;
  return frame;
}

std::optional<FrameView> judge_frame(std::span<const uint8_t> bytes, const MacAddress& local, int vlan, View* trace) {
  auto frame = parse_frame(bytes, vlan);
  if (!frame) return std::nullopt;
  const MacAddress& destination = frame->header.destination;
  if (trace != nullptr) {
    say(*trace, "TRC03 dest MAC addr %s   src MAC addr is %s prot = %04X\n", format_mac_text(destination).c_str(),
        format_mac_text(frame->header.source).c_str(), frame->tagged ? VLAN_TPID : frame->header.length);
  }
  if (!addressed_here(*frame, local)) {
    if (trace != nullptr) {
      say(*trace, "TRC04 wrong MAC addr %s   my MAC addr is %s\n", format_mac_text(destination).c_str(),
          format_mac_text(local).c_str());
    }
    return std::nullopt;
  }
  if (trace != nullptr) trace->message("TRC05 MAC addr OK\n");
  return frame;
}

FrameIo::FrameIo(const Config& config, View& view, Clock& clock)
    : config_(config),
      view_(view), clock_(clock), ring_(std::make_unique<Ring>()), keep_([this](std::span<const uint8_t> frame) { keep(frame); }) {}

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
    view_.message("\nError: Memory allocation failed. Error code LPC #838\n");
    return -1;
  }
  return static_cast<int>(frame.size());
}

// Keeps an accepted frame in the ring. Reads never take more frames than the
// ring has room for, so none is dropped for want of room; a frame longer than
// a slot is no frame of ours.
void FrameIo::keep(std::span<const uint8_t> bytes) {
  if (bytes.size() > RX_SLOT_SIZE || ring_->full()) return;
  const int vlan = any_vlan_ && config_.vlan_id != 0 ? ANY_VLAN : vlan_rule(config_.vlan_id);
  const auto frame = judge_frame(bytes, config_.local_mac, vlan, config_.diagnostic_level >= 4 ? &view_ : nullptr);
  if (frame) ring_->push(*frame);
}

int FrameIo::receive(FrameView& frame, uint64_t wait_ms) {
  Ring& ring = *ring_;
  const auto hand_out = [&] {
    frame = ring.pop();
    return 1;
  };
  if (!ring.empty()) return hand_out();
  Clock& c = clock_;
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
      view_.message("Error: PacketReceivePacket failed");
      return -1;
    }
    if (!ring.empty()) return hand_out();
  }
}

void FrameIo::interrupt_receive_wait(bool interrupt) { interrupted_.store(interrupt, std::memory_order_release); }

int FrameIo::close() {
  CaptureHandle* adapter = adapter_.exchange(nullptr);
  if (adapter != nullptr && users_.load() == 0) delete adapter;
  return 0;
}

}  // namespace orvex
