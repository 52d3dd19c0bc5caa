// orvex-radiosim: plays radios of the OrvexTerm link protocol on an Ethernet
// interface. One thread: a poll over the raw socket and a signal descriptor,
// with the radios' retransmission times as the poll time-out.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/address_text.hpp"
#include "os/program_path.hpp"
#include "tools/radiosim/link_faults.hpp"
#include "tools/radiosim/radio.hpp"
#include "tools/radiosim/radio_frames.hpp"
#include "tools/radiosim/raw_socket.hpp"
#include "tools/radiosim/sim_log.hpp"
#include "ui/help.hpp"

namespace {

using namespace orvex::sim;

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool is_directory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The text of a frame's fate on a radio's wire, for the log; empty when it passed.
const char* fate_text(WireFate fate) {
  switch (fate) {
    case WireFate::lost: return "lost";
    case WireFate::doubled: return "doubled";
    case WireFate::held: return "held back";
    default: return "";
  }
}

// Downloads go to DIR/NAME/FILE, written under a temporary name first so that a
// reader never sees half a file.
FileStore make_store(const std::string& dir) {
  return [dir](const std::string& radio, const std::string& file, std::span<const uint8_t> data) {
    const std::string radio_dir = dir + "/" + radio;
    if (::mkdir(radio_dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    const std::string path = radio_dir + "/" + file;
    const std::string part = radio_dir + "/." + file + ".part";
    std::FILE* f = std::fopen(part.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
      std::remove(part.c_str());
      return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
  };
}

int fail(const std::string& text) {
  std::fprintf(stderr, "orvex-radiosim: %s\n", text.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = parse_sim_options(argc, argv);
  if (parsed.help) {
    std::fputs(usage_text(), stdout);
    return 0;
  }
  if (parsed.version) {
    std::fputs(orvex::version_line("orvex-radiosim").c_str(), stdout);
    return 0;
  }
  if (!parsed.ok) {
    std::fprintf(stderr, "orvex-radiosim: %s\nTry 'orvex-radiosim --help'.\n", parsed.error.c_str());
    return 2;
  }
  const SimOptions& options = parsed.options;
  if (!is_directory(options.store_dir)) return fail("store directory \"" + options.store_dir + "\" does not exist");

  // The stop signals arrive as readable data, so the loop ends between frames.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (signal_fd < 0) return fail(std::string("signalfd: ") + std::strerror(errno));

  const uint64_t start = now_ms();
  std::string error;
  SimLog log;
  if (!log.open(options.log_file, options.quiet, start, error)) return fail(error);
  RawSocket socket;
  if (!socket.open(options.interface_name, error)) {
    fail(options.interface_name + ": " + error);
    if (socket.lacks_privilege()) {
      std::fprintf(stderr, "orvex-radiosim: install the orvexterm package, which gives it, or run as root: "
                   "setcap cap_net_raw+ep %s\n", orvex::own_program_path("orvex-radiosim").c_str());
    }
    return 1;
  }

  std::vector<Radio> radios;
  std::vector<RadioWire> wires;
  for (const RadioConfig& config : options.radios) {
    radios.push_back(make_radio(config, make_store(options.store_dir), start));
    const RadioFaults& f = config.faults;
    const auto n = static_cast<uint32_t>(radios.size());
    std::seed_seq in_seed{options.seed, n, 0u};
    std::seed_seq out_seed{options.seed, n, 1u};
    wires.push_back(RadioWire{WireDirection(f.loss_in, f.duplicate, f.reorder, in_seed),
                              WireDirection(f.loss_out, f.duplicate, f.reorder, out_seed)});
  }

  if (!options.quiet) {
    std::printf("orvex-radiosim: playing %zu radio%s on %s\n", radios.size(), radios.size() == 1 ? "" : "s",
                options.interface_name.c_str());
    for (const Radio& r : radios) {
      std::printf("  %-16s %s  level %u  firmware %s\n", r.config.name.c_str(), format_mac_text(r.config.mac).c_str(),
                  unsigned{r.config.level}, r.config.firmware.c_str());
    }
    std::fflush(stdout);
  }
  log.event(start, "started on " + options.interface_name);

  // What a radio sends crosses its wire's outgoing direction: the log shows
  // every frame the radio sent, and what the wire did with it.
  RadioOutput out;
  std::vector<Frame> on_wire;
  // With --burst the frames wait here, and the log lines in the log, until
  // every radio has had its turn; then all leave back to back.
  std::vector<Frame> burst;
  auto send_passing = [&](const Radio& r, uint64_t now) {
    for (auto& frame : on_wire) {
      if (options.vlan_id != 0) orvex::insert_vlan_tag(frame, options.vlan_id);
      if (options.burst) {
        burst.push_back(std::move(frame));
      } else if (!socket.send(frame)) {
        log.event(now, r.config.name + ": send failed: " + std::strerror(errno));
      }
    }
    on_wire.clear();
  };
  auto hold = [&] {
    if (options.burst) log.hold();
  };
  // `begun`: when the frame (or the tick) that the answers are for was taken.
  auto send_burst = [&](std::chrono::steady_clock::time_point begun) {
    if (!options.burst) return;
    const size_t sent = burst.empty() ? 0 : socket.send_all(burst);
    const int send_error = errno;
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun);
    const uint64_t now = now_ms();
    if (burst.size() > 1) {
      log.event(now, "burst of " + std::to_string(burst.size()) + " frames sent, the last " +
                         std::to_string(took.count()) + " us after the frame they answer");
    }
    if (sent < burst.size()) {
      log.event(now, "burst: " + std::to_string(burst.size() - sent) + " frames not sent: " + std::strerror(send_error));
    }
    burst.clear();
    log.release();
  };
  auto deliver = [&](size_t i, uint64_t now) {
    const Radio& r = radios[i];
    for (auto& frame : out.frames) {
      log.frame(now, "tx", r.config.name, frame, true);
      const WireFate fate = wires[i].out.pass(std::move(frame), now, on_wire);
      if (fate != WireFate::passed) log.event(now, r.config.name + ": sent frame " + fate_text(fate));
      send_passing(r, now);
    }
    for (const auto& text : out.events) log.event(now, text);
    out = RadioOutput{};
  };
  // What reaches a radio through its wire's incoming direction is handled in
  // the order it arrives.
  std::vector<Frame> arriving;
  auto take_arriving = [&](size_t i, const char* direction, uint64_t now) {
    Radio& r = radios[i];
    std::vector<Frame> frames;
    frames.swap(arriving);
    for (const Frame& frame : frames) {
      log.frame(now, direction, r.config.name, frame, r.config.level >= 2);
      handle_frame(r, frame, now, out);
      deliver(i, now);
    }
  };

  std::vector<uint8_t> buffer(2048);
  std::vector<uint8_t> frame_copy;
  int status = 0;
  for (;;) {
    uint64_t now = now_ms();
    uint64_t deadline = std::numeric_limits<uint64_t>::max();
    for (size_t i = 0; i < radios.size(); ++i) {
      deadline = std::min({deadline, next_deadline(radios[i]), wires[i].in.deadline(), wires[i].out.deadline()});
    }
    const uint64_t wait = deadline <= now ? 0 : std::min<uint64_t>(deadline - now, 1000);
    pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(wait));
    if (ready < 0 && errno != EINTR) {
      log.event(now_ms(), std::string("poll failed: ") + std::strerror(errno));
      status = 1;
      break;
    }
    if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      const ssize_t n = ::read(signal_fd, &info, sizeof info);
      const bool term = n == static_cast<ssize_t>(sizeof info) && info.ssi_signo == SIGTERM;
      log.event(now_ms(), term ? "stopped by SIGTERM" : "stopped by SIGINT");
      break;
    }
    if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
      log.event(now_ms(), "the interface went away");
      status = 1;
      break;
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      // Bounded, so that a flood cannot starve the retransmission timers.
      for (int n_read = 0; n_read < 256; ++n_read) {
        const int n = socket.receive(buffer);
        if (n <= 0) {
          if (n < 0) log.event(now_ms(), std::string("receive failed: ") + std::strerror(errno));
          break;
        }
        const auto taken = std::chrono::steady_clock::now();
        hold();
        // A tag still in the data is taken off; the kernel usually has done so already.
        frame_copy.assign(buffer.begin(), buffer.begin() + n);
        const bool tagged = orvex::remove_vlan_tag(frame_copy);
        const std::span<const uint8_t> frame(frame_copy);
        now = now_ms();
        for (size_t i = 0; i < radios.size(); ++i) {
          const Radio& r = radios[i];
          if (!addressed_to(r, frame) || !read_radio_header(frame, true)) continue;
          const WireFate fate = wires[i].in.pass(frame_copy, now, arriving);
          if (fate != WireFate::passed) log.event(now, r.config.name + ": received frame " + fate_text(fate));
          take_arriving(i, tagged ? "rx (tagged)" : "rx", now);
        }
        send_burst(taken);
      }
    }
    const auto ticked = std::chrono::steady_clock::now();
    hold();
    now = now_ms();
    for (size_t i = 0; i < radios.size(); ++i) {
      if (wires[i].in.release_due(now, arriving)) take_arriving(i, "rx (late)", now);
      if (wires[i].out.release_due(now, on_wire)) {
        log.event(now, radios[i].config.name + ": sent frame let through late");
        send_passing(radios[i], now);
      }
      handle_tick(radios[i], now, out);
      deliver(i, now);
    }
    send_burst(ticked);
  }
  ::close(signal_fd);
  return status;
}
