#include "cmdline/batch_runs.hpp"

#include "app/session_workers.hpp"

namespace orvex {

// The passes over the radios come with the batch operations; until then a
// batch session ends at once.
void update_all_radios() { request_session_end(); }

void run_commands_on_all_radios() { request_session_end(); }

}  // namespace orvex
