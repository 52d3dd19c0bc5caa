#include "app/session_workers.hpp"

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "app/keyboard_input.hpp"
#include "app/termination.hpp"
#include "base/event.hpp"
#include "console/keys.hpp"
#include "os/terminal.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

enum Worker { TRANSFER_WORKER, SEND_WORKER, RECEIVE_WORKER, KEYBOARD_WORKER, WORKER_COUNT };

}  // namespace

// A std::thread destroyed while joinable would end the process: every thread
// is joined before the record goes (and the process exit skips destructors).
struct SessionWorkers::Threads {
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
  std::atomic<int> index{-1};  // the session's radio, or -1 for a batch run
};

namespace {

using SessionThreads = SessionWorkers::Threads;

// The exit path asks the running session to end from wherever it is called.
std::atomic<SessionWorkers*> g_exit_workers{nullptr};

// How long the stopper waits before waking a worker again, and how long the
// transfer worker without a Session waits before looking again.
constexpr uint32_t STOP_REWAKE_MS = 100;
constexpr uint32_t IDLE_LOOK_MS = 100;

// A worker's index: its own, or (-1) the chosen radio at this moment.
int session_index_for(const Engine& e, int own) { return own >= 0 ? own : e.run.chosen_radio.load(); }

void worker_ended(SessionThreads& t, Worker w) {
  t.running[w].store(false);
  t.worker_exit_event.set();
}

// A frame the radio never acknowledged ends the program, from the worker that sent it.
void end_if_unsent(const SendResult& sent) {
  if (sent.failure != Failure::NONE) terminate_app(sent.failure);
}

void send_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int index = t.index.load();
  KeyRing& ring = e.keys;
  SessionEvents& events = e.events;
  if (SessionTable::valid_index(index)) {
    Session& session = e.sessions[index];
    const SessionOperations& ops = w.ops;
    while (!e.events.stopping_now()) {
      uint16_t get = ring.get.load(std::memory_order_relaxed);
      uint16_t put = ring.put.load(std::memory_order_acquire);
      // Bytes handed to a send are taken even when a stop cuts it short: the
      // frame may be on the wire and taken by the radio, and sent again by the
      // next session (with a new TSEQ) the line would run twice. Only bytes not
      // yet handed over stay for the next session.
      if (get > put) {  // the data wraps: the end of the buffer first
        end_if_unsent(ops.send(e, session, ring.buffer.data() + get, KEY_RING_SIZE - get));
        get = 0;
        ring.get.store(get, std::memory_order_release);
        if (e.events.stopping_now()) break;
        put = ring.put.load(std::memory_order_acquire);
      }
      if (get < put) {
        end_if_unsent(ops.send(e, session, ring.buffer.data() + get, put - get));
        get = put;
        ring.get.store(get, std::memory_order_release);
        if (e.events.stopping_now()) break;
      }
      events.ring_space_event.set();
      if (get == ring.put.load(std::memory_order_acquire)) events.ring_data_event.wait();
    }
  } else {
    // No radio to send to: the ring keeps its bytes for a later session.
    while (!e.events.stopping_now()) events.ring_data_event.wait();
  }
  worker_ended(t, SEND_WORKER);
}

void keyboard_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int index = session_index_for(e, t.index.load());
  {
    // Raw since start(), given back on every way out.
    const bool keys = e.config.input_source == INPUT_KEYBOARD;
    uint8_t buffer[KEY_RING_SIZE];
    // Stopping: only the key awaited for a restore is still read; anything
    // else stays unread for the next session.
    const auto stop_reading = [&e, keys] {
      return e.events.stopping_now() && (!keys || e.run.restore_requested.load() == 0);
    };
    for (;;) {
      if (stop_reading()) break;
      const int n = read_input(w, buffer);
      if (n == 0 || stop_reading()) break;
      if (n < 0) {
        if (keys) leave_raw_mode();
        worker_ended(t, KEYBOARD_WORKER);
        t.keyboard_done_event.set();
        terminate_app(Failure::READ_THREAD_FAILED);
      }
      // Nothing typed goes to a radio during a file transfer, nor in a batch
      // run, which has no radio of its own.
      if (!SessionTable::valid_index(index) || e.sessions[index].state == SESSION_TRANSFER) continue;
      key_ring_put(e.keys, e.events, buffer, n);
    }
    if (keys) leave_raw_mode();
  }
  worker_ended(t, KEYBOARD_WORKER);
  // Every way out says so: the stopper may be waiting for this.
  t.keyboard_done_event.set();
}

void receive_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  FrameView frame;
  const SessionOperations& ops = w.ops;
  while (!e.events.stopping_now()) {
    const int n = ops.receive(e, frame);
    if (e.events.stopping_now()) break;
    if (n < 0) {
      e.receive_worker_running.store(false);
      worker_ended(t, RECEIVE_WORKER);
      terminate_app(Failure::RECEIVE_THREAD_FAILED);
    }
    if (n > 0) ops.dispatch(e, frame);
  }
  e.receive_worker_running.store(false);
  worker_ended(t, RECEIVE_WORKER);
}

void transfer_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int own = t.index.load();
  const SessionOperations& ops = w.ops;
  while (!e.events.stopping_now()) {
    const int index = session_index_for(e, own);
    if (!SessionTable::valid_index(index)) {
      // A batch run has not chosen its radio yet.
      t.idle_wake.wait(IDLE_LOOK_MS);
      continue;
    }
    // The interactive session's transfers end with its Session; a batch run
    // goes from radio to radio, so a closed one ends nothing.
    if (own >= 0 && e.sessions[index].state == SESSION_CLOSED) break;
    // A batch run's step follows the chosen radio by itself (index -1); the
    // session's stop ends the loop.
    if (const Failure failed = ops.transfer_step(e, own); failed != Failure::NONE) terminate_app(failed);
  }
  worker_ended(t, TRANSFER_WORKER);
}

// Wakes the worker until it has ended (a wait may consume a wake meant for a
// later wait), then joins it.
void stop_worker(Engine& e, SessionThreads& t, Worker w, bool wake_keyboard) {
  if (!t.held[w].load()) return;
  while (t.running[w].load()) {
    e.events.wake_all_for_stop();
    e.io.interrupt_receive_wait(true);
    t.idle_wake.set();
    if (wake_keyboard) wake_terminal_reader();
    t.worker_exit_event.wait(STOP_REWAKE_MS);
  }
  if (t.workers[w].joinable()) t.workers[w].join();
  t.held[w].store(false);
}

void session_stopper(Engine& e, SessionThreads& t) {
  t.stop_event.wait();
  e.events.wake_all_for_stop();
  e.io.interrupt_receive_wait(true);
  stop_worker(e, t, TRANSFER_WORKER, false);
  stop_worker(e, t, SEND_WORKER, false);
  stop_worker(e, t, RECEIVE_WORKER, false);
  if (t.held[KEYBOARD_WORKER].load()) {
    // The operator was asked to press a key: the keyboard worker ends at that
    // key. It may have ended already (Esc, end of input): then no wait.
    if (e.run.restore_requested.load() != 0) {
      while (t.running[KEYBOARD_WORKER].load()) t.keyboard_done_event.wait();
    }
    stop_worker(e, t, KEYBOARD_WORKER, true);
  }
  // No worker receives any more: the main thread's next connection set-up (a
  // new choice, a restore) waits for its frames itself and must not be cut off.
  e.io.interrupt_receive_wait(false);
  std::fflush(nullptr);
  t.session_ended_event.set();
}

void start_worker(SessionWorkers& workers, SessionThreads& t, Worker w, void (*body)(SessionWorkers&, SessionThreads&)) {
  t.running[w].store(true);
  t.held[w].store(true);
  t.workers[w] = std::thread(body, std::ref(workers), std::ref(t));
}

void end_running_session() {
  if (SessionWorkers* w = g_exit_workers.load()) w->request_end();
}

}  // namespace

SessionWorkers::SessionWorkers(Engine& e) : engine(e), threads_(std::make_unique<Threads>()) {}

SessionWorkers::~SessionWorkers() {
  Threads& t = *threads_;
  if (t.session_started.load()) {
    request_end();
    wait_end();
  }
  if (t.stopper.joinable()) t.stopper.join();
  SessionWorkers* self = this;
  if (g_exit_workers.compare_exchange_strong(self, nullptr) &&
      termination_hooks().request_session_end == end_running_session) {
    termination_hooks().request_session_end = nullptr;
  }
  if (engine.request_session_end) engine.request_session_end = nullptr;
}

void SessionWorkers::start() {
  Threads& t = *threads_;
  Engine& e = engine;
  if (t.stopper.joinable()) {
    // A session still running (never waited for) ends first.
    if (t.session_started.load()) {
      request_end();
      wait_end();
    }
    if (t.stopper.joinable()) t.stopper.join();
  }
  g_exit_workers.store(this);
  if (termination_hooks().request_session_end == nullptr) {
    termination_hooks().request_session_end = end_running_session;
  }
  e.request_session_end = [this] { request_end(); };
  t.index.store(e.run.chosen_radio.load());
  e.events.renew();
  e.io.interrupt_receive_wait(false);
  clear_terminal_wake();
  t.stop_event.reset();
  t.session_ended_event.reset();
  t.keyboard_done_event.reset();
  t.worker_exit_event.reset();
  t.idle_wake.reset();
  // Before any worker can ask for the end.
  t.session_started.store(true);
  // Raw before the receive worker can show the radio's prompt: a line typed
  // at it while still cooked would reach the radio with its CR made LF (and
  // echoed by the terminal). The keyboard worker gives it back when it ends.
  if (e.config.input_source == INPUT_KEYBOARD) enter_raw_mode();
  start_worker(*this, t, SEND_WORKER, send_worker);
  start_worker(*this, t, KEYBOARD_WORKER, keyboard_worker);
  // Set before the thread exists: a connection set-up on the main thread
  // right after this must not receive beside it.
  e.receive_worker_running.store(true);
  start_worker(*this, t, RECEIVE_WORKER, receive_worker);
  start_worker(*this, t, TRANSFER_WORKER, transfer_worker);
  t.stopper = std::thread(session_stopper, std::ref(e), std::ref(t));
}

void SessionWorkers::wait_end() {
  Threads& t = *threads_;
  if (!t.stopper.joinable()) return;
  while (!t.session_ended_event.wait(2000)) {
    bool any_held = false;
    for (const auto& h : t.held) any_held = any_held || h.load();
    if (!any_held) break;
  }
  t.stopper.join();
  t.session_started.store(false);
}

void SessionWorkers::request_end() {
  std::fflush(stdout);
  Threads& t = *threads_;
  if (!t.session_started.load()) return;
  // Stopping from now on, not only once the stopper runs: a radio's
  // disconnect or restore request that comes twice is acted on once.
  engine.events.stopping.store(true, std::memory_order_release);
  t.stop_event.set();
}

bool SessionWorkers::running() const {
  for (const auto& r : threads_->running) {
    if (r.load()) return true;
  }
  return false;
}

}  // namespace orvex
