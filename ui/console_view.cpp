#include "ui/console_view.hpp"

#include <cstdio>

#include "console/cp437.hpp"

namespace orvex {

void ConsoleView::radio_bytes(std::span<const uint8_t> bytes) { radio_output_.render(bytes); }

void ConsoleView::connected(int index) {
  std::printf("Connection with device [%d] established successfully. Press F1 for help\n", index);
}

void ConsoleView::progress(int64_t sent, int percent, bool done) {
  // Each update overwrites the one before; the last one ends the line.
  std::printf("\r [Transferring file %7lld bytes sent (%d%% completed)]%s", static_cast<long long>(sent),
              percent, done ? "\n" : "");
  std::fflush(stdout);
}

void ConsoleView::message(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void ConsoleView::text8(std::string_view text) { console_write(console_, text.data(), text.size()); }

void ConsoleView::diagnostic(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

void ConsoleView::flush() { std::fflush(stdout); }

}  // namespace orvex
