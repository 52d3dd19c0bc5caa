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

}  // namespace

Failure RadioOutput::open_capture_file(const Config& config) {
  const std::string& name = config.output_file_name;
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) {
    std::printf("------- Error: output file [%s] couldn't open successfully\n", name.c_str());
    return Failure::FILE_NOT_OPENED;
  }
  std::printf("------ Start capturing output to file %s -----\n\n", name.c_str());
  if (std::FILE* earlier = capture_file_.exchange(f, std::memory_order_acq_rel)) std::fclose(earlier);
  return Failure::NONE;
}

void RadioOutput::render(std::span<const uint8_t> bytes) {
  const bool cursor = console_.terminal;
  std::string shown;
  std::string captured;
  for (const uint8_t c : bytes) {
    if (pending_) {
      if (first_ == 0) {
        first_ = c;
        continue;
      }
      if (first_ == '[' && cursor) {
        switch (c) {
          case 'A': shown += cursor_sequence(-1, 0); break;
          case 'D': shown += cursor_sequence(0, 1); break;  // the radio means one column right
          case 'H': shown += cursor_sequence(0, -80); break;
          case 'J': shown += ERASE_BELOW; break;
          default: break;
        }
      }
      pending_ = false;
      first_ = 0;
      continue;
    }
    if (c == ESC) {
      pending_ = true;
      continue;
    }
    append_console_byte(console_, shown, c);  // shown as code page 437; the file gets the raw byte
    captured += static_cast<char>(c);
  }
  console_write_now(shown);
  if (captured.empty()) return;
  if (std::FILE* f = capture_file_.load(std::memory_order_acquire)) std::fwrite(captured.data(), 1, captured.size(), f);
}

void print_diagnostic(const Config& config, const char* text) {
  if (config.diagnostic_level != 0) std::printf("%s\n", text);
}

void RadioOutput::flush_capture_file() {
  std::FILE* f = capture_file_.load(std::memory_order_acquire);
  if (f != nullptr) std::fflush(f);
}

void RadioOutput::close_capture_file() {
  std::FILE* f = capture_file_.exchange(nullptr, std::memory_order_acq_rel);
  if (f != nullptr) std::fclose(f);
}

}  // namespace orvex
