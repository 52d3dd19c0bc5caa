// The POSIX terminal under the console: raw key input for as long as a session
// reads keys, byte reads that wake on a session stop, and the restore that
// gives the terminal back (settings, colours, title, window size) and drops
// unread input; the program's ways out (app/) call it, and so do the handlers
// installed here for a signal, an uncaught exception and the normal exit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex {

// Results of read_terminal_byte besides a byte (0..255).
constexpr int TERMINAL_TIMEOUT = -1;  // nothing arrived within the time limit
constexpr int TERMINAL_END = -2;      // the input ended (end of file, hang-up)
constexpr int TERMINAL_STOPPED = -3;  // the session's stop woke the reader
constexpr int TERMINAL_ERROR = -4;    // the read failed

// The descriptor keys come from: standard input unless a test sets another.
int terminal_input_fd();
void set_terminal_input_fd(int fd);

// The next byte of input, waiting at most `timeout_ms` (negative: no limit).
int read_terminal_byte(int timeout_ms);

// Makes every read (current and later) return TERMINAL_STOPPED until cleared.
// Async-signal-safe; callable from any thread.
void wake_terminal_reader();
void clear_terminal_wake();

// Raw mode (no echo, no line editing, no signal keys, no flow control, CR kept
// as CR) on the input when it is a terminal; output processing stays on.
// Nested calls are counted; the last leave restores.
void enter_raw_mode();
void leave_raw_mode();
bool raw_mode_active();

// Holds raw mode for a scope, so an exception leaving the scope restores too.
class RawModeScope {
 public:
  RawModeScope() { enter_raw_mode(); }
  ~RawModeScope() { leave_raw_mode(); }
  RawModeScope(const RawModeScope&) = delete;
  RawModeScope& operator=(const RawModeScope&) = delete;
};

// Output state changed by the console services: restore_terminal gives back
// the terminal's default colours and its saved title. note_title_pushed is
// true only the first time, when the title is to be saved.
void note_colours_changed();
bool note_title_pushed();
// Called before the program asks for another window size: the size in use is
// looked up the first time, and restore_terminal asks for it again.
void note_window_resized();

// Gives back the settings saved before raw mode, resets what the console
// services changed and discards input typed but not read, when the input is
// the foreground's terminal. Async-signal-safe (tcsetattr, tcflush and write
// only); repeatable.
void restore_terminal();

// Flushes standard output, then restores (the normal ways out).
void restore_terminal_at_exit();

// Writes bytes to standard output's descriptor, unbuffered (for sequences that
// must reach the terminal even from a signal handler).
void write_terminal_output(const char* bytes, size_t length);

// Raw mode left, nothing noted to give back, no wake pending; the input
// descriptor stays as set (tests).
void reset_terminal();

// Installs, once, what brings the terminal back however the program ends: an
// atexit handler, a terminate handler for an uncaught exception, and signal
// handlers. SIGINT, SIGTERM, SIGHUP and SIGPIPE restore and end the process by
// the signal (unless routed, below); SIGSEGV, SIGBUS, SIGABRT and SIGQUIT only
// restore, then take their course.
void install_exit_guard();

// From now on the first SIGINT, SIGTERM, SIGHUP or SIGPIPE is handed to the
// thread in wait_exit_signal on the returned descriptor, which takes the
// program out its normal way and then calls end_by_signal; a second one
// (SIGPIPE aside, which is then left to fail the write) restores and ends at
// once, in case that way is stuck. Once: -1 when already routed, or when no
// pipe could be made (the signals then end the process at once as before).
int route_exit_signals();
// Blocks until such a signal came on `fd`: its number (-1 if the wait failed).
int wait_exit_signal(int fd);
// Restores the terminal and ends the process by `sig`, as its default does.
[[noreturn]] void end_by_signal(int sig);

}  // namespace orvex
