#include "console/console.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace orvex {

namespace {
// -1: not decided yet.
std::atomic<int> g_output_available{-1};
}  // namespace

bool console_output_available() {
  int v = g_output_available.load(std::memory_order_acquire);
  if (v < 0) {
    v = isatty(STDOUT_FILENO) ? 1 : 0;
    g_output_available.store(v, std::memory_order_release);
  }
  return v == 1;
}

void set_console_output_available(bool available) {
  g_output_available.store(available ? 1 : 0, std::memory_order_release);
}

void move_cursor(int row_delta, int column_delta) {
  if (!console_output_available()) return;
  if (column_delta == -80) {
    std::fputs("\x1b[H", stdout);
  } else {
    if (row_delta < 0) std::printf("\x1b[%dA", -row_delta);
    if (row_delta > 0) std::printf("\x1b[%dB", row_delta);
    if (column_delta > 0) std::printf("\x1b[%dC", column_delta);
    if (column_delta < 0) std::printf("\x1b[%dD", -column_delta);
  }
  std::fflush(stdout);
}

void erase_below() {
  if (!console_output_available()) return;
  std::fputs("\x1b[J", stdout);
  std::fflush(stdout);
}

void set_console_title(const char* title) {
  if (!console_output_available()) return;
  // Control characters would end the sequence early; they are left out.
  std::fputs("\x1b]0;", stdout);
  for (const char* p = title; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7F) std::fputc(*p, stdout);
  }
  std::fputs("\x07", stdout);
  std::fflush(stdout);
}

void set_black_on_white() {
  if (!console_output_available()) return;
  std::fputs("\x1b[30;107m", stdout);
  std::fflush(stdout);
}

}  // namespace orvex
