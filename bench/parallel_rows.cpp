#include "bench/parallel_rows.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include "base/byte_order.hpp"
#include "bench/netns.hpp"
#include "wire/frame.hpp"

namespace orvex::bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The group stays well under ten minutes: a run whose own limit would end
// past this is not started.
constexpr double GROUP_BUDGET_S = 500;
constexpr int SAMPLE_MS = 50;
constexpr double BUSY_SHARE = 0.85;  // a CPU busy this much of the phase is what limits it

const MacAddress SIMULATED_PREFIX{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x00}};

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

int64_t realtime_ns() {  // the clock of the capture's time stamps
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_source(const fs::path& path, size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 271828;
  for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

// utime + stime of /proc/.../stat, in seconds; -1 when it cannot be read.
double stat_cpu_s(const std::string& path) {
  const std::string text = read_all(path);
  const size_t name_end = text.rfind(')');  // the name may hold spaces
  if (name_end == std::string::npos) return -1;
  std::vector<std::string> fields;
  for (size_t at = name_end + 2; at < text.size() && fields.size() < 13;) {
    const size_t end = std::min(text.find(' ', at), text.size());
    fields.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (fields.size() < 13) return -1;  // fields 3.. of stat: utime and stime are the 14th and 15th
  const auto ticks = static_cast<double>(std::stoll(fields[11]) + std::stoll(fields[12]));
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU time of the program, each of its threads and the simulator, taken
// every SAMPLE_MS while a run goes on, so that a phase of it can be cut out.
struct CpuSample {
  int64_t ns = 0;
  double program = 0, simulator = 0;
  std::map<std::string, double> threads;
};

CpuSample take_sample(pid_t program, pid_t simulator) {
  CpuSample s;
  s.ns = realtime_ns();
  const std::string root = "/proc/" + std::to_string(program);
  s.program = stat_cpu_s(root + "/stat");
  s.simulator = stat_cpu_s("/proc/" + std::to_string(simulator) + "/stat");
  std::error_code error;
  for (const auto& task : fs::directory_iterator(root + "/task", error)) {
    s.threads[task.path().filename().string()] = stat_cpu_s(task.path().string() + "/stat");
  }
  return s;
}

// The CPU shares over [from_ns, to_ns], from the samples around it.
void cpu_shares(const std::vector<CpuSample>& samples, int64_t from_ns, int64_t to_ns, TransferPhase& phase) {
  size_t before = 0, after = samples.size();
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].ns <= from_ns) before = i;
    if (samples[i].ns >= to_ns && after == samples.size()) after = i;
  }
  if (after == samples.size() || after <= before) return;
  const CpuSample &a = samples[before], &b = samples[after];
  const double span = static_cast<double>(b.ns - a.ns) / 1e9;
  phase.program_cpu_share = (b.program - a.program) / span;
  phase.simulator_cpu_share = (b.simulator - a.simulator) / span;
  for (const auto& [tid, cpu] : b.threads) {
    const auto earlier = a.threads.find(tid);
    const double start = earlier == a.threads.end() ? 0 : earlier->second;
    phase.busiest_thread_share = std::max(phase.busiest_thread_share, (cpu - start) / span);
  }
}

// A number after "key": in the report's totals line.
int total_of(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + key.size() + 3);
}

struct RunPlan {
  int simulated = 0;  // radios the simulator plays
  int reached = 0;    // radios the run is to reach (all, or those of `list`)
  int parallel = 1;
  std::string list;   // -n: the serial numbers 1..reached
  std::string update_text;  // -u
  double limit_s = 0;
};

// Plays `plan.simulated` radios and runs the program over them; every wait is
// bounded by the plan's limit, and both processes are stopped on the way out.
BatchRun simulated_run(const ParallelSetup& s, const RunPlan& plan, const std::string& store,
                       std::vector<CpuSample>* samples) {
  BatchRun r;
  r.radios = plan.reached;
  std::vector<std::string> args = {"-q", "-i", s.dev_radio, "-s", store};
  for (int i = 1; i <= plan.simulated; ++i) {
    args.push_back("-r");
    args.push_back("name=Par-" + std::to_string(i));
  }
  fs::create_directories(store);
  SimulatorProcess simulator(s.ns_radio, s.radio_cpu, args);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  if (!simulator.running()) {
    r.error = "orvex-radiosim did not start";
    return r;
  }
  const fs::path report = fs::path(s.scratch) / "parallel-report.jsonl";
  fs::remove(report);
  std::vector<std::string> argv = {build_directory() + "/orvexterm", "--exit-status", "-c", s.dev_program, "-f",
                                   "--report", report.string(), "--parallel", std::to_string(plan.parallel)};
  if (!plan.list.empty()) {
    std::ofstream list(fs::path(s.scratch) / plan.list);
    for (int i = 1; i <= plan.reached; ++i) list << i << "\n";  // a simulated radio's serial number is its index
    argv.insert(argv.end(), {"-n", plan.list});
  }
  argv.insert(argv.end(), {"-u", plan.update_text});
  const Clock::time_point start = Clock::now();
  ChildProcess program(in_namespace_on_cpu(s.ns_program, s.program_cpu, argv), ChildProcess::Output::discard_all);
  while (program.wait(0) < 0 && since(start) < plan.limit_s && !stop_flag().load()) {
    if (samples != nullptr) samples->push_back(take_sample(program.pid(), simulator.pid()));
    std::this_thread::sleep_for(std::chrono::milliseconds(SAMPLE_MS));
  }
  r.wall_s = since(start);
  const bool ended = program.wait(0) >= 0;
  program.stop();
  simulator.stop();
  r.status = program.wait(0);
  r.user_s = seconds_of(program.usage().ru_utime);
  r.sys_s = seconds_of(program.usage().ru_stime);
  r.cpu_s = r.user_s + r.sys_s;
  r.max_rss_kib = program.usage().ru_maxrss;
  r.simulator_cpu_s = seconds_of(simulator.usage().ru_utime) + seconds_of(simulator.usage().ru_stime);
  std::string totals;
  std::ifstream in(report);
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"totals\"") != std::string::npos) totals = line;
  }
  r.updated = total_of(totals, "ok");
  if (!ended) {
    r.error = "did not end within " + std::to_string(static_cast<int>(plan.limit_s)) + " s: stopped";
  } else if (r.status != 0) {
    r.error = "exit status " + std::to_string(r.status) + (r.status == 2 ? " (is --parallel known to it?)" : "");
  } else if (r.updated != plan.reached || total_of(totals, "radios") != plan.reached) {
    r.error = "the report has " + std::to_string(r.updated) + " of " + std::to_string(plan.reached) + " updated";
  }
  return r;
}

// The download phase of a run from the capture: the program's file blocks,
// by the radio they went to.
TransferPhase transfer_phase(const std::vector<Captured>& frames, const MacAddress& program_mac, int radios) {
  TransferPhase p;
  std::map<std::array<uint8_t, 6>, std::pair<int64_t, int64_t>> spans;
  for (const Captured& c : frames) {
    if (c.kept < FRAME_HEADER_SIZE || get_be16(c.head.data() + OFFSET_LENGTH) > 1500) continue;
    if (!std::equal(program_mac.bytes.begin(), program_mac.bytes.end(), c.head.begin() + OFFSET_SOURCE)) continue;
    if (get_be16(c.head.data() + OFFSET_PDU) != PDU_FILE_DATA) continue;
    std::array<uint8_t, 6> to{};
    std::copy_n(c.head.begin() + OFFSET_DESTINATION, 6, to.begin());
    auto [span, fresh] = spans.try_emplace(to, c.ns, c.ns);
    if (!fresh) span->second.second = c.ns;
  }
  p.radios_seen = static_cast<int>(spans.size());
  if (p.radios_seen != radios) {
    p.error = "file blocks seen for " + std::to_string(p.radios_seen) + " of " + std::to_string(radios) + " radios";
    return p;
  }
  int64_t first = INT64_MAX, last = 0;
  std::vector<double> each;
  for (const auto& [mac, span] : spans) {
    first = std::min(first, span.first);
    last = std::max(last, span.second);
    each.push_back(static_cast<double>(span.second - span.first) / 1e9);
  }
  std::sort(each.begin(), each.end());
  p.median_radio_s = each[each.size() / 2];
  p.seconds = static_cast<double>(last - first) / 1e9;
  p.first_ns = first;
  p.last_ns = last;
  return p;
}

// `radios` radios take the large file at once (action 3: load, then
// disconnect); the phase and what each end's CPU did meanwhile.
TransferPhase concurrent_transfers(const ParallelSetup& s, WireCapture& capture, int radios, double limit_s,
                                   BatchRun& run) {
  const fs::path store = fs::path(s.scratch) / "store-parallel";
  const MacAddress program_mac = interface_address(s.ns_program, s.dev_program);
  capture.keep_from({{program_mac}, {SIMULATED_PREFIX, true}});
  capture.clear();
  std::vector<CpuSample> samples;
  run = simulated_run(s, {radios, radios, radios, "", "par-large.bin#large.bin#3#0#0", limit_s}, store.string(),
                      &samples);
  TransferPhase p = transfer_phase(capture.take(), program_mac, radios);
  const std::string source = read_all(fs::path(s.scratch) / "par-large.bin");
  p.files_same = true;
  for (int i = 1; i <= radios; ++i) {
    p.files_same = p.files_same && read_all(store / ("Par-" + std::to_string(i)) / "large.bin") == source;
  }
  fs::remove_all(store);
  if (!run.error.empty()) p.error = run.error;  // before what the capture lacks because of it
  if (p.error.empty() && !p.files_same) p.error = "a stored copy differs from the source";
  if (p.seconds > 0) cpu_shares(samples, p.first_ns, p.last_ns, p);
  return p;
}

// Whether the run's own limit still fits in what is left of the group's time.
bool fits(Clock::time_point group_start, double limit_s, BatchRun& r) {
  if (since(group_start) + limit_s <= GROUP_BUDGET_S && !stop_flag().load()) return true;
  r.error = "not run: the group's " + std::to_string(static_cast<int>(GROUP_BUDGET_S)) + " s would run out";
  return false;
}

void print_run(std::FILE* out, const char* what, const BatchRun& r, int per) {
  if (!r.error.empty()) {
    std::fprintf(out, "  %s: failed: %s (%.1f s)\n", what, r.error.c_str(), r.wall_s);
    return;
  }
  std::fprintf(out, "  %s: %.1f s, %.2f s a radio; %d of %d updated\n", what, r.wall_s, r.wall_s / per, r.updated,
               r.radios);
}

void print_phase(std::FILE* out, const char* what, const TransferPhase& p, int radios) {
  if (!p.error.empty()) {
    std::fprintf(out, "  %s: failed: %s\n", what, p.error.c_str());
    return;
  }
  std::fprintf(out, "  %s: %.3f s, %.1f MB/s (each radio's own first to last block: median %.3f s; copies %s)\n", what,
               p.seconds, p.mb_s(radios, PARALLEL_LARGE_FILE), p.median_radio_s,
               p.files_same ? "the same as the source" : "DIFFER");
}

// What held the concurrent transfers back, from the CPU each end used.
std::string limit_of(const TransferPhase& p) {
  char text[400];
  const double program = 100 * p.program_cpu_share, thread = 100 * p.busiest_thread_share,
               simulator = 100 * p.simulator_cpu_share;
  if (p.simulator_cpu_share >= BUSY_SHARE && p.simulator_cpu_share >= p.program_cpu_share) {
    std::snprintf(text, sizeof text, "the simulator's single thread: busy %.0f %% of the phase (the program %.0f %% of "
                  "its CPU, its busiest thread %.0f %%)", simulator, program, thread);
  } else if (p.busiest_thread_share >= BUSY_SHARE) {
    std::snprintf(text, sizeof text, "one thread of the program: busy %.0f %% of the phase (the program %.0f %%, the "
                  "simulator %.0f %%)", thread, program, simulator);
  } else if (p.program_cpu_share >= BUSY_SHARE) {
    std::snprintf(text, sizeof text, "the program's CPU, which all its threads share: busy %.0f %% of the phase (its "
                  "busiest thread %.0f %%, the simulator %.0f %%)", program, thread, simulator);
  } else {
    std::snprintf(text, sizeof text, "neither end's CPU (the program %.0f %%, its busiest thread %.0f %%, the "
                  "simulator %.0f %%): the round trips, one block in flight a transfer, or CPU time taken by other "
                  "work on the machine", program, thread, simulator);
  }
  return text;
}

}  // namespace

double ParallelFigures::speedup() const {
  if (!sequential.error.empty() || !parallel.error.empty() || parallel.wall_s <= 0) return 0;
  return (sequential.wall_s / SPEEDUP_SEQUENTIAL_RADIOS) / (parallel.wall_s / SPEEDUP_RADIOS);
}

ParallelFigures run_parallel_rows(const ParallelSetup& s, WireCapture& capture, std::FILE* out) {
  ParallelFigures f;
  const Clock::time_point group_start = Clock::now();
  write_source(fs::path(s.scratch) / "par-small.bin", PARALLEL_SMALL_FILE);
  write_source(fs::path(s.scratch) / "par-large.bin", PARALLEL_LARGE_FILE);
  const std::string store = (fs::path(s.scratch) / "store-parallel").string();
  const std::string small = "par-small.bin#main.bin#2#0#0";
  std::fprintf(out, "\nparallel update runs: build/orvexterm --parallel N -u %s (%zu bytes); the program on CPU %d, "
                    "orvex-radiosim on CPU %d;\n  wall times from the program's start to its end, discovery included\n",
               small.c_str(), PARALLEL_SMALL_FILE, s.program_cpu, s.radio_cpu);

  // One radio after the other, then 20 at a time, each as a time a radio.
  const RunPlan sequential{SPEEDUP_RADIOS, SPEEDUP_SEQUENTIAL_RADIOS, 1, "parallel-radios.txt", small, 140};
  if (fits(group_start, sequential.limit_s, f.sequential)) f.sequential = simulated_run(s, sequential, store, nullptr);
  const RunPlan parallel{SPEEDUP_RADIOS, SPEEDUP_RADIOS, SPEEDUP_PARALLEL, "", small, 110};
  if (fits(group_start, parallel.limit_s, f.parallel)) f.parallel = simulated_run(s, parallel, store, nullptr);
  print_run(out, "--parallel 1 over 10 of 100 radios (-n)", f.sequential, SPEEDUP_SEQUENTIAL_RADIOS);
  print_run(out, "--parallel 20 over 100 radios", f.parallel, SPEEDUP_RADIOS);
  if (f.speedup() > 0) std::fprintf(out, "  speedup, time a radio: %.1f\n", f.speedup());
  fs::remove_all(store);

  const RunPlan most{MOST_RADIOS, MOST_RADIOS, MOST_PARALLEL, "", small, 200};
  if (fits(group_start, most.limit_s, f.all_599)) f.all_599 = simulated_run(s, most, store, nullptr);
  fs::remove_all(store);
  const BatchRun& m = f.all_599;
  if (m.error.empty()) {
    std::fprintf(out, "  599 radios, --parallel 64: %.1f s, %d of %d updated (exit status 0, report totals); program "
                      "CPU %.2f s (user %.2f, sys %.2f), peak memory %.1f MiB; simulator CPU %.2f s\n",
                 m.wall_s, m.updated, m.radios, m.cpu_s, m.user_s, m.sys_s, static_cast<double>(m.max_rss_kib) / 1024,
                 m.simulator_cpu_s);
  } else {
    std::fprintf(out, "  599 radios, --parallel 64: failed: %s (%.1f s)\n", m.error.c_str(), m.wall_s);
  }

  std::fprintf(out, "16 transfers at once: -u par-large.bin#large.bin#3#0#0 (%zu bytes), --parallel 16 over 16 radios, "
                    "against the same run over 1 radio;\n  the download phase from the kernel's time stamps on the "
                    "program's interface, the first file block of any radio to the last of any\n  (the pauses before "
                    "connecting and after the download lie outside it); CPU from /proc every %d ms\n",
               PARALLEL_LARGE_FILE, SAMPLE_MS);
  for (auto [radios, limit_s, run, phase] : {std::tuple(TRANSFERS, 60.0, &f.transfers_run, &f.transfers),
                                              std::tuple(1, 40.0, &f.alone_run, &f.alone)}) {
    if (fits(group_start, limit_s, *run)) *phase = concurrent_transfers(s, capture, radios, limit_s, *run);
    phase->error = phase->error.empty() ? run->error : phase->error;
  }
  print_phase(out, "16 at once, aggregate", f.transfers, TRANSFERS);
  print_phase(out, "1 alone", f.alone, 1);
  if (f.transfers.error.empty() && f.alone.error.empty()) {
    std::fprintf(out, "  aggregate/alone: %.2f\n", f.transfers.mb_s(TRANSFERS, PARALLEL_LARGE_FILE) /
                                                      f.alone.mb_s(1, PARALLEL_LARGE_FILE));
    std::fprintf(out, "  limited by: %s\n", limit_of(f.transfers).c_str());
  }
  std::fprintf(out, "  the group took %.0f s\n", since(group_start));
  return f;
}

}  // namespace orvex::bench
