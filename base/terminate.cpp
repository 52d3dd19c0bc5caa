#include "base/terminate.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#ifdef ORVEX_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace orvex {

namespace {
TerminationHooks g_hooks;

const char* named_reason(int code) {
  switch (code) {
    case REASON_UNABLE_TO_SEND: return "Error: Unable to send data";
    case REASON_RECEIVE_THREAD_FAILED: return "Error: Receive thread failed";
    case REASON_READ_THREAD_FAILED: return "Error: Read thread failed";
    case REASON_NO_CONNECTION: return "Unable to establish connection with the radio";
    case REASON_NO_DEVICES: return "Sorry, no devices found";
    case REASON_INVALID_ADAPTER: return "Error: Invalid adapter";
    case REASON_LOCAL_EXIT: return "Local command exit executed ...\n";
    default: return nullptr;
  }
}

// The exit path reads it from any thread: it is process-wide.
std::atomic<bool> g_telling_exit_status{false};
std::atomic<bool> g_stopped_by_operator{false};

// The status a termination reason tells with --exit-status.
int telling_status(int code) {
  switch (code) {
    case REASON_LOCAL_EXIT: return EXIT_DONE;
    case REASON_INVALID_ADAPTER:
    case REASON_NO_DEVICES: return EXIT_NO_ADAPTER_OR_RADIO;
    case REASON_NO_CONNECTION:
    case REASON_UNABLE_TO_SEND:
    case REASON_RECEIVE_THREAD_FAILED:
    case REASON_READ_THREAD_FAILED:
    case REASON_TRANSFER_IDLE: return EXIT_CONNECTION_LOST;
    default: return EXIT_BAD_ARGUMENTS;  // refused requests, files named in the options
  }
}

}  // namespace

void set_telling_exit_status(bool telling) { g_telling_exit_status.store(telling); }

void set_stopped_by_operator(bool stopped) { g_stopped_by_operator.store(stopped); }

int exit_status(int usual, int telling) {
  if (!g_telling_exit_status.load()) return usual;
  // The radios the stop left out failed, and a connection the stop cut was
  // lost: the stop is what the status tells.
  const bool cut_short = telling == EXIT_SOME_RADIOS_FAILED || telling == EXIT_CONNECTION_LOST;
  return cut_short && g_stopped_by_operator.load() ? EXIT_STOPPED_BY_OPERATOR : telling;
}

TerminationHooks& termination_hooks() { return g_hooks; }

const char* termination_message(int code, char* buffer, unsigned size) {
  if (const char* reason = named_reason(code)) {
    std::snprintf(buffer, size, "%s\nTerminating application ...\n", reason);
  } else {
    std::snprintf(buffer, size, "\nTerminating application with error code:%d\n\n", code);
  }
  return buffer;
}

void exit_now(int status) {
  std::fflush(stdout);
  if (g_hooks.flush_capture != nullptr) g_hooks.flush_capture();
  if (g_hooks.restore_terminal != nullptr) g_hooks.restore_terminal();
  if (g_hooks.exit_process != nullptr) g_hooks.exit_process(status);
#ifdef ORVEX_COVERAGE
  // _exit skips the exit handlers, among them the one that writes the line counts.
  __gcov_dump();
#endif
  _exit(status);
}

void terminate_app(int context, int code) { terminate_app(context, code, telling_status(code)); }

void terminate_app(int context, int code, int telling) {
  char message[128];
  std::fputs(termination_message(code, message, sizeof message), stdout);
  std::fflush(stdout);
  if (context != TERM_CONTEXT_STARTUP && g_hooks.request_session_end != nullptr) {
    g_hooks.request_session_end();
  }
  if (g_hooks.close_adapter != nullptr) g_hooks.close_adapter();
  exit_now(exit_status(0, telling));
}

void assertion_failed(const char* expression, const char* file, int line) {
  std::printf("Assertion failed: %s, file %s, line %d\n", expression, file, line);
  exit_now(3);
}

}  // namespace orvex
