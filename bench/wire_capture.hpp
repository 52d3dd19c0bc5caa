// Frames on one interface with the kernel's time stamps, as the interface saw
// them go out and come in: how the benchmark times a block's departure after
// an acknowledgement's arrival, or a key's frame, without any clock of the
// programs measured. A kernel filter keeps only frames from the stations named
// and only their first 64 bytes; the frames wait in a memory-mapped ring, so
// nothing of the benchmark wakes while a round runs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/mac_address.hpp"

namespace orvex::bench {

constexpr size_t CAPTURED_HEAD = 64;

struct Captured {
  int64_t ns = 0;       // CLOCK_REALTIME, as the kernel stamped it
  uint32_t length = 0;  // the whole frame's length
  uint32_t kept = 0;    // bytes in head
  std::array<uint8_t, CAPTURED_HEAD> head{};
};

// A station whose frames are kept: its whole address, or only the first four
// bytes (a block of simulated radios).
struct Source {
  MacAddress mac;
  bool prefix_only = false;
};

class WireCapture {
 public:
  WireCapture() = default;
  ~WireCapture();
  WireCapture(const WireCapture&) = delete;
  WireCapture& operator=(const WireCapture&) = delete;

  // In namespace `ns`, on `dev`; an empty text when open.
  std::string open(const std::string& ns, const std::string& dev);
  // Keeps frames from these stations only (at most 200; none: nothing is kept).
  bool keep_from(const std::vector<Source>& sources);
  // Forgets everything captured so far.
  void clear();
  // Everything captured since the last take or clear, in time order.
  std::vector<Captured> take();
  // Frames the kernel had no room for since opening.
  uint64_t dropped();

 private:
  void drain(std::vector<Captured>* out);

  int fd_ = -1;
  uint8_t* ring_ = nullptr;
  size_t ring_size_ = 0;
  unsigned next_block_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace orvex::bench
