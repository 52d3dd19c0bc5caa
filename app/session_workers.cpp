#include "app/session_workers.hpp"

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/key_ring.hpp"
#include "app/session_operations.hpp"
#include "base/terminate.hpp"
#include "base/settings.hpp"
#include "app/keyboard_input.hpp"
#include "console/keys.hpp"
#include "link/frame_io.hpp"
#include "base/event.hpp"
#include "os/terminal.hpp"
#include "engine/connect.hpp"
#include "wire/frame.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"

namespace orvex {

namespace {

enum Worker { TRANSFER_WORKER, SEND_WORKER, RECEIVE_WORKER, KEYBOARD_WORKER, WORKER_COUNT };

// Kept for the whole run and never destroyed: a std::thread destroyed while
// joinable would end the process, and the exit may come from any thread.
struct SessionThreads {
  std::thread workers[WORKER_COUNT];
  std::atomic<bool> running[WORKER_COUNT] = {};
  std::atomic<bool> held[WORKER_COUNT] = {};  // started and not yet joined
  std::thread stopper;                        // the main thread's alone
  AutoResetEvent stop_event;
  AutoResetEvent session_ended_event;
  AutoResetEvent keyboard_done_event;
  AutoResetEvent worker_exit_event;  // any worker ended
  AutoResetEvent idle_wake;          // wakes a transfer worker with no Session yet
  std::atomic<bool> session_started{false};
};

SessionThreads& threads() {
  static SessionThreads* t = new SessionThreads;
  return *t;
}

std::atomic<int> g_session_worker_index{-1};

// How long the stopper waits before waking a worker again, and how long the
// transfer worker without a Session waits before looking again.
constexpr uint32_t STOP_REWAKE_MS = 100;
constexpr uint32_t IDLE_LOOK_MS = 100;

// A worker's index: its own, or (-1) the chosen radio at this moment.
int session_index_for(int own) { return own >= 0 ? own : run_state().chosen_radio.load(); }

void worker_ended(Worker w) {
  threads().running[w].store(false);
  threads().worker_exit_event.set();
}

void send_worker(const std::atomic<int>& index_ref) {
  const int index = index_ref.load();
  KeyRing& ring = key_ring();
  SessionEvents& events = session_events();
  if (SessionTable::valid_index(index)) {
    Session& session = session_table()[index];
    const SessionOperations& ops = session_operations();
    while (!session_stopping()) {
      uint16_t get = ring.get.load(std::memory_order_relaxed);
      uint16_t put = ring.put.load(std::memory_order_acquire);
      if (get > put) {  // the data wraps: the end of the buffer first
        ops.send(session, ring.buffer.data() + get, KEY_RING_SIZE - get);
        // Stopped inside the send: the bytes stay for the next session.
        if (session_stopping()) break;
        get = 0;
        ring.get.store(get, std::memory_order_release);
        put = ring.put.load(std::memory_order_acquire);
      }
      if (get < put) {
        ops.send(session, ring.buffer.data() + get, put - get);
        if (session_stopping()) break;
        get = put;
        ring.get.store(get, std::memory_order_release);
      }
      events.ring_space_event.set();
      if (get == ring.put.load(std::memory_order_acquire)) events.ring_data_event.wait();
    }
  } else {
    // No radio to send to: the ring keeps its bytes for a later session.
    while (!session_stopping()) events.ring_data_event.wait();
  }
  worker_ended(SEND_WORKER);
}

void keyboard_worker(const std::atomic<int>& index_ref) {
  SessionThreads& t = threads();
  const int index = session_index_for(index_ref.load());
  {
    // Raw for the whole session's reading, given back on every way out.
    const bool keys = program_options().input_source == INPUT_KEYBOARD;
    if (keys) enter_raw_mode();
    uint8_t buffer[KEY_RING_SIZE];
    // Stopping: only the key awaited for a restore is still read; anything
    // else stays unread for the next session.
    const auto stop_reading = [keys] {
      return session_stopping() && (!keys || run_state().restore_requested.load() == 0);
    };
    for (;;) {
      if (stop_reading()) break;
      const int n = read_input(buffer, KEY_RING_SIZE);
      if (n == 0 || stop_reading()) break;
      if (n < 0) {
        if (keys) leave_raw_mode();
        worker_ended(KEYBOARD_WORKER);
        t.keyboard_done_event.set();
        terminate_app(-1, REASON_READ_THREAD_FAILED);
      }
      // Nothing typed goes to a radio during a file transfer, nor in a batch
      // run, which has no radio of its own.
      if (!SessionTable::valid_index(index) || session_table()[index].state == SESSION_TRANSFER) continue;
      key_ring_put(key_ring(), buffer, n);
    }
    if (keys) leave_raw_mode();
  }
  worker_ended(KEYBOARD_WORKER);
  // Every way out says so: the stopper may be waiting for this.
  t.keyboard_done_event.set();
}

void receive_worker(const std::atomic<int>& /*index_ref*/) {
  std::vector<uint8_t> buffer(RX_SLOT_SIZE);
  const SessionOperations& ops = session_operations();
  while (!session_stopping()) {
    const int n = ops.receive(buffer);
    if (session_stopping()) break;
    if (n < 0) {
      set_receive_worker_running(false);
      worker_ended(RECEIVE_WORKER);
      terminate_app(-1, REASON_RECEIVE_THREAD_FAILED);
    }
    if (n >= static_cast<int>(FRAME_HEADER_SIZE)) ops.dispatch(buffer.data(), n);
  }
  set_receive_worker_running(false);
  worker_ended(RECEIVE_WORKER);
}

void transfer_worker(const std::atomic<int>& index_ref) {
  const int own = index_ref.load();
  const SessionOperations& ops = session_operations();
  while (!session_stopping()) {
    const int index = session_index_for(own);
    if (!SessionTable::valid_index(index)) {
      // A batch run has not chosen its radio yet.
      threads().idle_wake.wait(IDLE_LOOK_MS);
      continue;
    }
    // The interactive session's transfers end with its Session; a batch run
    // goes from radio to radio, so a closed one ends nothing.
    if (own >= 0 && session_table()[index].state == SESSION_CLOSED) break;
    // A batch run's step follows the chosen radio by itself (index -1).
    if (ops.transfer_step(own) != 0) break;
  }
  worker_ended(TRANSFER_WORKER);
}

// Wakes the worker until it has ended (a wait may consume a wake meant for a
// later wait), then joins it.
void stop_worker(Worker w, bool wake_keyboard) {
  SessionThreads& t = threads();
  if (!t.held[w].load()) return;
  while (t.running[w].load()) {
    wake_all_for_stop();
    interrupt_receive_wait(true);
    t.idle_wake.set();
    if (wake_keyboard) wake_terminal_reader();
    t.worker_exit_event.wait(STOP_REWAKE_MS);
  }
  if (t.workers[w].joinable()) t.workers[w].join();
  t.held[w].store(false);
}

void session_stopper() {
  SessionThreads& t = threads();
  t.stop_event.wait();
  wake_all_for_stop();
  interrupt_receive_wait(true);
  stop_worker(TRANSFER_WORKER, false);
  stop_worker(SEND_WORKER, false);
  stop_worker(RECEIVE_WORKER, false);
  if (t.held[KEYBOARD_WORKER].load()) {
    // The operator was asked to press a key: the keyboard worker ends at that
    // key. It may have ended already (Esc, end of input): then no wait.
    if (run_state().restore_requested.load() != 0) {
      while (t.running[KEYBOARD_WORKER].load()) t.keyboard_done_event.wait();
    }
    stop_worker(KEYBOARD_WORKER, true);
  }
  // No worker receives any more: the main thread's next connection set-up (a
  // new choice, a restore) waits for its frames itself and must not be cut off.
  interrupt_receive_wait(false);
  std::fflush(nullptr);
  t.session_ended_event.set();
}

void start_worker(Worker w, void (*body)(const std::atomic<int>&)) {
  SessionThreads& t = threads();
  t.running[w].store(true);
  t.held[w].store(true);
  t.workers[w] = std::thread(body, std::cref(g_session_worker_index));
}

}  // namespace

void start_session_workers() {
  SessionThreads& t = threads();
  if (t.stopper.joinable()) {
    // A session still running (never waited for) ends first.
    if (t.session_started.load()) {
      request_session_end();
      wait_session_end();
    }
    if (t.stopper.joinable()) t.stopper.join();
  }
  if (termination_hooks().request_session_end == nullptr) {
    termination_hooks().request_session_end = request_session_end;
  }
  g_session_worker_index.store(run_state().chosen_radio.load());
  renew_session_events();
  interrupt_receive_wait(false);
  clear_terminal_wake();
  t.stop_event.reset();
  t.session_ended_event.reset();
  t.keyboard_done_event.reset();
  t.worker_exit_event.reset();
  t.idle_wake.reset();
  // Before any worker can ask for the end.
  t.session_started.store(true);
  start_worker(SEND_WORKER, send_worker);
  start_worker(KEYBOARD_WORKER, keyboard_worker);
  // Set before the thread exists: a connection set-up on the main thread
  // right after this must not receive beside it.
  set_receive_worker_running(true);
  start_worker(RECEIVE_WORKER, receive_worker);
  start_worker(TRANSFER_WORKER, transfer_worker);
  t.stopper = std::thread(session_stopper);
}

void wait_session_end() {
  SessionThreads& t = threads();
  if (!t.stopper.joinable()) return;
  while (!t.session_ended_event.wait(2000)) {
    bool any_held = false;
    for (const auto& h : t.held) any_held = any_held || h.load();
    if (!any_held) break;
  }
  t.stopper.join();
  t.session_started.store(false);
}

void request_session_end() {
  std::fflush(stdout);
  SessionThreads& t = threads();
  if (t.session_started.load()) t.stop_event.set();
}

bool session_workers_running() {
  for (const auto& r : threads().running) {
    if (r.load()) return true;
  }
  return false;
}

void reset_session_workers() {
  SessionThreads& t = threads();
  if (t.session_started.load()) {
    request_session_end();
    wait_session_end();
  }
  if (t.stopper.joinable()) t.stopper.join();
  if (termination_hooks().request_session_end == request_session_end) {
    termination_hooks().request_session_end = nullptr;
  }
  g_session_worker_index.store(-1);
}

}  // namespace orvex
