// The one way the program ends once the adapter may be open: a failure's
// message, the running session asked to end, the adapter closed, the terminal
// given back and the exit status. Below app/ nothing ends the process: it
// returns a Failure, and the program comes here with it.
#pragma once

#include <atomic>
#include <functional>

#include "base/failure.hpp"

namespace orvex {

class RadioOutput;
class SessionWorkers;

// Made once in main and handed to the app/ code that ends the program. Safe
// from any thread while others run: nothing a running worker uses is freed.
class Termination {
 public:
  Termination() = default;
  Termination(const Termination&) = delete;
  Termination& operator=(const Termination&) = delete;

  // Whether the exit status tells (--exit-status); otherwise it is what the
  // program always gave. Set once while the options are read.
  void set_telling_exit_status(bool telling) { telling_.store(telling); }
  // `usual` without --exit-status, `telling` with it; once the operator has
  // stopped a batch run, a telling 1 or 4 becomes EXIT_STOPPED_BY_OPERATOR.
  int exit_status(int usual, int telling) const;
  // The operator stopped the batch run (F3, Ctrl+C).
  void set_stopped_by_operator(bool stopped) { stopped_by_operator_.store(stopped); }

  // The session asked to end on the way out while it is given (nullptr: none),
  // unless request_session_end is put in.
  void set_session_to_end(SessionWorkers* workers) { session_.store(workers); }
  // The radio output whose capture file is flushed on the way out (nullptr: none).
  void set_capture(RadioOutput* output) { capture_.store(output); }

  // Prints the failure's message, flushes standard output, asks a running
  // session to end, closes the adapter and ends the process by exit_now with
  // the failure's status.
  [[noreturn]] void terminate_app(Failure failure);

  // Flushes standard output and the capture file, restores the terminal and
  // ends the process at once with `status`, running no destructors (a live
  // thread's handle destroyed at exit would abort the process).
  [[noreturn]] void exit_now(int status);

  // Put in before any thread that may end the program starts; each may be empty.
  std::function<void()> request_session_end;  // instead of the session given above
  std::function<void()> close_adapter;
  // Ends the process; tests replace it (it must not return).
  std::function<void(int status)> exit_process;

 private:
  std::atomic<bool> telling_{false};
  std::atomic<bool> stopped_by_operator_{false};
  std::atomic<SessionWorkers*> session_{nullptr};
  std::atomic<RadioOutput*> capture_{nullptr};
};

}  // namespace orvex
