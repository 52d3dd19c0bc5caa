// The hand-offs between the threads of one session. The events are auto-reset
// and start unsignalled for every session; `stopping` tells a waiter woken by
// the session's stop that it must return without acting.
#pragma once

#include <atomic>

#include "base/event.hpp"

namespace orvex {

struct SessionEvents {
  explicit SessionEvents(Clock& k)
      : clock(k), ack_event(k), block_ready_event(k), transfer_done_event(k), ring_data_event(k), ring_space_event(k) {}

  Clock& clock;                        // the timed waits' and the session's pauses
  AutoResetEvent ack_event;            // receive dispatch -> reliable send
  AutoResetEvent block_ready_event;    // receive dispatch -> transfer step
  AutoResetEvent transfer_done_event;  // receive dispatch, transfer step -> update of all radios
  AutoResetEvent ring_data_event;      // keyboard worker -> send worker
  AutoResetEvent ring_space_event;     // send worker -> keyboard worker
  std::atomic<bool> stopping{false};

  // A new session: every event unsignalled, not stopping.
  void renew();
  // The session is being stopped: every waiter wakes and sees stopping_now().
  void wake_all_for_stop();
  bool stopping_now() const { return stopping.load(std::memory_order_acquire); }
};

}  // namespace orvex
