// The two batch operations: the update of all radios (-u) and the command run
// on all radios (-x). Each runs in the main thread while the session workers
// run, prints its report and asks for the end of the session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "batch/batch_report.hpp"
#include "batch/batch_requests.hpp"
#include "batch/radio_attempt.hpp"

namespace orvex {

struct Connection;
struct Link;
struct SessionTable;

// The pause before each radio is connected and after each delivered command
// or "sdp"; the longest wait for a download; the pause after it.
constexpr uint32_t RADIO_PAUSE_MS = 4000;
constexpr uint32_t DOWNLOAD_WAIT_MS = 60000;
constexpr uint32_t AFTER_DOWNLOAD_MS = 1500;

// Runs the confirmed -u request over every radio found: true when every
// radio was updated.
bool update_all_radios(Connection& conn);

// Runs the confirmed -x request over every radio found: whether every command
// reached every radio, or the failure that ends the program at once: the
// command file cannot be opened (FILE_NOT_READ), or an exit line in it ended
// the run (LOCAL_EXIT, or LOCAL_EXIT_RADIOS_FAILED when radios were left not
// done; the report file tells them).
struct CommandRunEnd {
  bool all_done = false;
  Failure failure = Failure::NONE;
};
CommandRunEnd run_commands_on_all_radios(Connection& conn);

// --dry-run: the radios the -u or -x run would reach (node, name, serial
// number, MAC address), found by discovery and the radio list; none is
// connected.
void print_dry_run(const Link& link, const SessionTable& table);

RadioAttempt update_one_radio(Connection& conn, int slot, const UpdateAllRequest& request);
RadioAttempt run_commands_on_radio(Connection& conn, int slot, const std::vector<std::string>& commands);

// The passes over every non-empty slot: a first pass, then up to
// `extra_passes` more over the failed ones after a wait of `interval_ms`. The
// report file (when one is named) is saved after every try. The operator's
// stop ends the passes: every radio not updated then counts as failed. An
// exit line ends them at once (result.exit_line), the report not yet saved.
BatchResult run_batch_passes(Connection& conn, BatchKind kind, int extra_passes, int64_t interval_ms, OneRadio one_radio,
                             const void* context);

}  // namespace orvex
