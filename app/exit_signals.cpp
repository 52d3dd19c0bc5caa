#include "app/exit_signals.hpp"

#include <thread>
#include <utility>

#include "os/terminal.hpp"

namespace orvex {

void handle_exit_signals(std::function<void()> first) {
  const int routed = route_exit_signals();
  if (routed < 0) return;
  std::thread([routed, first = std::move(first)] {
    const int sig = wait_exit_signal(routed);
    if (sig <= 0) return;
    if (first) first();
    end_by_signal(sig);
  }).detach();
}

}  // namespace orvex
