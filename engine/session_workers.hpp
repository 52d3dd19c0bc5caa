// The threads of one session: the keyboard worker (the session's input into
// the key ring), the send worker (the ring into the reliable send), the
// receive worker (frames into the receive dispatch), the transfer worker (file
// blocks into the reliable send), and the stopper that ends them all.
#pragma once

#include <functional>
#include <memory>

#include "engine/engine.hpp"
#include "engine/session_input.hpp"

namespace orvex {

class SessionWorkers {
 public:
  // `on_failure` gets a worker's failure that ends the program (a frame never
  // acknowledged, an idle transfer, input that could not be read), on that
  // worker's thread; app/ ends the program there. Should it return, the
  // session ends.
  SessionWorkers(Engine& engine, SessionInput& input, std::function<void(Failure)> on_failure);
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
  SessionInput& input;
  const std::function<void(Failure)> on_failure;

  struct Threads;

 private:
  std::unique_ptr<Threads> threads_;
};

}  // namespace orvex
