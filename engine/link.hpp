// The link a program's connections go over: frame input and output, the locks
// that keep each entry's frames in order, the rate of identify answers, and
// the operator's stop, after which only disconnects leave. Discovery needs
// nothing more than this and the session table.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/event.hpp"
#include "base/view.hpp"
#include "engine/send_locks.hpp"
#include "engine/session_table.hpp"
#include "link/frame_io.hpp"

namespace orvex {

struct Connection;

// Identify requests answered in the present second: a station must not be
// able to use the program to flood the segment (an answer is larger than the
// request), so answers are few and never go to a group address.
struct IdentifyAnswers {
  std::mutex mutex;
  uint64_t second_started_ms = 0;
  int answered = 0;
};
constexpr int IDENTIFY_ANSWERS_PER_SECOND = 10;

struct Link {
  Link(Config& c, View& v, Clock& k) : config(c), view(v), clock(k), io(c, v, k), stop(k) {}
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  Config& config;
  View& view;  // where everything the engine reports goes
  Clock& clock;
  FrameIo io;
  SendLocks send_locks;
  IdentifyAnswers identify_answers;
  // The operator's stop of a batch run (F3, Ctrl+C): the run ends between its
  // steps, its pauses end early, and only disconnects still leave.
  StopRequest stop;
  // Set while the session's receive worker dispatches frames: two threads
  // must never receive at once, so connection set-up then only sends.
  std::atomic<bool> receive_worker_running{false};
  // A parallel run's connections: each entry's frames go to the connection
  // serving it, and an entry no connection serves takes none. Off, every
  // frame goes to the one connection the receive worker was given.
  std::atomic<bool> shared{false};
  std::array<std::atomic<Connection*>, MAX_USER_SESSIONS> owners{};
  // Two set-ups at once never draw the same identifier.
  std::mutex cid_mutex;
};

}  // namespace orvex
