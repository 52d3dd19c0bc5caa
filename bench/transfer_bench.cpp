// orvex-bench-transfer: the program's file transfer, typed keys, a flooded
// segment, many radios and update runs over several at once, measured on one veth link between two network
// namespaces (names start with oxb, removed on every way out). Prints the
// figures of every round, their medians, the machine, and one goal line per
// goal. Needs root; bench/setup_tftp.sh installs the TFTP pair it compares with.
//   orvex-bench-transfer [--only GROUP[,GROUP...]] [FILE_MIB]   (--help: the groups)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
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

#include "app/termination.hpp"
#include "base/address_text.hpp"
#include "bench/block_figures.hpp"
#include "bench/content_hash.hpp"
#include "bench/engine_session.hpp"
#include "bench/key_latency.hpp"
#include "bench/netns.hpp"
#include "bench/parallel_rows.hpp"
#include "bench/raw_exchange.hpp"
#include "bench/run_options.hpp"
#include "bench/scale_rows.hpp"
#include "bench/tftp_row.hpp"
#include "bench/wire_capture.hpp"
#include "engine/transfer.hpp"
#include "wire/frame.hpp"

namespace orvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t BLOCK_FRAME = FRAME_HEADER_SIZE + FILE_BLOCK_SIZE;  // 1390
constexpr size_t ACK_FRAME = FRAME_HEADER_SIZE;                      // 40
constexpr int ROUNDS = 7;
constexpr int FLOOD_PAIRS = 9;  // each pair is disturbed on its own: the median needs several
constexpr long FLOOD_RATE = 100000;  // frames a second
constexpr int KEYS = 2000;
constexpr int MANY_RADIOS = 1000;
constexpr int UPDATE_RADIOS = 10;
constexpr size_t UPDATE_FILE_SIZE = 32 * 1024;
constexpr double TRANSFER_LIMIT_S = 60;
constexpr double RUN_LIMIT_S = 470;  // the whole run stays under eight minutes
constexpr double GROUP_LIMIT_S = 230;  // no round of a group starts later: each group stays under five minutes
constexpr double TYPING_S = 30;        // the typing session: a key every 100 ms
constexpr int TYPING_INTERVAL_MS = 100;
constexpr int PROGRAM_CPU = 0;       // the program's end: engine threads, orvexterm, tftpd, the raw sender
constexpr int RADIO_CPU = 1;         // the radio's end: the radios, atftp, the raw answerer, the flood
const MacAddress SIMULATED_RADIO{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x01}};

// Goal targets.
constexpr double GOAL_VS_RAW = 0.85;
constexpr double GOAL_VS_TFTP = 1.10;
constexpr double GOAL_TURN_US = 5;
constexpr double GOAL_KEY_US = 50;
constexpr double GOAL_FLOOD_CPU_PERCENT = 5;
constexpr int GOAL_LISTED = 599;
constexpr double GOAL_UPDATE_MS = 100;
constexpr double GOAL_PARALLEL_SPEEDUP = 15;
constexpr double GOAL_599_RADIOS_S = 180;

const Clock::time_point g_start = Clock::now();
bench::NamespaceSet* g_namespaces = nullptr;
std::filesystem::path g_scratch;

void on_signal(int) { stop_flag().store(true); }

double elapsed_s() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The session workers may end the process (a lost radio): the programs
// started and the namespaces go first.
[[noreturn]] void exit_process(int status) {
  ChildProcess::stop_all();
  if (g_namespaces != nullptr) g_namespaces->remove();
  std::error_code ignored;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ignored);
  std::_Exit(status);
}

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
    setvbuf(report, nullptr, _IOLBF, 0);
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

std::string fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string first_line_of(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

double cpu_seconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
}

// One row of one round.
struct RowFigures {
  std::string error;
  BlockFigures blocks;
  double whole_s = 0;
  bool same_file = false;
  long given_up = 0;  // raw rows: waits for an acknowledgement given up (the block sent again)
  double mb_s() const { return blocks.us_per_block > 0 ? FILE_BLOCK_SIZE / blocks.us_per_block : 0; }
};

enum Row { RAW, RAW_POLLING, MINI, SIM, TFTP, ROW_COUNT };
const char* const ROW_NAMES[ROW_COUNT] = {"raw ceiling", "raw ceiling, polling", "program -> minimal radio",
                                          "program -> orvex-radiosim", "tftpd-hpa -> atftp"};

// Everything the rounds share: the link, the capture, the peers and the session.
struct Bench {
  std::string ns_program, ns_radio, dev_program, dev_radio;
  MacAddress program_mac, radio_mac;
  std::filesystem::path scratch;
  std::string content;
  uint64_t content_hash = 0;
  WireCapture capture;
  std::unique_ptr<ChildProcess> mini;  // the minimal radio
  TftpRow tftp;
  bool tftp_ready = false;
  EngineSession session;
  int mini_entry = -1, sim_entry = -1;
  std::FILE* out = stdout;
};

// `wait`: how the sender waits for each acknowledgement.
RowFigures raw_row(Bench& b, RawWait wait) {
  RowFigures r;
  b.capture.clear();
  const Clock::time_point start = Clock::now();
  // As many round trips as the file has blocks: every row is as long and
  // as exposed to the machine's other work.
  const auto round_trips = static_cast<long>((b.content.size() + FILE_BLOCK_SIZE - 1) / FILE_BLOCK_SIZE);
  const RawFigures raw = run_raw_exchange(b.ns_program, b.dev_program, b.ns_radio, b.dev_radio, BLOCK_FRAME,
                                          ACK_FRAME, round_trips, 30.0, RawPlacement{PROGRAM_CPU, RADIO_CPU}, wait,
                                          stop_flag());
  r.whole_s = since(start);
  if (!raw.ok) r.error = stop_flag().load() ? "interrupted" : raw.error;
  r.given_up = raw.lost;
  r.blocks = analyse_blocks(b.capture.take(), Exchange::raw, b.program_mac);
  r.same_file = true;
  return r;
}

// `cpu_s`, when given, gets the process's CPU time from the request to the
// radio's last word.
RowFigures mini_row(Bench& b, double* cpu_s = nullptr) {
  RowFigures r;
  r.error = b.session.use(b.mini_entry);
  if (!r.error.empty()) return r;
  b.capture.clear();
  const double cpu_before = cpu_seconds();
  const Clock::time_point start = Clock::now();
  std::string line;
  b.mini->write_line("get fw");
  // Its answer ends in "done" or "failed"; a connection it took on the way is passed over.
  bool answered = false;
  while (!answered && b.mini->read_line(line, TRANSFER_LIMIT_S)) {
    answered = line.rfind("done ", 0) == 0 || line.rfind("failed ", 0) == 0;
  }
  if (!answered) line = "failed no answer from the minimal radio";
  r.whole_s = since(start);
  if (cpu_s != nullptr) *cpu_s = cpu_seconds() - cpu_before;
  b.session.wait_transfer_done(5);
  r.blocks = analyse_blocks(b.capture.take(), Exchange::orvex, b.program_mac);
  unsigned long long bytes = 0, blocks = 0, hash = 0;
  if (std::sscanf(line.c_str(), "done %llu %llu %llx", &bytes, &blocks, &hash) != 3) {
    r.error = line;
    return r;
  }
  r.same_file = bytes == b.content.size() && hash == b.content_hash;
  return r;
}

// The simulator runs for its own rows only: it takes every frame of the link
// (promiscuous) and would wake for those of the other rows. Its entry in the
// program's table stays; a connection request needs no new discovery.
std::unique_ptr<SimulatorProcess> start_simulator(const Bench& b) {
  auto simulator = std::make_unique<SimulatorProcess>(
      b.ns_radio, RADIO_CPU,
      std::vector<std::string>{"-i", b.dev_radio, "-s", (b.scratch / "store").string(), "-q", "-r",
                               "mac=" + std::string(format_mac_text(SIMULATED_RADIO)) + ",name=Sim,level=2"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return simulator;
}

RowFigures sim_row(Bench& b, int round) {
  RowFigures r;
  const auto simulator = start_simulator(b);
  r.error = simulator->running() ? b.session.use(b.sim_entry) : "orvex-radiosim did not start";
  if (!r.error.empty()) return r;
  const std::string destination = "fw" + std::to_string(round) + ".out";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the radio's greeting is taken first
  b.capture.clear();
  const Clock::time_point start = Clock::now();
  if (!b.session.type_line("download fw " + destination + "\n")) {
    r.error = "the download request was not acknowledged";
  } else if (!b.session.wait_transfer_done(TRANSFER_LIMIT_S)) {
    r.error = stop_flag().load() ? "interrupted" : "the transfer did not finish";
  }
  r.whole_s = since(start);
  r.blocks = analyse_blocks(b.capture.take(), Exchange::orvex, b.program_mac);
  const std::filesystem::path stored = b.scratch / "store" / "Sim" / destination;
  for (int i = 0; i < 100 && r.error.empty() && read_all(stored).size() != b.content.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  r.same_file = read_all(stored) == b.content;
  std::error_code ignored;
  std::filesystem::remove(stored, ignored);
  return r;
}

RowFigures tftp_row(Bench& b) {
  RowFigures r;
  const std::filesystem::path local = b.scratch / "tftp.out";
  std::error_code ignored;
  std::filesystem::remove(local, ignored);
  b.capture.clear();
  const Clock::time_point start = Clock::now();
  r.error = b.tftp.fetch("fw", local.string());
  r.whole_s = since(start);
  r.blocks = analyse_blocks(b.capture.take(), Exchange::tftp, b.program_mac);
  r.same_file = read_all(local) == b.content;
  return r;
}

void print_row_header(std::FILE* out) {
  std::fprintf(out, "  %-27s %9s %7s %8s %8s %8s %6s %8s  %s\n", "row", "us/block", "MB/s", "rtt p50", "turn p50",
               "turn p99", "resent", "whole s", "file");
}

void print_row(std::FILE* out, const char* name, const RowFigures& r) {
  if (!r.error.empty()) {
    std::fprintf(out, "  %-27s failed: %s\n", name, r.error.c_str());
    return;
  }
  std::fprintf(out, "  %-27s %9.1f %7.1f %8.1f %8.1f %8.1f %6ld %8.3f  %s\n", name, r.blocks.us_per_block, r.mb_s(),
               median(r.blocks.gaps_us), median(r.blocks.turns_us), percentile(r.blocks.turns_us, 0.99),
               r.blocks.resent, r.whole_s, r.same_file ? "same" : "DIFFERS");
  if (r.given_up > 0) {
    std::fprintf(out, "  %-27s (%ld waits for an acknowledgement given up after 200 ms)\n", "", r.given_up);
  }
}

struct Collected {
  std::vector<double> us[ROW_COUNT], mb[ROW_COUNT], rtt50[ROW_COUNT], turn50[ROW_COUNT], turn99[ROW_COUNT];
  long resent[ROW_COUNT] = {};
  // program/raw against the faster raw row of each round, and against each alone
  std::vector<double> vs_raw, vs_each_raw[2], vs_tftp;
  int ceiling_rounds[2] = {};  // rounds in which RAW, RAW_POLLING was the faster
  bool files_same = true;
};

bool measured(const RowFigures& r) { return r.error.empty() && r.blocks.us_per_block > 0; }

// Which raw row the program was judged against, over the rounds.
std::string ceiling_used(const Collected& c) {
  const int rounds = c.ceiling_rounds[RAW] + c.ceiling_rounds[RAW_POLLING];
  for (int row : {RAW, RAW_POLLING}) {
    if (c.ceiling_rounds[row] == rounds) {
      return std::string(ROW_NAMES[row]) + " (the faster raw row in " + std::to_string(rounds) + " of " +
             std::to_string(rounds) + " rounds)";
    }
  }
  return "the faster raw row of each round: " + std::string(ROW_NAMES[RAW_POLLING]) + " in " +
         std::to_string(c.ceiling_rounds[RAW_POLLING]) + ", " + ROW_NAMES[RAW] + " in " +
         std::to_string(c.ceiling_rounds[RAW]);
}

void run_rounds(Bench& b, Collected& c) {
  std::FILE* out = b.out;
  const Clock::time_point group_start = Clock::now();
  for (int round = 1; round <= ROUNDS && !stop_flag().load(); ++round) {
    if (elapsed_s() > RUN_LIMIT_S - 300 || since(group_start) > GROUP_LIMIT_S) {
      std::fprintf(out, "(rounds %d to %d left out: the run's time is running out)\n", round, ROUNDS);
      break;
    }
    RowFigures rows[ROW_COUNT];
    rows[RAW] = raw_row(b, RawWait::sleeping);
    rows[RAW_POLLING] = raw_row(b, RawWait::polling);
    rows[MINI] = mini_row(b);
    rows[SIM] = sim_row(b, round);
    if (b.tftp_ready) rows[TFTP] = tftp_row(b);
    std::fprintf(out, "round %d\n", round);
    print_row_header(out);
    for (int row = 0; row < ROW_COUNT; ++row) {
      if (row == TFTP && !b.tftp_ready) continue;
      print_row(out, ROW_NAMES[row], rows[row]);
      if (!measured(rows[row])) continue;
      c.us[row].push_back(rows[row].blocks.us_per_block);
      c.mb[row].push_back(rows[row].mb_s());
      c.rtt50[row].push_back(median(rows[row].blocks.gaps_us));
      c.turn50[row].push_back(median(rows[row].blocks.turns_us));
      c.turn99[row].push_back(percentile(rows[row].blocks.turns_us, 0.99));
      c.resent[row] += rows[row].blocks.resent;
      c.files_same = c.files_same && rows[row].same_file;
    }
    const double mini = measured(rows[MINI]) ? rows[MINI].blocks.us_per_block : 0;
    std::string ratios;
    // The ceiling is whichever raw row was faster in this round: the program
    // is judged against the better of a sleeping and a polling exchange.
    int ceiling = -1;
    for (int row : {RAW, RAW_POLLING}) {
      if (!measured(rows[row])) continue;
      if (mini > 0) c.vs_each_raw[row].push_back(rows[row].blocks.us_per_block / mini);
      if (ceiling < 0 || rows[row].blocks.us_per_block < rows[ceiling].blocks.us_per_block) ceiling = row;
    }
    if (mini > 0 && ceiling >= 0) {
      c.vs_raw.push_back(rows[ceiling].blocks.us_per_block / mini);
      ++c.ceiling_rounds[ceiling];
      ratios += "program/raw " + fixed(c.vs_raw.back(), 2) + " (against " + ROW_NAMES[ceiling] + ")";
    }
    if (mini > 0 && b.tftp_ready && measured(rows[TFTP])) {
      c.vs_tftp.push_back(rows[TFTP].blocks.us_per_block / mini);
      ratios += (ratios.empty() ? "" : ", ") + std::string("program/TFTP ") + fixed(c.vs_tftp.back(), 2);
    }
    std::fprintf(out, "  ratios (minimal radio, in MB/s): %s\n", ratios.empty() ? "none" : ratios.c_str());
  }
  std::fprintf(out, "\nmedians over the rounds\n");
  std::fprintf(out, "  %-27s %9s %7s %8s %8s %8s %6s\n", "row", "us/block", "MB/s", "rtt p50", "turn p50", "turn p99",
               "resent");
  for (int row = 0; row < ROW_COUNT; ++row) {
    if (c.us[row].empty()) continue;
    std::fprintf(out, "  %-27s %9.1f %7.1f %8.1f %8.1f %8.1f %6ld\n", ROW_NAMES[row], median(c.us[row]),
                 median(c.mb[row]), median(c.rtt50[row]), median(c.turn50[row]), median(c.turn99[row]), c.resent[row]);
  }
  const auto ratio = [](const std::vector<double>& v) { return v.empty() ? "not measured" : fixed(median(v), 2); };
  std::fprintf(out, "  program/raw %s (against the faster raw row of each round; against %s alone %s, against %s alone "
                    "%s),\n  program/TFTP %s (medians of the rounds' ratios); files: %s\n",
               ratio(c.vs_raw).c_str(), ROW_NAMES[RAW], ratio(c.vs_each_raw[RAW]).c_str(), ROW_NAMES[RAW_POLLING],
               ratio(c.vs_each_raw[RAW_POLLING]).c_str(), ratio(c.vs_tftp).c_str(),
               c.files_same ? "all the same as the one served" : "SOME DIFFER");
}

// One transfer to the minimal radio with the process's CPU time over it.
struct CpuRound {
  RowFigures row;
  double cpu_s = 0;
  double flood_rate = 0;
};

CpuRound timed_transfer(Bench& b, bool flood) {
  CpuRound r;
  std::unique_ptr<ChildProcess> flooder;
  if (flood) {
    flooder = std::make_unique<ChildProcess>(
        in_namespace_on_cpu(b.ns_radio, RADIO_CPU,
                            {bench_directory() + "/orvex-bench-flood", b.dev_radio, std::to_string(FLOOD_RATE), "60",
                             format_mac_text(b.program_mac)}),
        ChildProcess::Output::pipe);
    std::string line;
    if (!flooder->read_line(line, 5) || line != "flooding") {
      r.row.error = "the flood did not start";
      return r;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the flood runs before the transfer begins
  }
  r.row = mini_row(b, &r.cpu_s);
  if (flooder) {
    flooder->signal(SIGTERM);
    std::string line;
    double sent = 0, seconds = 0;
    if (flooder->read_line(line, 5) && std::sscanf(line.c_str(), "sent %lf in %lf", &sent, &seconds) == 2 &&
        seconds > 0) {
      r.flood_rate = sent / seconds;
    }
  }
  return r;
}

struct FloodFigures {
  std::vector<double> extra_percent;
};

FloodFigures run_flood(Bench& b) {
  FloodFigures f;
  std::FILE* out = b.out;
  std::fprintf(out, "\nflooded segment: orvex-bench-flood offers %ld frames/s on the radio's end (CPU %d): other "
                    "EtherTypes, other SNAP headers,\nother destinations, and the protocol's SNAP header between other "
                    "stations; the same transfer to the minimal radio without and with it.\n"
                    "CPU: the benchmark process (the program's engine threads; nothing else of it runs meanwhile), "
                    "getrusage.\n",
               FLOOD_RATE, RADIO_CPU);
  std::fprintf(out, "  %4s %10s %10s %8s %8s %8s %8s %10s %12s\n", "pair", "quiet MB/s", "flood MB/s", "quiet ms",
               "flood ms", "quiet %", "flood %", "extra %", "flood fps");
  const Clock::time_point group_start = Clock::now();
  for (int pair = 1; pair <= FLOOD_PAIRS && !stop_flag().load(); ++pair) {
    if (since(group_start) > GROUP_LIMIT_S) {
      std::fprintf(out, "  (pairs %d to %d left out: the group's time is running out)\n", pair, FLOOD_PAIRS);
      break;
    }
    const CpuRound quiet = timed_transfer(b, false);
    const CpuRound flooded = timed_transfer(b, true);
    if (!quiet.row.error.empty() || !flooded.row.error.empty()) {
      std::fprintf(out, "  %4d failed: %s\n", pair, (quiet.row.error + " " + flooded.row.error).c_str());
      continue;
    }
    const double quiet_pct = 100 * quiet.cpu_s / quiet.row.whole_s;
    const double flood_pct = 100 * flooded.cpu_s / flooded.row.whole_s;
    // What the flood adds, in the share of one CPU over the flooded transfer.
    const double extra = 100 * (flooded.cpu_s - quiet.cpu_s) / flooded.row.whole_s;
    f.extra_percent.push_back(extra);
    std::fprintf(out, "  %4d %10.1f %10.1f %8.1f %8.1f %8.1f %8.1f %10.1f %12.0f\n", pair, quiet.row.mb_s(),
                 flooded.row.mb_s(), quiet.cpu_s * 1000, flooded.cpu_s * 1000, quiet_pct, flood_pct, extra,
                 flooded.flood_rate);
  }
  std::fprintf(out, "  extra %%: (CPU time flooded - CPU time quiet) / the flooded transfer's time\n");
  return f;
}

// The raw rows once each, for the keys' comparison, when no rounds ran.
void measure_raw_rows(Bench& b, Collected& c) {
  b.capture.keep_from({{b.program_mac}, {b.radio_mac}});
  for (int row : {RAW, RAW_POLLING}) {
    const RowFigures r = raw_row(b, row == RAW ? RawWait::sleeping : RawWait::polling);
    if (!measured(r)) continue;
    c.us[row].push_back(r.blocks.us_per_block);
    c.rtt50[row].push_back(median(r.blocks.gaps_us));
  }
}

// `raw_from`: where the raw figures come from.
void print_keys(std::FILE* out, const KeyFigures& k, const Collected& raw, const char* raw_from) {
  std::fprintf(out, "\ntyped keys: build/orvexterm under a pseudo-terminal (CPU %d) with the minimal radio echoing (CPU "
                    "%d), the terminal side on CPU %d;\nwire times from the capture on the program's interface, "
                    "terminal times from the pseudo-terminal's master\n",
               PROGRAM_CPU, RADIO_CPU, RADIO_CPU);
  if (!k.error.empty()) {
    std::fprintf(out, "  failed: %s\n", k.error.c_str());
    return;
  }
  std::fprintf(out, "  %d keys typed, %d echoed, %zu and %zu matched on the wire\n", k.typed, k.echoed,
               k.key_to_frame_us.size(), k.echo_to_terminal_us.size());
  const auto show = [out](const char* what, const std::vector<double>& v) {
    std::fprintf(out, "  %-36s p50 %8.1f us   p99 %8.1f us\n", what, median(v), percentile(v, 0.99));
  };
  show("key to its data frame on the wire", k.key_to_frame_us);
  show("echo frame on the wire to terminal", k.echo_to_terminal_us);
  show("key to its echo at the terminal", k.key_to_echo_us);
  std::fprintf(out, "  raw round trip for comparison (%s):\n", raw_from);
  for (int row : {RAW, RAW_POLLING}) {
    if (raw.us[row].empty()) {
      std::fprintf(out, "    %-22s not measured\n", ROW_NAMES[row]);
    } else {
      std::fprintf(out, "    %-22s rtt p50 %.1f us, us/block %.1f\n", ROW_NAMES[row], median(raw.rtt50[row]),
                   median(raw.us[row]));
    }
  }
  const TypingFigures& t = k.typing;
  if (!t.error.empty()) {
    std::fprintf(out, "typing session: failed: %s\n", t.error.c_str());
  } else {
    std::fprintf(out, "typing session: program CPU %.0f ms over %.0f s (%.2f %% of one CPU); %d keys, one every %d ms, "
                      "%d echoed\n",
                 t.cpu_s * 1000, t.seconds, t.seconds > 0 ? 100 * t.cpu_s / t.seconds : 0.0, t.typed,
                 TYPING_INTERVAL_MS, t.echoed);
  }
}

void goal(std::FILE* out, const char* name, const std::string& value, const std::string& target, bool met) {
  std::fprintf(out, "goal %s: %s (target %s) %s\n", name, value.c_str(), target.c_str(), met ? "met" : "not met");
}

void print_machine(std::FILE* out) {
  utsname u{};
  uname(&u);
  std::fprintf(out, "machine: %s, %ld CPUs online, %s %s\n", first_line_of("/proc/cpuinfo", "model name").c_str(),
               sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release);
}

int run(size_t file_size, unsigned groups) {
  bench::NamespaceSet::remove_stale({"oxbp-", "oxbr-"});
  const std::string suffix = std::to_string(getpid() % 1000000);
  Bench b;
  b.ns_program = "oxbp-" + suffix;
  b.ns_radio = "oxbr-" + suffix;
  b.dev_program = "oxbp" + suffix;
  b.dev_radio = "oxbr" + suffix;
  bench::NamespaceSet pair({b.ns_program, b.ns_radio}, {{b.ns_program, b.dev_program, b.ns_radio, b.dev_radio}});
  g_namespaces = &pair;
  b.session.termination().exit_process = exit_process;
  if (!pair.create()) {
    std::fprintf(stderr, "the veth pair could not be made\n");
    return 1;
  }
  b.program_mac = interface_address(b.ns_program, b.dev_program);
  b.radio_mac = interface_address(b.ns_radio, b.dev_radio);

  std::string pattern = (std::filesystem::temp_directory_path() / "orvex-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  b.scratch = pattern;
  g_scratch = b.scratch;
  const std::filesystem::path previous = std::filesystem::current_path();
  struct ScratchGuard {  // removed on every way out of here
    std::filesystem::path back_to;
    ~ScratchGuard() {
      std::error_code ignored;
      std::filesystem::current_path(back_to, ignored);
      std::filesystem::remove_all(g_scratch, ignored);
      g_scratch.clear();
    }
  } scratch_guard{previous};
  std::filesystem::current_path(b.scratch);  // the engine serves files from here
  b.content.assign(file_size, '\0');
  uint32_t x = 12345;
  for (char& c : b.content) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  ContentHash hash;
  hash.add(reinterpret_cast<const uint8_t*>(b.content.data()), b.content.size());
  b.content_hash = hash.value();
  {
    std::ofstream(b.scratch / "fw", std::ios::binary).write(b.content.data(), static_cast<std::streamsize>(file_size));
    std::ofstream(b.scratch / "up.bin", std::ios::binary).write(b.content.data(), UPDATE_FILE_SIZE);
  }
  chmod((b.scratch / "fw").c_str(), 0644);  // the TFTP server serves only files anyone may read
  std::filesystem::create_directories(b.scratch / "store");
  std::filesystem::create_directories(b.scratch / "store-update");

  QuietStdout quiet;
  std::FILE* out = b.out = quiet.report;
  pin_to_cpu(PROGRAM_CPU);  // the engine's threads, started later, stay there too
  print_machine(out);
  std::fprintf(out, "groups: %s%s\n", group_names(groups).c_str(), groups == ALL_GROUPS ? " (all)" : "");
  if ((groups & (GROUP_TRANSFER | GROUP_FLOOD)) != 0) {
    std::fprintf(out, "link: veth pair %s <-> %s; file %zu bytes (%zu blocks of %d); %d rounds, rows alternating\n",
                 b.dev_program.c_str(), b.dev_radio.c_str(), file_size,
                 (file_size + FILE_BLOCK_SIZE - 1) / FILE_BLOCK_SIZE, FILE_BLOCK_SIZE, ROUNDS);
  } else {
    std::fprintf(out, "link: veth pair %s <-> %s\n", b.dev_program.c_str(), b.dev_radio.c_str());
  }
  std::fprintf(out, "placement (sched_setaffinity for the benchmark's threads, taskset for the programs it starts):\n"
                    "  CPU %d: the program's end (the engine's threads, orvexterm, in.tftpd, the raw sender)\n"
                    "  CPU %d: the radio's end (orvex-bench-radio, orvex-radiosim, atftp, the raw answerer, the flood)\n",
               PROGRAM_CPU, RADIO_CPU);
  std::fprintf(out, "times: kernel time stamps on the program's interface (a packet ring, read between rounds); "
                    "us/block from the first to the last block,\n  rtt p50 = the median time from one block to the "
                    "next, turn = an acknowledgement's arrival to the next block's departure;\n  MB/s counts the %d "
                    "payload bytes of a block in every row\n",
               FILE_BLOCK_SIZE);

  int status = 0;
  const bool transfer = (groups & GROUP_TRANSFER) != 0;
  Collected collected;
  FloodFigures flood;
  KeyFigures keys;
  keys.error = "not measured";
  DiscoveryFigures many;
  many.error = "not measured";
  UpdateFigures update;
  update.error = "not measured";
  const std::string opened = b.capture.open(b.ns_program, b.dev_program);
  if (!opened.empty()) {
    std::fprintf(stderr, "capture: %s\n", opened.c_str());
    return 1;
  }
  if ((groups & (GROUP_TRANSFER | GROUP_FLOOD)) != 0) {
    b.capture.keep_from({{b.program_mac}, {b.radio_mac}, {SIMULATED_RADIO}});
    b.mini = std::make_unique<ChildProcess>(
        in_namespace_on_cpu(b.ns_radio, RADIO_CPU, {bench_directory() + "/orvex-bench-radio", b.dev_radio}),
        ChildProcess::Output::pipe, true);
    // The simulator is found by the discovery for its own rows only.
    std::unique_ptr<SimulatorProcess> simulator;
    if (transfer) simulator = start_simulator(b);
    std::string line, error;
    if (!b.mini->read_line(line, 5) || line != "ready") error = "the minimal radio did not start";
    if (error.empty() && simulator && !simulator->running()) error = "orvex-radiosim did not start";
    if (error.empty()) error = b.session.open(b.ns_program);
    if (error.empty()) {
      b.session.discover();
      b.mini_entry = b.session.entry_of(b.radio_mac);
      b.sim_entry = b.session.entry_of(SIMULATED_RADIO);
      if (b.mini_entry < 0 || (transfer && b.sim_entry < 0)) error = "discovery did not find the radios";
    }
    if (simulator) simulator->stop();
    const std::string tftp_missing = TftpRow::missing();
    if (error.empty() && transfer && tftp_missing.empty()) {
      const std::string started = b.tftp.start(b.ns_program, b.dev_program, PROGRAM_CPU, b.ns_radio, b.dev_radio,
                                               RADIO_CPU, b.scratch.string());
      b.tftp_ready = started.empty();
      if (!b.tftp_ready) std::fprintf(out, "TFTP row skipped: %s\n", started.c_str());
    } else if (error.empty() && transfer) {
      std::fprintf(out, "TFTP row skipped: %s\n", tftp_missing.c_str());
    }
    if (!error.empty()) {
      std::fprintf(stderr, "set-up: %s\n", error.c_str());
      status = 1;
    }
    std::fprintf(out, "\n");
    if (status == 0 && transfer) run_rounds(b, collected);
    if (status == 0 && (groups & GROUP_FLOOD) != 0 && !stop_flag().load()) flood = run_flood(b);
    b.session.stop();
    b.mini.reset();
    b.tftp.stop();
  }
  if ((groups & GROUP_KEYS) != 0 && status == 0 && !stop_flag().load() && elapsed_s() < RUN_LIMIT_S - 240) {
    const bool rounds_ran = !collected.us[RAW].empty() || !collected.us[RAW_POLLING].empty();
    if (!rounds_ran) measure_raw_rows(b, collected);
    keys = measure_keys(b.ns_program, b.dev_program, b.ns_radio, b.dev_radio, b.capture, KEYS,
                        KeyPlacement{PROGRAM_CPU, RADIO_CPU, RADIO_CPU}, TYPING_S, TYPING_INTERVAL_MS);
    pin_to_cpu(PROGRAM_CPU);
    print_keys(out, keys, collected, rounds_ran ? "medians of the rounds" : "one exchange of each before the keys");
  }
  if ((groups & GROUP_SCALE) != 0 && status == 0 && !stop_flag().load() && elapsed_s() < RUN_LIMIT_S - 150) {
    many = discover_many(b.ns_program, b.dev_program, b.ns_radio, b.dev_radio, b.capture, MANY_RADIOS, PROGRAM_CPU,
                         RADIO_CPU);
    std::fprintf(out, "\ndiscovery with %d radios answering at once (orvex-radiosim on one interface, the program's "
                      "engine):\n", MANY_RADIOS);
    if (many.error.empty()) {
      std::fprintf(out, "  %d listed (%d distinct addresses); %ld requests and %ld identify responses on the wire, the "
                        "last response %.2f s after the first request;\n  discovery took %.2f s (it listens until its "
                        "whole-second clock has moved on 4 times, looking at it between reads of up to 1 s)\n",
                   many.listed, many.distinct, many.requests, many.answers, many.last_answer_s, many.seconds);
    } else {
      std::fprintf(out, "  failed: %s\n", many.error.c_str());
    }
  }
  if ((groups & GROUP_BATCH) != 0 && status == 0 && !stop_flag().load() && elapsed_s() < RUN_LIMIT_S - 120) {
    update = update_run(b.ns_program, b.dev_program, b.ns_radio, b.dev_radio, (b.scratch / "store-update").string(),
                        "up.bin", UPDATE_RADIOS, PROGRAM_CPU, RADIO_CPU);
    std::fprintf(out, "\nupdate run: build/orvexterm -u up.bin#main.bin#2#0#0 (%zu bytes) over %d simulated radios; the "
                      "run prescribes %.1f s a radio\n  (pause before connecting, after the download, after sdp)\n",
                 UPDATE_FILE_SIZE, UPDATE_RADIOS, update.prescribed_s);
    if (update.error.empty()) {
      std::string per_radio;
      for (double ms : update.overhead_ms) per_radio += " " + fixed(ms, 0);
      std::fprintf(out, "  %d of %d updated; beyond the pauses, ms per radio:%s\n  median %.0f ms, largest %.0f ms\n",
                   update.updated, update.radios, per_radio.c_str(), median(update.overhead_ms),
                   *std::max_element(update.overhead_ms.begin(), update.overhead_ms.end()));
    } else {
      std::fprintf(out, "  failed: %s\n", update.error.c_str());
    }
  }
  ParallelFigures parallel;
  if ((groups & GROUP_PARALLEL) != 0 && status == 0 && !stop_flag().load()) {
    parallel = run_parallel_rows({b.ns_program, b.dev_program, b.ns_radio, b.dev_radio, PROGRAM_CPU, RADIO_CPU,
                                  b.scratch.string()},
                                 b.capture, out);
  }
  if (stop_flag().load()) {
    std::fprintf(stderr, "interrupted\n");
    status = 1;
  }
  std::fprintf(out, "\ncapture: %llu frames dropped by the kernel for want of room\n",
               static_cast<unsigned long long>(b.capture.dropped()));
  std::fprintf(out, "run time: %.0f s\n\n", elapsed_s());
  print_machine(out);

  // The goals of the groups run, from the medians of this run.
  if (transfer) {
    const bool rounds = !collected.vs_raw.empty();
    if (rounds) std::fprintf(out, "ratio program/raw uses: %s\n", ceiling_used(collected).c_str());
    goal(out, "program_to_minimal_radio_vs_raw", rounds ? fixed(median(collected.vs_raw), 2) : "not measured",
         ">= " + fixed(GOAL_VS_RAW, 2), rounds && median(collected.vs_raw) >= GOAL_VS_RAW);
    const bool tftp = !collected.vs_tftp.empty();
    goal(out, "program_vs_tftpd_hpa_blksize_1350", tftp ? fixed(median(collected.vs_tftp), 2) : "not measured",
         ">= " + fixed(GOAL_VS_TFTP, 2), tftp && median(collected.vs_tftp) >= GOAL_VS_TFTP);
    const bool turns = !collected.turn50[MINI].empty();
    goal(out, "program_turnaround_p50", turns ? fixed(median(collected.turn50[MINI]), 1) + " us" : "not measured",
         "<= " + fixed(GOAL_TURN_US, 0) + " us", turns && median(collected.turn50[MINI]) <= GOAL_TURN_US);
  }
  if ((groups & GROUP_KEYS) != 0) {
    const bool key_frames = keys.error.empty() && !keys.key_to_frame_us.empty();
    goal(out, "key_to_frame_p50", key_frames ? fixed(median(keys.key_to_frame_us), 1) + " us" : "not measured",
         "<= " + fixed(GOAL_KEY_US, 0) + " us", key_frames && median(keys.key_to_frame_us) <= GOAL_KEY_US);
    const bool echoes = keys.error.empty() && !keys.echo_to_terminal_us.empty();
    goal(out, "echo_frame_to_terminal_p50",
         echoes ? fixed(median(keys.echo_to_terminal_us), 1) + " us" : "not measured",
         "<= " + fixed(GOAL_KEY_US, 0) + " us", echoes && median(keys.echo_to_terminal_us) <= GOAL_KEY_US);
  }
  if ((groups & GROUP_FLOOD) != 0) {
    const bool flooded = !flood.extra_percent.empty();
    goal(out, "flood_extra_cpu", flooded ? fixed(median(flood.extra_percent), 1) + " % of one CPU" : "not measured",
         "< " + fixed(GOAL_FLOOD_CPU_PERCENT, 0) + " %",
         flooded && median(flood.extra_percent) < GOAL_FLOOD_CPU_PERCENT);
  }
  if ((groups & GROUP_SCALE) != 0) {
    goal(out, "discovery_of_1000_lists", many.error.empty() ? std::to_string(many.listed) : "not measured",
         std::to_string(GOAL_LISTED), many.error.empty() && many.listed == GOAL_LISTED && many.distinct == GOAL_LISTED);
  }
  if ((groups & GROUP_BATCH) != 0) {
    const bool updated = update.error.empty() && !update.overhead_ms.empty();
    goal(out, "update_run_overhead_per_radio", updated ? fixed(median(update.overhead_ms), 0) + " ms" : "not measured",
         "<= " + fixed(GOAL_UPDATE_MS, 0) + " ms", updated && median(update.overhead_ms) <= GOAL_UPDATE_MS);
  }
  if ((groups & GROUP_PARALLEL) != 0) {
    const double speedup = parallel.speedup();
    goal(out, "parallel_update_speedup", speedup > 0 ? fixed(speedup, 1) : "not measured",
         fixed(GOAL_PARALLEL_SPEEDUP, 0), speedup >= GOAL_PARALLEL_SPEEDUP);
    const BatchRun& most = parallel.all_599;
    goal(out, "update_599_radios_s", most.error.empty() ? fixed(most.wall_s, 1) : "not measured",
         fixed(GOAL_599_RADIOS_S, 0), most.error.empty() && most.wall_s <= GOAL_599_RADIOS_S);
  }
  std::fprintf(out, "(figures from a shared or busy machine are disturbed: judge the goals on a quiet one)\n");

  return status;
}

}  // namespace
}  // namespace orvex::bench

int main(int argc, char** argv) {
  const orvex::bench::RunOptions options = orvex::bench::parse_run_options(argc, argv);
  if (options.help) {
    std::fputs(orvex::bench::usage_text(argv[0]).c_str(), stdout);
    return 0;
  }
  if (!options.error.empty()) {
    const std::string usage = orvex::bench::usage_text(argv[0]);
    std::fprintf(stderr, "%s: %s\n%s  (--help: the groups)\n", argv[0], options.error.c_str(),
                 usage.substr(0, usage.find('\n')).c_str());
    return 2;
  }
  if (geteuid() != 0) {
    std::fprintf(stderr, "%s needs root (network namespaces and raw frames)\n", argv[0]);
    return 1;
  }
  std::signal(SIGINT, orvex::bench::on_signal);
  std::signal(SIGTERM, orvex::bench::on_signal);
  // The engine's keyboard worker reads standard input: nothing may reach a
  // radio from there. A pipe with no writer ends at once, whatever the machine.
  int no_input[2];
  if (pipe(no_input) != 0 || dup2(no_input[0], STDIN_FILENO) < 0) return 1;
  close(no_input[0]);
  close(no_input[1]);
  // Held until the process ends; a second run is refused, never queued.
  orvex::bench::RunLock lock;
  const std::string locked = lock.take();
  if (!locked.empty()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], locked.c_str());
    return 1;
  }
  return orvex::bench::run(static_cast<size_t>(options.file_mib) << 20, options.groups);
}
