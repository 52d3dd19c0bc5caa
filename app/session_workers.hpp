// The threads of one session: the keyboard worker (keys or input-file lines
// into the key ring), the send worker (the ring into the reliable send), the
// receive worker (frames into the receive dispatch), the transfer worker (file
// blocks into the reliable send), and the stopper that ends them all.
#pragma once

#include <memory>

#include "app/session_operations.hpp"
#include "batch/script_lines.hpp"
#include "engine/engine.hpp"

namespace orvex {

class SessionWorkers {
 public:
  explicit SessionWorkers(Engine& engine);
  // Ends a running session and joins everything.
  ~SessionWorkers();
  SessionWorkers(const SessionWorkers&) = delete;
  SessionWorkers& operator=(const SessionWorkers&) = delete;

  // Starts the workers of a new session for the engine's chosen radio (-1: a
  // batch run, whose workers use no Session entry until the run chooses one).
  void start();
  // Returns when the session's workers are stopped and joined.
  void wait_end();
  // Asks for the end of the session; any thread, any number of times. Before a
  // session has started it has no effect.
  void request_end();
  // Whether any of the four workers still runs.
  bool running() const;

  Engine& engine;
  SessionOperations ops = real_session_operations();
  LineReader input;  // the -i file, whose place holds from session to session

  struct Threads;

 private:
  std::unique_ptr<Threads> threads_;
};

}  // namespace orvex
