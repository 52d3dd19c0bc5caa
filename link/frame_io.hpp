// Frames in and out of the open adapter: one send per frame, and a receive
// that hands out accepted frames one by one from a ring filled by block reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "os/packet_capture.hpp"

namespace orvex {

constexpr size_t RX_SLOT_SIZE = 1640;
constexpr size_t RX_RING_SLOTS = 100;
constexpr uint64_t RECEIVE_WAIT_MS = 1000;

// Makes `adapter` the one frames go through (the adapter choice opens it).
void attach_adapter(std::unique_ptr<CaptureHandle> adapter);
bool adapter_attached();

// Hands the frame to the adapter once, unchanged and unpadded. Its length, or
// -1 when the library had no resources (after the LPC #838 message).
int send_frame(std::span<const uint8_t> frame);

// The next accepted frame copied into `buffer` (RX_SLOT_SIZE bytes or more):
// its length; 0 when no frame was accepted by a read that began at least
// 1000 ms after the call; -1 when the adapter read failed. Only one thread may
// receive at a time.
int receive_frame(std::span<uint8_t> buffer);

// While set, a receive_frame waiting for traffic returns 0 after the adapter
// read under way (the session is being stopped); cleared for the next session.
void interrupt_receive_wait(bool interrupt);

// Closes the adapter; later calls do nothing. Returns 0. An adapter still in
// use by another thread is left for the process exit to release.
int close_adapter();

// Drops the ring's frames and detaches any adapter (tests).
void reset_frame_io();

}  // namespace orvex
