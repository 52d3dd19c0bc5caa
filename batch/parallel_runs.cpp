#include "batch/parallel_runs.hpp"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "batch/report_file.hpp"
#include "engine/connection.hpp"
#include "engine/transfer.hpp"
#include "ui/parallel_view.hpp"

namespace orvex {

namespace {

// How often the run looks for the operator's stop while its lanes work.
constexpr uint32_t WATCH_MS = 50;

// One lane: a connection of its own, and the thread its file blocks leave
// from (the session's transfer worker serves only the run's first connection).
struct Lane {
  Lane(Connection& first, View& view) : conn(first.link, first.sessions, first.files, view) {
    conn.active_session = -1;  // no entry of its own yet: no quiet transfer to count
  }
  Connection conn;
  std::thread transfer;
};

struct ParallelRun {
  ParallelRun(Connection& c, BatchKind k, OneRadio o, const void* x, ParallelView& v)
      : conn(c), kind(k), one_radio(o), context(x), view(v) {}
  Connection& conn;
  const BatchKind kind;
  const OneRadio one_radio;
  const void* const context;
  ParallelView& view;
  std::vector<std::unique_ptr<Lane>> lanes;
  // Guarded by `mutex`: the result, the pass's radios and how far it got.
  std::mutex mutex;
  std::condition_variable lane_ended;
  BatchResult result;
  std::vector<size_t> pass;  // indices into result.radios
  size_t next = 0;
  int running = 0;
};

bool stopped(const Link& link) { return link.stop.requested(); }

// A lane's transfer worker: until the run ends, the blocks of whichever radio
// the lane is at. A lane's transfer that goes quiet is a failed try (its
// radio is disconnected), never the program's end.
void lane_transfers(Connection& conn) {
  while (!conn.events.stopping_now()) transfer_step(conn);
}

// Takes the pass's next radio; false when there is none or the run ended.
bool take_radio(ParallelRun& run, size_t& index, int& tries) {
  std::lock_guard<std::mutex> lock(run.mutex);
  if (stopped(run.conn.link) || run.result.exit_line || run.next >= run.pass.size()) return false;
  index = run.pass[run.next++];
  tries = run.result.radios[index].tries + 1;
  return true;
}

void run_lane(ParallelRun& run, int lane_number) {
  Lane& lane = *run.lanes[static_cast<size_t>(lane_number)];
  Link& link = run.conn.link;
  size_t index = 0;
  int tries = 0;
  while (take_radio(run, index, tries)) {
    // Only this lane's thread changes the radio's record, and only its
    // outcome under the lock; its name and slot stay as they are.
    BatchRadioResult& radio = run.result.radios[index];
    const int slot = radio.slot;
    run.view.begin_radio(lane_number, LaneRadio{.node = slot, .name = radio.name, .serial_text = radio.serial_text,
                                                .tries = tries});
    link.owners[static_cast<size_t>(slot)].store(&lane.conn, std::memory_order_release);
    RadioAttempt attempt = run.one_radio(lane.conn, slot, run.context);
    // Whatever the radio still sends is no lane's any more.
    link.owners[static_cast<size_t>(slot)].store(nullptr, std::memory_order_release);
    if (attempt.not_tried) continue;
    run.view.end_radio(lane_number, attempt.done, attempt.error);
    std::lock_guard<std::mutex> lock(run.mutex);
    record_attempt(radio, std::move(attempt), run.result);
    if (!run.result.exit_line) save_run_report(link.config, run.conn.view, run.kind, run.result, false);
  }
  std::lock_guard<std::mutex> lock(run.mutex);
  --run.running;
  run.lane_ended.notify_all();
}

// Every lane wakes from whatever it waits for (an acknowledgement, the end
// of a download, a set-up) and closes its radio's connection.
void wake_lanes_for_stop(ParallelRun& run) {
  for (const auto& lane : run.lanes) lane->conn.events.wake_all_for_stop();
}

// One pass over run.pass with up to as many radios at once as there are lanes.
void run_pass(ParallelRun& run) {
  const int lanes = static_cast<int>(std::min(run.lanes.size(), run.pass.size()));
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.next = 0;
    run.running = lanes;
  }
  std::vector<std::thread> runners;
  runners.reserve(static_cast<size_t>(lanes));
  for (int i = 0; i < lanes; ++i) runners.emplace_back(run_lane, std::ref(run), i);
  bool woken = false;
  {
    std::unique_lock<std::mutex> lock(run.mutex);
    while (run.running > 0) {
      run.lane_ended.wait_for(lock, std::chrono::milliseconds(WATCH_MS));
      if (!woken && stopped(run.conn.link)) {
        lock.unlock();
        wake_lanes_for_stop(run);
        woken = true;
        lock.lock();
      }
    }
  }
  for (std::thread& runner : runners) runner.join();
}

size_t count_failed(const BatchResult& result) {
  return static_cast<size_t>(std::ranges::count_if(
      result.radios, [](const BatchRadioResult& radio) { return radio.outcome == OUTCOME_FAILED; }));
}

// The radios a further pass takes: those that failed.
std::vector<size_t> failed_radios(const BatchResult& result) {
  std::vector<size_t> failed;
  for (size_t i = 0; i < result.radios.size(); ++i) {
    if (result.radios[i].outcome == OUTCOME_FAILED) failed.push_back(i);
  }
  return failed;
}

}  // namespace

BatchResult run_parallel_passes(Connection& conn, BatchKind kind, int extra_passes, int64_t interval_ms,
                                OneRadio one_radio, const void* context, int lanes) {
  Link& link = conn.link;
  BatchResult first;
  first.interval_ms = interval_ms;
  first.radios = radios_taking_part(conn.sessions);
  first.taken_part = static_cast<int>(first.radios.size());
  save_run_report(link.config, conn.view, kind, first, false);
  const int lane_count = std::max(1, std::min(lanes, first.taken_part));

  ParallelView view(conn.view, link.config.console, link.clock, lane_count, kind == BatchKind::COMMAND_RUN);
  ParallelRun run(conn, kind, one_radio, context, view);
  run.result = std::move(first);
  // From here on each entry's frames go to the lane that serves it.
  link.shared.store(true, std::memory_order_release);
  for (int i = 0; i < lane_count; ++i) {
    run.lanes.push_back(std::make_unique<Lane>(conn, view.lane(i)));
    Lane& lane = *run.lanes.back();
    lane.transfer = std::thread(lane_transfers, std::ref(lane.conn));
  }

  for (size_t i = 0; i < run.result.radios.size(); ++i) run.pass.push_back(i);
  run_pass(run);
  run.result.failed = static_cast<int>(count_failed(run.result));
  run.result.tries = 1;
  for (int pass = 1; pass <= extra_passes && run.result.failed > 0 && !stopped(link) && !run.result.exit_line;
       ++pass) {
    view.message(format_pass_message(kind, run.result.failed, pass, interval_ms));
    if (!link.stop.pause(static_cast<uint32_t>(interval_ms))) break;
    ++run.result.tries;
    run.pass = failed_radios(run.result);
    run_pass(run);
    run.result.failed = static_cast<int>(count_failed(run.result));
  }
  if (stopped(link)) {
    // Radios the stop left out count as not updated (the report file says "not tried").
    run.result.failed = static_cast<int>(std::ranges::count_if(
        run.result.radios, [](const BatchRadioResult& radio) { return radio.outcome != OUTCOME_DONE; }));
  }

  wake_lanes_for_stop(run);
  for (const auto& lane : run.lanes) lane->transfer.join();
  // Frames of a radio left connected stay no lane's: the run is over.
  view.finish();
  return std::move(run.result);
}

}  // namespace orvex
