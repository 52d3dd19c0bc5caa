// The one way a fatal condition ends the process once the adapter may be open:
// the reason's message, the session's end, the adapter closed, exit status 0.
#pragma once

namespace orvex {

// Callers that run before any session worker exists.
constexpr int TERM_CONTEXT_STARTUP = 100;

// Reason codes with a message of their own.
constexpr int REASON_UNABLE_TO_SEND = -25;
constexpr int REASON_RECEIVE_THREAD_FAILED = -24;
constexpr int REASON_READ_THREAD_FAILED = -22;
constexpr int REASON_NO_CONNECTION = -21;
constexpr int REASON_NO_DEVICES = -20;
constexpr int REASON_INVALID_ADAPTER = -18;
constexpr int REASON_TRANSFER_IDLE = -3;  // no frame during a transfer for too long
constexpr int REASON_LOCAL_EXIT = 29;

// With --exit-status the process's exit status tells how the run went.
constexpr int EXIT_DONE = 0;
constexpr int EXIT_SOME_RADIOS_FAILED = 1;
constexpr int EXIT_BAD_ARGUMENTS = 2;
constexpr int EXIT_NO_ADAPTER_OR_RADIO = 3;
constexpr int EXIT_CONNECTION_LOST = 4;
constexpr int EXIT_STOPPED_BY_OPERATOR = 5;

// Whether the exit status tells (--exit-status); otherwise it is what the
// program always gave. Set once while the options are read.
void set_telling_exit_status(bool telling);
// `usual` without --exit-status, `telling` with it; once the operator has
// stopped a batch run, a telling 1 or 4 becomes EXIT_STOPPED_BY_OPERATOR.
int exit_status(int usual, int telling);
// The operator stopped the batch run (F3, Ctrl+C); false again for tests.
void set_stopped_by_operator(bool stopped);

// Prints the message of `code`, flushes standard output and the capture file,
// asks the session to end (unless `context` is TERM_CONTEXT_STARTUP), closes the
// adapter, restores the terminal and ends the process with status 0 (with
// --exit-status: the status the reason tells). Safe from
// any thread while others run: nothing a running worker uses is freed.
[[noreturn]] void terminate_app(int context, int code);
// The same, but with --exit-status the process ends with `telling`.
[[noreturn]] void terminate_app(int context, int code, int telling);

// The message printed for a reason code, exactly as terminate_app prints it.
const char* termination_message(int code, char* buffer, unsigned size);

// Stops the program on a broken internal limit with
// "Assertion failed: %s, file %s, line %d\n".
[[noreturn]] void assertion_failed(const char* expression, const char* file, int line);

// What terminate_app calls out to. The session workers, the adapter layer and
// the terminal layer install their part; each hook may be empty.
struct TerminationHooks {
  void (*request_session_end)() = nullptr;
  // Writes out what a buffered output other than standard output holds.
  void (*flush_capture)() = nullptr;
  void (*close_adapter)() = nullptr;
  void (*restore_terminal)() = nullptr;
  // Ends the process; tests replace it (it must not return).
  void (*exit_process)(int status) = nullptr;
};

TerminationHooks& termination_hooks();

// Flushes standard output and the capture file, restores the terminal and
// ends the process at once with `status`, running no destructors (a live
// thread's handle destroyed at exit would abort the process).
[[noreturn]] void exit_now(int status);

}  // namespace orvex
