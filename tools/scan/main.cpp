// orvex-scan: runs the program's discovery exchange on one interface and
// prints the radios that answered, one line each, for scripts and monitoring.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/address_text.hpp"
#include "base/clock.hpp"
#include "base/byte_order.hpp"
#include "base/config.hpp"
#include "base/failure.hpp"
#include "console/console.hpp"
#include "batch/radio_list.hpp"
#include "engine/discover.hpp"
#include "engine/link.hpp"
#include "engine/session_table.hpp"
#include "os/packet_capture.hpp"
#include "os/pcap_capture.hpp"
#include "os/program_path.hpp"
#include "tools/scan/scan_options.hpp"
#include "tools/scan/scan_output.hpp"
#include "ui/console_view.hpp"
#include "ui/help.hpp"
#include "wire/frame.hpp"

namespace orvex::scan {
namespace {

constexpr int FOUND = 0;
constexpr int NONE_FOUND = 1;
constexpr int USAGE_OR_ADAPTER_ERROR = 2;
constexpr uint64_t REQUEST_INTERVAL_MS = 1000;
constexpr int REQUESTS = 3;  // as the program's own discovery sends them

[[noreturn]] void refuse(const std::string& reason) {
  std::fprintf(stderr, "orvex-scan: %s\n", reason.c_str());
  std::fflush(stderr);
  _exit(USAGE_OR_ADAPTER_ERROR);
}

void print_help(std::FILE* out) {
  std::fputs(USAGE, out);
  std::fputs("  -i IFACE   the interface to scan (default: the one usable Ethernet interface)\n"
             "  -t MS      how long to listen for answers, in milliseconds (default 4000)\n"
             "  -v VLAN    send and accept frames tagged with this VLAN id\n"
             "  -n FILE    admit only the radios whose serial numbers the file lists\n"
             "  --json     JSON lines instead of CSV\n"
             "Exit status: 0 radios answered, 1 none did, 2 usage or adapter error.\n",
             out);
}

std::string usable_names(const std::vector<InterfaceInfo>& interfaces) {
  std::string names;
  for (const InterfaceInfo& i : interfaces) names += (names.empty() ? "" : ", ") + i.name;
  return names.empty() ? "none" : names;
}

// The interface named, or the only usable one; refuses otherwise.
InterfaceInfo choose_interface(PacketCapture& capture, const std::string& wanted) {
  std::vector<InterfaceInfo> listed;
  if (!capture.list_interfaces(listed)) {
    refuse("cannot list the interfaces: " + std::string(std::strerror(static_cast<int>(capture.last_error()))));
  }
  std::vector<InterfaceInfo> usable;
  for (const InterfaceInfo& i : listed) {
    if (i.ethernet && i.up && !i.loopback && i.address_known) usable.push_back(i);
  }
  if (!wanted.empty()) {
    for (const InterfaceInfo& i : usable) {
      if (i.name == wanted) return i;
    }
    refuse("no usable Ethernet interface is named " + wanted + "; the usable ones are: " + usable_names(usable));
  }
  if (usable.size() == 1) return usable.front();
  if (usable.empty()) refuse("no usable Ethernet interface (up, not loopback) was found");
  refuse("several Ethernet interfaces (" + usable_names(usable) + "); choose one with -i");
}

void open_interface(Link& link, PacketCapture& capture, const InterfaceInfo& chosen) {
  std::unique_ptr<CaptureHandle> handle = capture.open(chosen.name);
  if (!handle) {
    const int error = static_cast<int>(capture.last_error());
    std::string reason = "cannot open " + chosen.name + ": " + std::strerror(error);
    if (error == EPERM) {
      reason += "; raw Ethernet access needs root or the CAP_NET_RAW capability: install the orvexterm package, "
                "which gives it, or run as root: setcap cap_net_raw+ep " + own_program_path("orvex-scan");
    }
    refuse(reason);
  }
  link.config.local_mac = chosen.address;
  link.io.attach(std::move(handle));
  // The radios of every VLAN the segment carries are listed, each with its tag.
  link.io.take_any_vlan();
  // Frames for other stations stay in the kernel.
  link.io.accept_own_frames_only();
}

// The VLAN id a frame's tag carries; -1 when it has none.
int tag_of(const FrameView& frame) { return frame.tagged ? frame.tag_control & 0x0FFF : -1; }

// Requests at 0, 1 and 2 s (those within the time), answers until the time is up.
std::vector<int> discover(Link& link, SessionTable& table, uint32_t listen_ms) {
  std::vector<int> tags(MAX_USER_SESSIONS, -1);
  Session request = discovery_request();
  Clock& c = link.clock;
  const uint64_t start = c.now_ms();
  int sent = 0;
  int count = 0;
  for (uint64_t elapsed = 0; elapsed < listen_ms; elapsed = c.now_ms() - start) {
    if (sent < REQUESTS && elapsed >= static_cast<uint64_t>(sent) * REQUEST_INTERVAL_MS) {
      send_discovery_request(link, request);
      ++sent;
    }
    // Waits no longer than the time left (and one adapter read).
    FrameView frame;
    const int n = link.io.receive(frame, listen_ms - elapsed);
    if (n < 0) refuse("reading from the interface failed");
    if (n == 0) continue;
    const int before = count;
    accept_discovery_response(link, table, frame, count);
    if (count > before) tags[static_cast<size_t>(count)] = tag_of(frame);
  }
  tags.resize(static_cast<size_t>(count) + 1);
  return tags;
}

ScannedRadio scanned(const Session& s, int node, int tag) {
  ScannedRadio radio;
  radio.node = node;
  radio.name = s.name_text();
  radio.mac = format_mac_text(s.mac);
  radio.serial = format_serial_text(s.mac);
  // The firmware field need not be terminated.
  radio.firmware.assign(s.firmware.data(), strnlen(s.firmware.data(), s.firmware.size()));
  radio.level = s.protocol_level;
  radio.vlan = tag;
  return radio;
}

int run(int argc, char** argv) {
  ScanOptions options;
  const std::string refused = parse_scan_options(argc, argv, options);
  if (!refused.empty()) refuse(refused + " (orvex-scan -h shows the options)");
  if (options.help) {
    print_help(stdout);
    return FOUND;
  }
  if (options.version) {
    std::fputs(version_line("orvex-scan").c_str(), stdout);
    return FOUND;
  }
  // Standard output carries the radios only: whatever the shared code prints
  // (progress, warnings) goes to standard error.
  std::fflush(stdout);
  const int results_fd = dup(STDOUT_FILENO);
  std::FILE* results = results_fd < 0 ? nullptr : fdopen(results_fd, "w");
  if (results == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) refuse("cannot set up standard output");
  Config config;
  config.vlan_id = options.vlan_id;
  config.console = console_of_process();
  View& view = *new ConsoleView(config.console);  // never destroyed: the process ends with the scan
  if (!options.radio_list.empty()) {
    // A bad radio list is a usage error here, told as the program tells it.
    const Failure unread = load_radio_list(config, view, options.radio_list.c_str());
    if (unread != Failure::NONE) {
      std::fputs(failure_message(unread).c_str(), stdout);
      std::fflush(stdout);
      _exit(USAGE_OR_ADAPTER_ERROR);
    }
  }
  // Discovery needs only the link and a table to record the radios in.
  Link& link = *new Link(config, view, *new SystemClock);
  auto& table = *new SessionTable;
  const std::unique_ptr<PacketCapture> capture = make_pcap_capture();
  const InterfaceInfo chosen = choose_interface(*capture, options.interface);
  open_interface(link, *capture, chosen);
  std::fprintf(stderr, "orvex-scan: listening on %s for %u ms\n", chosen.name.c_str(), options.listen_ms);
  const std::vector<int> tags = discover(link, table, options.listen_ms);
  std::fflush(stdout);
  if (tags.size() <= 1) {
    std::fprintf(stderr, "orvex-scan: no radio answered on %s\n", chosen.name.c_str());
    return NONE_FOUND;
  }

  // Nothing at all on standard output when no radio answered.
  if (!options.json) std::fputs(CSV_HEADER, results);
  for (int node = 1; node < static_cast<int>(tags.size()); ++node) {
    const ScannedRadio radio = scanned(table[node], node, tags[static_cast<size_t>(node)]);
    std::fputs((options.json ? json_line(radio) : csv_line(radio)).c_str(), results);
  }
  if (std::fflush(results) != 0) refuse("cannot write the results");
  link.io.close();
  return FOUND;
}

}  // namespace
}  // namespace orvex::scan

int main(int argc, char** argv) { return orvex::scan::run(argc, argv); }
