#include "engine/session_events.hpp"

namespace orvex {

SessionEvents& session_events() {
  static SessionEvents events;
  return events;
}

void renew_session_events() {
  SessionEvents& e = session_events();
  e.stopping.store(false, std::memory_order_release);
  e.ack_event.reset();
  e.block_ready_event.reset();
  e.transfer_done_event.reset();
  e.ring_data_event.reset();
  e.ring_space_event.reset();
}

void wake_all_for_stop() {
  SessionEvents& e = session_events();
  e.stopping.store(true, std::memory_order_release);
  e.ack_event.set();
  e.block_ready_event.set();
  e.transfer_done_event.set();
  e.ring_data_event.set();
  e.ring_space_event.set();
}

bool session_stopping() { return session_events().stopping.load(std::memory_order_acquire); }

}  // namespace orvex
