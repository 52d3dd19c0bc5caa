#include "console/radio_output.hpp"

#include <atomic>
#include <cstdio>
#include <string>

#include "base/config.hpp"
#include "base/failure.hpp"
#include "console/console.hpp"
#include "console/cp437.hpp"

namespace orvex {

namespace {

constexpr uint8_t ESC = 27;

// The exit path flushes the capture file from whichever thread ends the
// process, so the file is process-wide.
std::atomic<std::FILE*> g_capture_file{nullptr};
std::atomic<int> g_capture_state{CAPTURE_OFF};

}  // namespace

Failure open_capture_file(const Config& config) {
  const std::string& name = config.output_file_name;
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) {
    std::printf("------- Error: output file [%s] couldn't open successfully\n", name.c_str());
    return Failure::FILE_NOT_OPENED;
  }
  std::printf("------ Start capturing output to file %s -----\n\n", name.c_str());
  g_capture_file.store(f, std::memory_order_release);
  g_capture_state.store(CAPTURE_ON, std::memory_order_release);
  return Failure::NONE;
}

void render_radio_bytes(RadioOutput& output, const ConsoleKind& console, std::span<const uint8_t> bytes) {
  const bool cursor = console.terminal;
  std::string shown;
  std::string captured;
  for (const uint8_t c : bytes) {
    if (output.pending) {
      if (output.first == 0) {
        output.first = c;
        continue;
      }
      if (output.first == '[' && cursor) {
        switch (c) {
          case 'A': shown += cursor_sequence(-1, 0); break;
          case 'D': shown += cursor_sequence(0, 1); break;  // the radio means one column right
          case 'H': shown += cursor_sequence(0, -80); break;
          case 'J': shown += ERASE_BELOW; break;
          default: break;
        }
      }
      output = RadioOutput{};
      continue;
    }
    if (c == ESC) {
      output.pending = true;
      continue;
    }
    append_console_byte(console, shown, c);  // shown as code page 437; the file gets the raw byte
    captured += static_cast<char>(c);
  }
  console_write_now(shown);
  if (!captured.empty() && g_capture_state.load(std::memory_order_acquire) == CAPTURE_ON) {
    std::FILE* f = g_capture_file.load(std::memory_order_acquire);
    if (f != nullptr) std::fwrite(captured.data(), 1, captured.size(), f);
  }
}

void print_diagnostic(const Config& config, const char* text) {
  if (config.diagnostic_level != 0) std::printf("%s\n", text);
}

int capture_state() { return g_capture_state.load(std::memory_order_acquire); }

void flush_capture_file() {
  std::FILE* f = g_capture_file.load(std::memory_order_acquire);
  if (f != nullptr) std::fflush(f);
}

void close_capture_file() {
  std::FILE* f = g_capture_file.exchange(nullptr, std::memory_order_acq_rel);
  if (f != nullptr) std::fclose(f);
  g_capture_state.store(CAPTURE_OFF, std::memory_order_release);
}

}  // namespace orvex
