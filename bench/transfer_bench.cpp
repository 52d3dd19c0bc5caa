// orvex-bench-transfer: how close the program's file transfer comes to the
// raw stop-and-wait ceiling of a veth link. Builds two network namespaces
// joined by a veth pair (names start with oxb), measures a bare packet-socket
// exchange on it, then serves a file to the radio simulator through the
// program's own engine. Prints figures; needs root.
//   orvex-bench-transfer [FILE_MIB]   (1..64, default 4)
#include <fcntl.h>
#include <unistd.h>

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

#include "app/terminate.hpp"
#include "bench/raw_exchange.hpp"
#include "discovery/discover.hpp"
#include "link/adapters.hpp"
#include "link/frame_io.hpp"
#include "platform/packet_library.hpp"
#include "protocol/connect.hpp"
#include "protocol/dispatch.hpp"
#include "protocol/epacket.hpp"
#include "protocol/session_events.hpp"
#include "protocol/session_table.hpp"
#include "protocol/transfer.hpp"
#include "tests/support/netns.hpp"

namespace orvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t BLOCK_FRAME = FRAME_HEADER_SIZE + FILE_BLOCK_SIZE;  // 1390
constexpr size_t ACK_FRAME = FRAME_HEADER_SIZE;                      // 40
constexpr long RAW_ROUND_TRIPS = 50000;
constexpr int TRANSFER_WAIT_S = 60;

std::atomic<bool> g_stop{false};
test::NamespaceSet* g_namespaces = nullptr;

void on_signal(int) { g_stop.store(true); }

// The engine may end the process (a failed adapter, a lost radio): the
// namespaces go first.
[[noreturn]] void exit_process(int status) {
  if (g_namespaces != nullptr) g_namespaces->remove();
  std::_Exit(status);
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// The real adapter with the send times of full file blocks noted: the time
// between the first and the last is (blocks - 1) round trips of the engine,
// free of the request at the start and the closing pause at the end.
class TimedAdapter final : public PacketAdapter {
 public:
  explicit TimedAdapter(std::unique_ptr<PacketAdapter> real) : real_(std::move(real)) {}
  int send(std::span<const uint8_t> frame) override {
    if (frame.size() == BLOCK_FRAME) {
      const auto now = Clock::now().time_since_epoch().count();
      if (blocks_.fetch_add(1) == 0) first_.store(now);
      last_.store(now);
    }
    return real_->send(frame);
  }
  int receive_block(std::span<uint8_t> block) override { return real_->receive_block(block); }

  long blocks() const { return blocks_.load(); }
  double block_span_s() const {
    return std::chrono::duration<double>(Clock::duration(last_.load() - first_.load())).count();
  }

 private:
  std::unique_ptr<PacketAdapter> real_;
  std::atomic<long> blocks_{0};
  std::atomic<Clock::rep> first_{0}, last_{0};
};

// Standard output (the engine's progress lines) goes to /dev/null meanwhile.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      close(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct TransferFigures {
  std::string error;
  long blocks = 0;          // full blocks put on the wire, repeats included
  double block_span_s = 0;  // first to last full block
  double whole_s = 0;       // request typed to transfer done
};

// The receive loop of the session workers and the transfer worker, around
// the program's engine.
TransferFigures run_engine_transfer(const std::string& ns_program, const std::string& ns_radio,
                                    const std::string& dev_radio, const std::filesystem::path& scratch,
                                    const std::string& content) {
  TransferFigures f;
  const std::filesystem::path store = scratch / "store";
  std::filesystem::create_directories(store);
  {
    std::ofstream out(scratch / "fw", std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  test::SimulatorProcess simulator(ns_radio, {"-i", dev_radio, "-s", store.string(), "-q", "-r",
                                              "mac=02:7A:41:00:00:01,name=Sim,level=2"});
  if (!simulator.running()) return {"the radio simulator did not start (" + test::SimulatorProcess::binary_path() + ")"};
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  QuietStdout quiet;
  TimedAdapter* timed = nullptr;
  {
    test::InNamespace in(ns_program);
    if (!in.entered()) return {"could not enter " + ns_program};
    const int id = select_adapter();
    if (id < 0) return {"no usable adapter in " + ns_program};
    // Reopened under a timing wrapper: the engine sends through it as usual.
    auto real = packet_library().open(adapter_table().entries[id].name);
    if (!real) return {"the adapter did not reopen"};
    auto owned = std::make_unique<TimedAdapter>(std::move(real));
    timed = owned.get();
    attach_adapter(std::move(owned));
  }
  if (discover_radios() != 1) return {"the simulator was not found"};
  if (connect_session(1) != 1) return {"the session did not open"};

  renew_session_events();
  set_receive_worker_running(true);
  std::atomic<bool> stop{false};
  std::thread receive([&stop] {
    std::vector<uint8_t> buffer(RX_SLOT_SIZE);
    while (!stop.load() && !session_stopping()) {
      const int n = receive_frame(buffer);
      if (n >= static_cast<int>(FRAME_HEADER_SIZE)) dispatch_frame(buffer.data(), n);
    }
  });
  std::thread transfer([] { run_transfer_worker(1); });

  const std::string command = "download fw fw.out\n";
  const Clock::time_point start = Clock::now();
  bool done = ESend(session_table()[1], reinterpret_cast<const uint8_t*>(command.data()),
                    static_cast<int>(command.size())) == 1;
  if (!done) f.error = "the download request was not acknowledged";
  done = false;
  for (int i = 0; i < TRANSFER_WAIT_S * 10 && !done && f.error.empty() && !g_stop.load(); ++i) {
    done = session_events().transfer_done_event.wait(100);
  }
  f.whole_s = seconds(start, Clock::now());
  if (f.error.empty() && !done) f.error = g_stop.load() ? "interrupted" : "the transfer did not finish";

  stop.store(true);
  wake_all_for_stop();
  interrupt_receive_wait(true);
  receive.join();
  transfer.join();
  interrupt_receive_wait(false);
  set_receive_worker_running(false);
  f.blocks = timed->blocks();
  f.block_span_s = timed->block_span_s();
  close_adapter();

  if (f.error.empty()) {  // the radio stores the file once its last block is in
    const std::filesystem::path stored = store / "Sim" / "fw.out";
    for (int i = 0; i < 100 && read_all(stored).size() != content.size(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (read_all(stored) != content) f.error = "the stored file differs from the one served";
  }
  return f;
}

int run(size_t file_size) {
  test::NamespaceSet::remove_stale({"oxbp-", "oxbr-"});
  const std::string suffix = std::to_string(getpid() % 1000000);
  const std::string ns_program = "oxbp-" + suffix, ns_radio = "oxbr-" + suffix;
  const std::string dev_program = "oxbp" + suffix, dev_radio = "oxbr" + suffix;
  test::NamespaceSet pair({ns_program, ns_radio}, {{ns_program, dev_program, ns_radio, dev_radio}});
  g_namespaces = &pair;
  termination_hooks().exit_process = exit_process;
  if (!pair.create()) {
    std::fprintf(stderr, "the veth pair could not be made\n");
    return 1;
  }

  std::printf("Link: veth pair %s <-> %s, %u CPUs\n\n", dev_program.c_str(), dev_radio.c_str(),
              std::thread::hardware_concurrency());
  const RawFigures raw = run_raw_exchange(ns_program, dev_program, ns_radio, dev_radio, BLOCK_FRAME, ACK_FRAME,
                                          RAW_ROUND_TRIPS, 10.0, g_stop);
  if (!raw.ok) {
    std::fprintf(stderr, "raw exchange: %s\n", raw.error.c_str());
    return 1;
  }
  const double raw_rate = static_cast<double>(raw.round_trips) / raw.seconds;
  std::printf("Raw ceiling (packet sockets, %zu-byte block / %zu-byte ack, stop-and-wait):\n", BLOCK_FRAME,
              ACK_FRAME);
  std::printf("  %ld round trips in %.3f s: %.0f round trips/s, %.1f us each\n", raw.round_trips, raw.seconds,
              raw_rate, 1e6 / raw_rate);
  std::printf("  %.1f MB/s of %zu-byte blocks (%.1f MB/s of %d-byte file blocks), %ld lost\n\n",
              raw_rate * BLOCK_FRAME / 1e6, BLOCK_FRAME, raw_rate * FILE_BLOCK_SIZE / 1e6, FILE_BLOCK_SIZE,
              raw.lost);

  std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path scratch = pattern;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(scratch);  // the engine serves files from here
  std::string content(file_size, '\0');
  uint32_t x = 12345;
  for (char& c : content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  const TransferFigures t = run_engine_transfer(ns_program, ns_radio, dev_radio, scratch, content);
  std::filesystem::current_path(previous);
  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  if (!t.error.empty() || t.blocks < 2 || t.block_span_s <= 0) {
    std::fprintf(stderr, "program transfer: %s\n", t.error.empty() ? "too few blocks to time" : t.error.c_str());
    return 1;
  }

  const long full_blocks = static_cast<long>(file_size / FILE_BLOCK_SIZE);
  const double rate = static_cast<double>(full_blocks - 1) / t.block_span_s;
  const double mbps = rate * FILE_BLOCK_SIZE / 1e6;
  std::printf("Program transfer (engine over libpcap, %d-byte blocks) to the radio simulator:\n", FILE_BLOCK_SIZE);
  std::printf("  %zu bytes, %ld full blocks (%ld sent again), stored file identical\n", file_size, full_blocks,
              t.blocks - full_blocks);
  std::printf("  blocks: %.0f blocks/s, %.1f us each: %.1f MB/s\n", rate, 1e6 / rate, mbps);
  std::printf("  whole transfer, request typed to transfer done: %.3f s, %.1f MB/s\n", t.whole_s,
              static_cast<double>(file_size) / t.whole_s / 1e6);
  std::printf("  ratio to the raw ceiling: %.2f per round trip, %.2f in MB/s (of %zu-byte raw blocks)\n",
              rate / raw_rate, mbps / (raw_rate * BLOCK_FRAME / 1e6), BLOCK_FRAME);
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
