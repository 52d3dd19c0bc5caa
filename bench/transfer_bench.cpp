// orvex-bench-transfer: how close the program's file transfer comes to the
// raw stop-and-wait ceiling of a veth link. Builds two network namespaces
// joined by a veth pair (names start with oxb), measures a bare packet-socket
// exchange on it, then serves a file to the radio simulator through the
// program's own engine. Prints figures; needs root.
//   orvex-bench-transfer [FILE_MIB]   (1..64, default 4)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/session_workers.hpp"
#include "base/terminate.hpp"
#include "bench/netns.hpp"
#include "bench/raw_exchange.hpp"
#include "engine/connect.hpp"
#include "engine/discover.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "os/packet_capture.hpp"

namespace orvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t BLOCK_FRAME = FRAME_HEADER_SIZE + FILE_BLOCK_SIZE;  // 1390
constexpr size_t ACK_FRAME = FRAME_HEADER_SIZE;                      // 40
constexpr long RAW_ROUND_TRIPS = 20000;
constexpr int ROUNDS = 7;
constexpr int TRANSFER_WAIT_S = 60;

std::atomic<bool> g_stop{false};
bench::NamespaceSet* g_namespaces = nullptr;
std::filesystem::path g_scratch;

void on_signal(int) { g_stop.store(true); }

// The engine may end the process (a failed adapter, a lost radio): the
// namespaces go first.
[[noreturn]] void exit_process(int status) {
  if (g_namespaces != nullptr) g_namespaces->remove();
  std::error_code ignored;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ignored);
  std::_Exit(status);
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The real adapter with the send times of full file blocks noted: the time
// between the first and the last is (blocks - 1) round trips of the engine,
// free of the request at the start and the closing pause at the end. The
// time from a read that brought frames (the acknowledgement) to the next
// block's send is the program's own turnaround; the rest of a round trip is
// the link and the radio.
class TimedAdapter final : public CaptureHandle {
 public:
  explicit TimedAdapter(std::unique_ptr<CaptureHandle> real) : real_(std::move(real)) {}
  int send(std::span<const uint8_t> frame) override {
    if (frame.size() == BLOCK_FRAME) {
      const Clock::rep now = Clock::now().time_since_epoch().count();
      if (blocks_.fetch_add(1) == 0) first_.store(now);
      last_.store(now);
      const Clock::rep read = last_read_.exchange(0);
      if (read != 0) {
        turnaround_.fetch_add(now - read);
        turnarounds_.fetch_add(1);
      }
    }
    return real_->send(frame);
  }
  int receive(int max_frames, const FrameSink& sink) override {
    const int n = real_->receive(max_frames, sink);
    if (n > 0) last_read_.store(Clock::now().time_since_epoch().count());
    return n;
  }

  void reset() {
    blocks_.store(0);
    first_.store(0);
    last_.store(0);
    last_read_.store(0);
    turnaround_.store(0);
    turnarounds_.store(0);
  }
  long blocks() const { return blocks_.load(); }
  double block_span_s() const { return to_seconds(last_.load() - first_.load()); }
  double turnaround_us() const {
    const long n = turnarounds_.load();
    return n > 0 ? to_seconds(turnaround_.load()) * 1e6 / static_cast<double>(n) : 0;
  }

 private:
  static double to_seconds(Clock::rep ticks) { return std::chrono::duration<double>(Clock::duration(ticks)).count(); }

  std::unique_ptr<CaptureHandle> real_;
  std::atomic<long> blocks_{0}, turnarounds_{0};
  std::atomic<Clock::rep> first_{0}, last_{0}, last_read_{0}, turnaround_{0};
};

// Standard output (the radio's text, the engine's progress lines) goes to
// /dev/null meanwhile; the figures go to `report`, a copy of the old one.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int copy = dup(STDOUT_FILENO);
    report = copy >= 0 ? fdopen(copy, "w") : nullptr;
    if (report == nullptr) report = stderr;
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  ~QuietStdout() {
    if (report != stderr) std::fclose(report);
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

  std::FILE* report = stderr;

 private:
  int saved_ = -1;
};

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct TransferFigures {
  std::string error;
  long blocks = 0;           // full blocks put on the wire, repeats included
  double block_span_s = 0;   // first to last full block
  double whole_s = 0;        // request typed to transfer done
  double turnaround_us = 0;  // acknowledgement read to next block sent, on average
};

// A session with the radio simulator, run by the program's session workers
// around its engine. Each download it asks for is one measurement.
class EngineSession {
 public:
  EngineSession(const std::string& ns_radio, const std::string& dev_radio, const std::filesystem::path& store)
      : store_(store),
        simulator_(ns_radio,
                   {"-i", dev_radio, "-s", store.string(), "-q", "-r", "mac=02:7A:41:00:00:01,name=Sim,level=2"}) {}
  ~EngineSession() { stop(); }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // An empty text once the session is open and its workers run.
  std::string open(const std::string& ns_program) {
    if (!simulator_.running()) {
      return "the radio simulator did not start (" + bench::SimulatorProcess::binary_path() + ")";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
      bench::InNamespace in(ns_program);
      if (!in.entered()) return "could not enter " + ns_program;
      AdapterChoice choice{config_, engine_.io};
      const int id = select_adapter(choice);
      if (id < 0) return "no usable adapter in " + ns_program;
      // Reopened under a timing wrapper: the engine sends through it as usual.
      auto real = packet_capture().open(choice.table.entries[id].name);
      if (!real) return "the adapter did not reopen";
      auto owned = std::make_unique<TimedAdapter>(std::move(real));
      timed_ = owned.get();
      engine_.io.attach(std::move(owned));
    }
    engine_.run.numOfRadiosFound = discover_radios(engine_);
    if (engine_.run.numOfRadiosFound != 1) return "the simulator was not found";
    engine_.run.chosen_radio = 1;
    if (connect_session(engine_, 1) != 1) return "the session did not open";
    workers_.start();
    return {};
  }

  // Has the radio download "fw" (from the working directory) as
  // `destination` and checks what it stored against `content`.
  TransferFigures download(const std::string& destination, const std::string& content) {
    TransferFigures f;
    timed_->reset();
    const std::string command = "download fw " + destination + "\n";
    const Clock::time_point start = Clock::now();
    bool done = ESend(engine_, engine_.sessions[1], reinterpret_cast<const uint8_t*>(command.data()),
                      static_cast<int>(command.size())) == 1;
    if (!done) f.error = "the download request was not acknowledged";
    done = false;
    for (int i = 0; i < TRANSFER_WAIT_S * 10 && !done && f.error.empty() && !g_stop.load(); ++i) {
      done = engine_.events.transfer_done_event.wait(100);
    }
    f.whole_s = seconds(start, Clock::now());
    if (f.error.empty() && !done) f.error = g_stop.load() ? "interrupted" : "the transfer did not finish";
    f.blocks = timed_->blocks();
    f.block_span_s = timed_->block_span_s();
    f.turnaround_us = timed_->turnaround_us();
    if (f.error.empty()) {  // the radio stores the file once its last block is in
      const std::filesystem::path stored = store_ / "Sim" / destination;
      for (int i = 0; i < 100 && read_all(stored).size() != content.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (read_all(stored) != content) f.error = "the stored file differs from the one served";
    }
    return f;
  }

  void stop() {
    workers_.request_end();
    workers_.wait_end();
    engine_.io.close();
  }

 private:
  std::filesystem::path store_;
  bench::SimulatorProcess simulator_;
  TimedAdapter* timed_ = nullptr;
  Config config_;
  Engine engine_{config_};
  SessionWorkers workers_{engine_};
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void print_round(std::FILE* out, int round, const RawFigures& raw, const TransferFigures& t, long full_blocks) {
  const double raw_us = raw.seconds * 1e6 / static_cast<double>(raw.round_trips);
  const double block_us = t.block_span_s * 1e6 / static_cast<double>(full_blocks - 1);
  std::fprintf(out, "%5d  %8.1f %9.1f  %9.1f %9.1f %9.1f %6ld %9.3f  %5.2f\n", round, raw_us, BLOCK_FRAME / raw_us,
               block_us, FILE_BLOCK_SIZE / block_us, t.turnaround_us, t.blocks - full_blocks, t.whole_s,
               raw_us / block_us);
}

void print_summary(std::FILE* out, const char* label, double raw_us, double block_us) {
  std::fprintf(out, "\n%s:\n", label);
  std::fprintf(out, "  raw ceiling:      %.1f us a round trip, %.0f round trips/s, %.1f MB/s (%zu-byte blocks)\n",
               raw_us, 1e6 / raw_us, BLOCK_FRAME / raw_us, BLOCK_FRAME);
  std::fprintf(out, "  program transfer: %.1f us a block, %.0f blocks/s, %.1f MB/s (%d-byte blocks)\n", block_us,
               1e6 / block_us, FILE_BLOCK_SIZE / block_us, FILE_BLOCK_SIZE);
  std::fprintf(out, "  ratio to the raw ceiling: %.2f in blocks per second, %.2f in MB/s\n", raw_us / block_us,
               (FILE_BLOCK_SIZE / block_us) / (BLOCK_FRAME / raw_us));
}

int run(size_t file_size) {
  bench::NamespaceSet::remove_stale({"oxbp-", "oxbr-"});
  const std::string suffix = std::to_string(getpid() % 1000000);
  const std::string ns_program = "oxbp-" + suffix, ns_radio = "oxbr-" + suffix;
  const std::string dev_program = "oxbp" + suffix, dev_radio = "oxbr" + suffix;
  bench::NamespaceSet pair({ns_program, ns_radio}, {{ns_program, dev_program, ns_radio, dev_radio}});
  g_namespaces = &pair;
  termination_hooks().exit_process = exit_process;
  if (!pair.create()) {
    std::fprintf(stderr, "the veth pair could not be made\n");
    return 1;
  }

  std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path scratch = pattern;
  g_scratch = scratch;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch);  // the engine serves files from here
  std::string content(file_size, '\0');
  uint32_t x = 12345;
  for (char& c : content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  {
    std::ofstream out(scratch / "fw", std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  std::filesystem::create_directories(scratch / "store");
  const long full_blocks = static_cast<long>(file_size / FILE_BLOCK_SIZE);

  QuietStdout quiet;
  std::FILE* out = quiet.report;
  std::fprintf(out, "veth pair %s <-> %s, %u CPUs, %d rounds\n", dev_program.c_str(), dev_radio.c_str(),
               std::thread::hardware_concurrency(), ROUNDS);
  std::fprintf(out, "raw: packet sockets, %zu-byte block and %zu-byte ack, stop-and-wait, %ld round trips a round\n",
               BLOCK_FRAME, ACK_FRAME, RAW_ROUND_TRIPS);
  std::fprintf(out, "program: engine over libpcap serving %zu bytes (%ld full %d-byte blocks) to orvex-radiosim\n\n",
               file_size, full_blocks, FILE_BLOCK_SIZE);
  // us: a raw round trip, a program block, the program's own turnaround in it.
  std::fprintf(out, "%5s  %8s %9s  %9s %9s %9s %6s %9s  %5s\n", "round", "raw us", "raw MB/s", "prog us", "prog MB/s",
               "turn us", "resent", "whole s", "ratio");

  std::vector<double> raw_us, block_us;
  int status = 0;
  {
    EngineSession session(ns_radio, dev_radio, scratch / "store");
    const std::string error = session.open(ns_program);
    if (!error.empty()) {
      std::fprintf(stderr, "program transfer: %s\n", error.c_str());
      status = 1;
    }
    for (int round = 1; round <= ROUNDS && status == 0 && !g_stop.load(); ++round) {
      const RawFigures raw = run_raw_exchange(ns_program, dev_program, ns_radio, dev_radio, BLOCK_FRAME, ACK_FRAME,
                                              RAW_ROUND_TRIPS, 10.0, g_stop);
      if (!raw.ok) {
        std::fprintf(stderr, "raw exchange: %s\n", g_stop.load() ? "interrupted" : raw.error.c_str());
        status = 1;
        break;
      }
      const TransferFigures t = session.download("fw" + std::to_string(round) + ".out", content);
      if (!t.error.empty() || t.blocks < 2 || t.block_span_s <= 0) {
        std::fprintf(stderr, "program transfer: %s\n", t.error.empty() ? "too few blocks to time" : t.error.c_str());
        status = 1;
        break;
      }
      print_round(out, round, raw, t, full_blocks);
      raw_us.push_back(raw.seconds * 1e6 / static_cast<double>(raw.round_trips));
      block_us.push_back(t.block_span_s * 1e6 / static_cast<double>(full_blocks - 1));
    }
  }
  std::filesystem::current_path(previous);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  g_scratch.clear();
  if (status == 0 && raw_us.empty()) {
    std::fprintf(stderr, "interrupted\n");
    status = 1;
  }
  if (status != 0) return status;

  print_summary(out, "medians", median(raw_us), median(block_us));
  print_summary(out, "best rounds (least disturbed by other load)", *std::min_element(raw_us.begin(), raw_us.end()),
                *std::min_element(block_us.begin(), block_us.end()));
  return 0;
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
  long mib = 4;
  if (argc > 1) mib = std::strtol(argv[1], nullptr, 10);
  if (argc > 2 || mib < 1 || mib > 64) {
    std::fprintf(stderr, "usage: %s [FILE_MIB]   (1..64, default 4)\n", argv[0]);
    return 2;
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "%s needs root (network namespaces and raw frames)\n", argv[0]);
    return 1;
  }
  std::signal(SIGINT, orvex::bench::on_signal);
  std::signal(SIGTERM, orvex::bench::on_signal);
  if (isatty(STDIN_FILENO) != 0 && std::freopen("/dev/null", "r", stdin) == nullptr) return 1;
  return orvex::bench::run(static_cast<size_t>(mib) << 20);
}
