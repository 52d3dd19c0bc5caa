#include "engine/session_workers.hpp"

#include <atomic>
#include <cstdio>
#include <span>
#include <thread>
#include <utility>

#include "base/event.hpp"
#include "engine/dispatch.hpp"
#include "engine/epacket.hpp"
#include "engine/key_ring.hpp"
#include "engine/operator_commands.hpp"
#include "engine/transfer.hpp"
#include "wire/frame.hpp"

namespace orvex {

namespace {

enum Worker { TRANSFER_WORKER, SEND_WORKER, RECEIVE_WORKER, KEYBOARD_WORKER, WORKER_COUNT };

}  // namespace

// A std::thread destroyed while joinable would end the process: every thread
// is joined before the record goes (and the process exit skips destructors).
struct SessionWorkers::Threads {
  explicit Threads(Clock& k)
      : stop_event(k), session_ended_event(k), keyboard_done_event(k), worker_exit_event(k), idle_wake(k) {}
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
  // A typed key's send the keyboard worker started, whose acknowledgement the
  // send worker waits for.
  std::mutex handed_mutex;
  bool handed_held = false;
  StartedSend handed;
};

namespace {

using SessionThreads = SessionWorkers::Threads;

// How long the stopper waits before waking a worker again, and how long the
// transfer worker without a Session waits before looking again.
constexpr uint32_t STOP_REWAKE_MS = 100;
constexpr uint32_t IDLE_LOOK_MS = 100;

// A worker's index: its own, or (-1) the radio the batch run is at this moment.
int session_index_for(const Engine& e, int own) { return own >= 0 ? own : e.connection.radio.load(); }

void worker_ended(SessionThreads& t, Worker w) {
  t.running[w].store(false);
  t.worker_exit_event.set();
}

// A worker's failure goes to app/, which ends the program there; should it
// come back, the session ends.
void worker_failed(SessionWorkers& w, Failure failure) {
  w.on_failure(failure);
  w.request_end();
}

// The key typed while nothing waited in the ring and no send was in flight
// leaves from the keyboard worker's thread at once, sparing the wake of this
// one; the wait for its acknowledgement is this worker's. False when the
// worker is to end.
bool finish_handed_send(SessionWorkers& w, SessionThreads& t) {
  StartedSend started;
  {
    std::lock_guard<std::mutex> lock(t.handed_mutex);
    if (!t.handed_held) return true;
    started = t.handed;
    t.handed_held = false;
  }
  const SendResult sent = finish_send(w.engine.connection, started);
  if (sent.failure != Failure::NONE) {
    worker_failed(w, sent.failure);
    return false;
  }
  return !w.engine.connection.events.stopping_now();
}

// The ring's bytes as they lie: those to the buffer's end and, when they wrap,
// those from its start, one frame each. Bytes handed to a send are taken even
// when a stop cuts it short: the frame may be on the wire and taken by the
// radio, and sent again by the next session (with a new TSEQ) the line would
// run twice. Only bytes not yet handed over stay for the next session. False
// when the worker is to end.
bool send_ring(SessionWorkers& w, SessionThreads& t, Session& session) {
  Engine& e = w.engine;
  for (bool wrapped = true; wrapped;) {
    const std::span<const uint8_t> bytes = key_ring_front(e.connection.keys);
    if (bytes.empty()) break;
    // The keyboard's thread sends a key at once only while the ring is empty,
    // so a key it sent before these bytes may still hold the entry's token;
    // its wait is ours, and comes first. Until the ring is empty again no
    // other key leaves that way.
    if (!finish_handed_send(w, t)) return false;
    const SendResult sent = send_data(e.connection, session, bytes.data(), static_cast<int>(bytes.size()));
    // A frame the radio never acknowledged ends the program, from here.
    if (sent.failure != Failure::NONE) {
      worker_failed(w, sent.failure);
      return false;
    }
    wrapped = key_ring_take(e.connection.keys, bytes.size());
    if (e.connection.events.stopping_now()) return false;
  }
  return true;
}

// On the keyboard worker: sends the typed bytes at once when none wait in the
// ring before them and no send of the entry is in flight, handing the wait
// for their acknowledgement to the send worker; false when they are to join
// the ring instead.
bool send_typed_at_once(Engine& e, SessionThreads& t, Session& session, const uint8_t* bytes, int length) {
  Connection& c = e.connection;
  if (key_ring_count(c.keys) != 0 || c.events.stopping_now()) return false;
  std::lock_guard<std::mutex> lock(t.handed_mutex);
  if (t.handed_held || !try_start_data(c, session, bytes, length, t.handed)) return false;
  t.handed_held = true;
  c.events.ring_data_event.set();
  return true;
}

void send_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int index = t.index.load();
  SessionEvents& events = e.connection.events;
  if (SessionTable::valid_index(index)) {
    Session& session = e.sessions[index];
    while (!e.connection.events.stopping_now()) {
      if (!finish_handed_send(w, t) || !send_ring(w, t, session)) break;
      events.ring_space_event.set();
      if (key_ring_count(e.connection.keys) == 0) events.ring_data_event.wait();
    }
  } else {
    // No radio to send to: the ring keeps its bytes for a later session.
    while (!e.connection.events.stopping_now()) events.ring_data_event.wait();
  }
  worker_ended(t, SEND_WORKER);
}

// Whether the command ends the session it was given in.
bool ends_session(OperatorCommand command) {
  switch (command) {
    case OperatorCommand::LEAVE:
    case OperatorCommand::CHOOSE_ANOTHER:
    case OperatorCommand::STOP_BATCH:
      return true;
    case OperatorCommand::PROMPT_AGAIN:
      break;
  }
  return false;
}

// The next bytes for the radio from the session's input: their number, 0 when
// this session's input is over, negative when it could not be read. The
// operator's commands met on the way are run here, on the keyboard worker.
int read_for_radio(SessionWorkers& w, uint8_t* buffer) {
  for (;;) {
    const InputRead got = w.input.read(buffer);
    switch (got.kind) {
      case InputRead::BYTES:
        return got.length;
      case InputRead::OVER:
        return 0;
      case InputRead::UNREADABLE:
        return -1;
      case InputRead::FAILED:
        worker_failed(w, got.failure);
        return 0;
      case InputRead::COMMAND:
        break;
    }
    const Failure failed = run_operator_command(w.engine, got.command);
    if (ends_session(got.command)) {
      w.request_end();
      return 0;
    }
    if (failed != Failure::NONE) {
      worker_failed(w, failed);
      return 0;
    }
  }
}

void keyboard_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int index = session_index_for(e, t.index.load());
  {
    // The input was begun before the workers started; it is ended on every way out.
    const bool keys = e.link.config.input_source == INPUT_KEYBOARD;
    uint8_t buffer[KEY_RING_SIZE];
    // Stopping: only the key awaited for a restore is still read; anything
    // else stays unread for the next session.
    const auto stop_reading = [&e, keys] {
      return e.connection.events.stopping_now() && (!keys || e.connection.restore_requested.load() == 0);
    };
    for (;;) {
      if (stop_reading()) break;
      const int n = read_for_radio(w, buffer);
      if (n == 0 || stop_reading()) break;
      if (n < 0) {
        w.input.end();
        worker_ended(t, KEYBOARD_WORKER);
        t.keyboard_done_event.set();
        worker_failed(w, Failure::READ_THREAD_FAILED);
        return;
      }
      // Nothing typed goes to a radio during a file transfer, nor in a batch
      // run, which has no radio of its own.
      if (!SessionTable::valid_index(index) || e.sessions[index].state == SESSION_TRANSFER) continue;
      if (!send_typed_at_once(e, t, e.sessions[index], buffer, n)) {
        key_ring_put(e.connection.keys, e.connection.events, buffer, n);
      }
    }
    w.input.end();
  }
  worker_ended(t, KEYBOARD_WORKER);
  // Every way out says so: the stopper may be waiting for this.
  t.keyboard_done_event.set();
}

void receive_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  FrameView frame;
  while (!e.connection.events.stopping_now()) {
    const int n = e.link.io.receive(frame);
    if (e.connection.events.stopping_now()) break;
    if (n < 0) {
      e.link.receive_worker_running.store(false);
      worker_ended(t, RECEIVE_WORKER);
      worker_failed(w, Failure::RECEIVE_THREAD_FAILED);
      return;
    }
    if (n > 0) dispatch_frame(e.connection, frame);
  }
  e.link.receive_worker_running.store(false);
  worker_ended(t, RECEIVE_WORKER);
}

void transfer_worker(SessionWorkers& w, SessionThreads& t) {
  Engine& e = w.engine;
  const int own = t.index.load();
  while (!e.connection.events.stopping_now()) {
    const int index = session_index_for(e, own);
    if (!SessionTable::valid_index(index)) {
      // A batch run has not set up a connection yet.
      t.idle_wake.wait(IDLE_LOOK_MS);
      continue;
    }
    // The interactive session's transfers end with its Session; a batch run
    // goes from radio to radio, so a closed one ends nothing.
    if (own >= 0 && e.sessions[index].state == SESSION_CLOSED) break;
    // A batch run's step follows the chosen radio by itself (index -1); the
    // session's stop ends the loop.
    if (const Failure failed = transfer_step(e.connection); failed != Failure::NONE) {
      worker_failed(w, failed);
      break;
    }
  }
  worker_ended(t, TRANSFER_WORKER);
}

// Wakes the worker until it has ended (a wait may consume a wake meant for a
// later wait), then joins it.
void stop_worker(Engine& e, SessionThreads& t, Worker w, SessionInput* input) {
  if (!t.held[w].load()) return;
  while (t.running[w].load()) {
    e.connection.events.wake_all_for_stop();
    e.link.io.interrupt_receive_wait(true);
    t.idle_wake.set();
    if (input != nullptr) input->wake();
    t.worker_exit_event.wait(STOP_REWAKE_MS);
  }
  if (t.workers[w].joinable()) t.workers[w].join();
  t.held[w].store(false);
}

void session_stopper(Engine& e, SessionInput& input, SessionThreads& t) {
  t.stop_event.wait();
  e.connection.events.wake_all_for_stop();
  e.link.io.interrupt_receive_wait(true);
  stop_worker(e, t, TRANSFER_WORKER, nullptr);
  stop_worker(e, t, SEND_WORKER, nullptr);
  stop_worker(e, t, RECEIVE_WORKER, nullptr);
  if (t.held[KEYBOARD_WORKER].load()) {
    // The operator was asked to press a key: the keyboard worker ends at that
    // key. It may have ended already (Esc, end of input): then no wait.
    if (e.connection.restore_requested.load() != 0) {
      while (t.running[KEYBOARD_WORKER].load()) t.keyboard_done_event.wait();
    }
    stop_worker(e, t, KEYBOARD_WORKER, &input);
  }
  // A key's send the keyboard worker started as the send worker ended: its
  // wait ends at once (the session is stopping) and gives the entry's token back.
  bool handed = false;
  StartedSend started;
  {
    std::lock_guard<std::mutex> lock(t.handed_mutex);
    std::swap(handed, t.handed_held);
    if (handed) started = t.handed;
  }
  if (handed) finish_send(e.connection, started);
  // No worker receives any more: the main thread's next connection set-up (a
  // new choice, a restore) waits for its frames itself and must not be cut off.
  e.link.io.interrupt_receive_wait(false);
  std::fflush(nullptr);
  t.session_ended_event.set();
}

void start_worker(SessionWorkers& workers, SessionThreads& t, Worker w, void (*body)(SessionWorkers&, SessionThreads&)) {
  t.running[w].store(true);
  t.held[w].store(true);
  t.workers[w] = std::thread(body, std::ref(workers), std::ref(t));
}

}  // namespace

SessionWorkers::SessionWorkers(Engine& e, SessionInput& in, std::function<void(Failure)> failed)
    : engine(e), input(in), on_failure(std::move(failed)), threads_(std::make_unique<Threads>(e.link.clock)) {}

SessionWorkers::~SessionWorkers() {
  Threads& t = *threads_;
  if (t.session_started.load()) {
    request_end();
    wait_end();
  }
  if (t.stopper.joinable()) t.stopper.join();
  if (engine.connection.request_session_end) engine.connection.request_session_end = nullptr;
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
  e.connection.request_session_end = [this] { request_end(); };
  t.index.store(e.connection.radio.load());
  e.connection.events.renew();
  e.link.io.interrupt_receive_wait(false);
  t.stop_event.reset();
  t.session_ended_event.reset();
  t.keyboard_done_event.reset();
  t.worker_exit_event.reset();
  t.idle_wake.reset();
  // Before any worker can ask for the end.
  t.session_started.store(true);
  // Before the receive worker can show the radio's prompt: the keyboard's raw
  // mode, lest a line typed at it while still cooked reach the radio with its
  // CR made LF (and echoed by the terminal). The keyboard worker ends it.
  input.begin();
  start_worker(*this, t, SEND_WORKER, send_worker);
  start_worker(*this, t, KEYBOARD_WORKER, keyboard_worker);
  // Set before the thread exists: a connection set-up on the main thread
  // right after this must not receive beside it.
  e.link.receive_worker_running.store(true);
  start_worker(*this, t, RECEIVE_WORKER, receive_worker);
  start_worker(*this, t, TRANSFER_WORKER, transfer_worker);
  t.stopper = std::thread(session_stopper, std::ref(e), std::ref(input), std::ref(t));
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
  engine.connection.events.stopping.store(true, std::memory_order_release);
  t.stop_event.set();
}

bool SessionWorkers::running() const {
  for (const auto& r : threads_->running) {
    if (r.load()) return true;
  }
  return false;
}

}  // namespace orvex
