#include "bench/scale_rows.hpp"

#include <chrono>
#include <set>
#include <thread>

#include "base/byte_order.hpp"
#include "batch/batch_runs.hpp"
#include "bench/engine_session.hpp"
#include "bench/netns.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex::bench {

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The simulator's radios have 02:7A:41:00 in front of their number.
const MacAddress SIMULATED_PREFIX{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x00}};

std::vector<std::string> radio_arguments(int radios, const std::string& name_prefix) {
  std::vector<std::string> args;
  for (int i = 1; i <= radios; ++i) {
    args.push_back("-r");
    args.push_back("name=" + name_prefix + std::to_string(i));
  }
  return args;
}

}  // namespace

DiscoveryFigures discover_many(const std::string& ns_program, const std::string& dev_program,
                               const std::string& ns_radio, const std::string& dev_radio, WireCapture& capture,
                               int radios, int program_cpu, int radio_cpu) {
  DiscoveryFigures f;
  f.radios = radios;
  // All answers to a request leave within a few milliseconds, as from that
  // many radios on one segment.
  std::vector<std::string> args = {"-q", "--burst", "-i", dev_radio};
  const auto named = radio_arguments(radios, "Many-");
  args.insert(args.end(), named.begin(), named.end());
  SimulatorProcess simulator(ns_radio, radio_cpu, args);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  if (!simulator.running()) {
    f.error = "orvex-radiosim did not start with " + std::to_string(radios) + " radios";
    return f;
  }
  const MacAddress program_mac = interface_address(ns_program, dev_program);
  capture.keep_from({{program_mac}, {SIMULATED_PREFIX, true}});
  capture.clear();
  pin_to_cpu(program_cpu);
  EngineSession session;
  f.error = session.open(ns_program);
  if (!f.error.empty()) return f;
  const Clock::time_point start = Clock::now();
  f.listed = session.discover();
  f.seconds = since(start);
  std::set<std::array<uint8_t, 6>> addresses;
  for (int i = 1; i <= f.listed && i < MAX_USER_SESSIONS; ++i) addresses.insert(session.sessions()[i].mac.bytes);
  f.distinct = static_cast<int>(addresses.size());
  session.stop();

  int64_t first_request = 0, last_answer = 0;
  for (const Captured& c : capture.take()) {
    if (c.kept < FRAME_HEADER_SIZE || get_be16(c.head.data() + OFFSET_LENGTH) > 1500) continue;
    const uint16_t pdu = get_be16(c.head.data() + OFFSET_PDU);
    if (pdu == PDU_DISCOVERY_REQUEST) {
      ++f.requests;
      if (first_request == 0) first_request = c.ns;
    }
    if (pdu == PDU_IDENTIFY_RESPONSE) {
      ++f.answers;
      last_answer = c.ns;
    }
  }
  if (first_request != 0 && last_answer > first_request) {
    f.last_answer_s = static_cast<double>(last_answer - first_request) / 1e9;
  }
  return f;
}

UpdateFigures update_run(const std::string& ns_program, const std::string& dev_program, const std::string& ns_radio,
                         const std::string& dev_radio, const std::string& store, const std::string& file, int radios,
                         int program_cpu, int radio_cpu) {
  UpdateFigures f;
  f.radios = radios;
  // Each radio: the pause before the connection, the pause after the
  // download, and the pause after the default program is set.
  f.prescribed_s = (2.0 * RADIO_PAUSE_MS + AFTER_DOWNLOAD_MS) / 1000.0;
  std::vector<std::string> args = {"-q", "-i", dev_radio, "-s", store};
  const auto named = radio_arguments(radios, "Upd-");
  args.insert(args.end(), named.begin(), named.end());
  SimulatorProcess simulator(ns_radio, radio_cpu, args);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (!simulator.running()) {
    f.error = "orvex-radiosim did not start";
    return f;
  }
  ChildProcess program(in_namespace_on_cpu(ns_program, program_cpu,
                                           {build_directory() + "/orvexterm", "--exit-status", "-c", dev_program, "-f",
                                            "-u", file + "#main.bin#2#0#0"}),
                       ChildProcess::Output::pipe);
  // Discovery, then every radio's pauses, and room for slow ones.
  const double limit = 10 + radios * (f.prescribed_s + 5);
  const Clock::time_point start = Clock::now();
  std::vector<Clock::time_point> radio_start;
  Clock::time_point report{};
  std::string line;
  while (since(start) < limit && program.read_line(line, limit - since(start))) {
    if (line.rfind("Updating radio ", 0) == 0) radio_start.push_back(Clock::now());
    if (line.find("Download: OK") != std::string::npos) ++f.updated;
    if (line.find("Radio Update Report") != std::string::npos) report = Clock::now();
  }
  const int status = program.wait(5);
  if (status != 0) {
    f.error = status < 0 ? "the update run did not end in time" : "the update run ended with status " +
                                                                       std::to_string(status);
    return f;
  }
  if (report == Clock::time_point{} || static_cast<int>(radio_start.size()) != radios) {
    f.error = "the update run did not go through every radio";
    return f;
  }
  radio_start.push_back(report);
  for (size_t i = 0; i + 1 < radio_start.size(); ++i) {
    const double s = std::chrono::duration<double>(radio_start[i + 1] - radio_start[i]).count();
    f.radio_s.push_back(s);
    f.overhead_ms.push_back((s - f.prescribed_s) * 1000.0);
  }
  return f;
}

}  // namespace orvex::bench
