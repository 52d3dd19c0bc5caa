// Frames in and out of the open adapter: one send per frame, and a receive
// that hands out accepted frames one by one from a ring filled by reads.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/view.hpp"
#include "os/packet_capture.hpp"
#include "wire/frame.hpp"

namespace orvex {

constexpr size_t RX_SLOT_SIZE = 1640;
constexpr size_t RX_RING_SLOTS = 100;
constexpr uint64_t RECEIVE_WAIT_MS = 1000;

// Whether a received frame is one for this station: this protocol's frame,
// for `local` or broadcast, untagged or behind a tag `vlan` takes (see
// parse_frame). The one judgement every received frame gets.
// `trace`, when given, gets the trace lines of the address check.
std::optional<FrameView> judge_frame(std::span<const uint8_t> bytes, const MacAddress& local, int vlan,
                                     View* trace = nullptr);

// The tags a station configured with `vlan_id` (-v) takes: none without one,
// else only those of its VLAN id.
inline int vlan_rule(int vlan_id) { return vlan_id == 0 ? UNTAGGED_ONLY : vlan_id; }

class FrameIo {
 public:
  // Frames are accepted for the local address and VLAN id of `config`.
  // What it reports (trace lines, failures) goes to `view`.
  // Waits for frames run on `clock`.
  FrameIo(const Config& config, View& view, Clock& clock);
  ~FrameIo();
  FrameIo(const FrameIo&) = delete;
  FrameIo& operator=(const FrameIo&) = delete;

  // Makes `adapter` the one frames go through (the adapter choice opens it).
  void attach(std::unique_ptr<CaptureHandle> adapter);
  bool attached() const;

  // Lets the adapter's kernel filter through only the frames receive() keeps:
  // those for the local address of `config` or broadcast. Called once that
  // address is final.
  void accept_own_frames_only();

  // Hands the frame to the adapter once, unchanged and unpadded. Its length,
  // or -1 when there were no resources (after the LPC #838 message).
  int send(std::span<const uint8_t> frame);

  // The next accepted frame, judged and parsed as it was kept: 1 and `frame`
  // viewing it where it lies, valid until the next receive; 0 when no frame was
  // accepted by a read that began at least `wait_ms` after the call; -1 when
  // the adapter read failed. Only one thread may receive at a time.
  int receive(FrameView& frame, uint64_t wait_ms = RECEIVE_WAIT_MS);

  // Takes tagged frames of any VLAN id (a scan lists the radios of every VLAN
  // it reaches), when a VLAN id is configured at all.
  void take_any_vlan() { any_vlan_ = true; }

  // While set, a receive waiting for traffic returns 0 after the adapter read
  // under way (the session is being stopped); cleared for the next session.
  void interrupt_receive_wait(bool interrupt);

  // Closes the adapter; later calls do nothing. Returns 0. An adapter still in
  // use by another thread is left for the process exit to release.
  int close();

 private:
  class AdapterUse;
  // The frames accepted from earlier reads and not handed out yet. Only the
  // one receiving thread touches it.
  // A frame handed out stays where it lies until the next pop: reads take
  // only as many frames as the ring has room for, so its slot is not written.
  struct Ring {
    std::array<std::array<uint8_t, RX_SLOT_SIZE>, RX_RING_SLOTS> slots{};
    std::array<FrameView, RX_RING_SLOTS> views{};
    size_t read = 0;
    size_t write = 0;

    bool empty() const { return read == write; }
    bool full() const;
    size_t room() const;
    void push(const FrameView& frame);
    const FrameView& pop();
  };

  void keep(std::span<const uint8_t> frame);

  const Config& config_;
  View& view_;
  Clock& clock_;
  std::atomic<CaptureHandle*> adapter_{nullptr};
  std::atomic<int> users_{0};
  std::atomic<bool> interrupted_{false};
  bool any_vlan_ = false;
  std::unique_ptr<Ring> ring_;
  const FrameSink keep_;  // made once: every read hands its frames to keep()
};

}  // namespace orvex
