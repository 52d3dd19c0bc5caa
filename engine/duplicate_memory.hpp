// The receive side's memory of its last data frame, as a connection holds it;
// engine/receive_state.hpp has what is done with it.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "wire/frame.hpp"

namespace orvex {

// The last data frame that passed the duplicate test. A disconnect on another
// thread makes it forget, hence the lock.
struct DuplicateMemory {
  std::mutex mutex;
  int64_t tseq = -1;
  int64_t rseq = -1;
  int64_t length = -1;
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
};

}  // namespace orvex
