#include "engine/session_events.hpp"

namespace orvex {

void SessionEvents::renew() {
  SessionEvents& e = *this;
  e.stopping.store(false, std::memory_order_release);
  e.ack_event.reset();
  e.block_ready_event.reset();
  e.transfer_done_event.reset();
  e.ring_data_event.reset();
  e.ring_space_event.reset();
}

void SessionEvents::wake_all_for_stop() {
  SessionEvents& e = *this;
  e.stopping.store(true, std::memory_order_release);
  e.ack_event.set();
  e.block_ready_event.set();
  e.transfer_done_event.set();
  e.ring_data_event.set();
  e.ring_space_event.set();
}

}  // namespace orvex
