// OrvexTerm: a terminal for the radios on the local Ethernet segment.
// For now the start-up runs as far as the adapter choice.
#include <cstdio>

#include "app/terminate.hpp"
#include "cmdline/settings.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"

int main() {
  using namespace orvex;
  const int adapter = select_adapter();
  if (adapter < 0) terminate_app(TERM_CONTEXT_STARTUP, REASON_INVALID_ADAPTER);
  program_options().adapter_number = adapter;
  close_adapter();
  return 0;
}
