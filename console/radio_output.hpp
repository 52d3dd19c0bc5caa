// Radio output on the console and in the capture file, and the one-line
// diagnostic print.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <span>

#include "base/config.hpp"
#include "base/failure.hpp"

namespace orvex {

// The connected radio's output: shown on the console through its escape
// handling, and copied into the capture file (-o) while one is open.
class RadioOutput {
 public:
  explicit RadioOutput(const ConsoleKind& console) : console_(console) {}
  ~RadioOutput() { close_capture_file(); }
  RadioOutput(const RadioOutput&) = delete;
  RadioOutput& operator=(const RadioOutput&) = delete;

  // Opens the -o file (created or emptied). On failure prints the error and
  // returns Failure::FILE_NOT_OPENED.
  Failure open_capture_file(const Config& config);
  // Flushes the capture file (safe from any thread while another writes it).
  void flush_capture_file();
  // Closes the capture file at a clean shut-down.
  void close_capture_file();

  // Shows the bytes of one frame of radio output, in one write to the
  // terminal, so that a slow terminal holds up the thread that acknowledges
  // frames once a frame rather than once a byte. An escape sequence is always
  // three bytes (ESC and two more; it may run on into the next frame): ESC [ A,
  // ESC [ D, ESC [ H and ESC [ J move the cursor or erase; every other sequence
  // has no effect. Sequence bytes are never shown or captured; every other byte
  // is shown and copied to the capture file.
  void render(std::span<const uint8_t> bytes);

 private:
  const ConsoleKind console_;
  // Where the radio's output stands inside an escape sequence. Only the
  // thread that dispatches frames renders, so it needs no lock.
  bool pending_ = false;
  uint8_t first_ = 0;
  // The exit path flushes it from whichever thread ends the process.
  std::atomic<std::FILE*> capture_file_{nullptr};
};

// Prints the text and a line end when diagnostics are on.
void print_diagnostic(const Config& config, const char* text);

}  // namespace orvex
