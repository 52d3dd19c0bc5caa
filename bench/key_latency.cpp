#include "bench/key_latency.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/byte_order.hpp"
#include "bench/netns.hpp"
#include "wire/frame.hpp"

namespace orvex::bench {

namespace {

constexpr double START_LIMIT_S = 20;   // discovery (about 4 s) and the connection
constexpr int ECHO_LIMIT_MS = 1000;    // a key whose echo takes longer counts as lost
constexpr int LOST_KEYS_LIMIT = 20;    // then the measurement is given up
constexpr char F3_KEY[] = "\x1bOR";    // ends the session and the program

int64_t realtime_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// orvexterm on the slave side of a new pseudo-terminal.
class TerminalProgram {
 public:
  explicit TerminalProgram(const std::vector<std::string>& argv) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* slave_name = ptsname(master_);
    if (slave_name == nullptr) return;
    const std::string slave = slave_name;
    winsize size{50, 80, 0, 0};
    ioctl(master_, TIOCSWINSZ, &size);
    std::vector<std::string> copy = argv;
    std::vector<char*> raw;
    for (std::string& a : copy) raw.push_back(a.data());
    raw.push_back(nullptr);
    char term[] = "TERM=xterm";
    char locale[] = "LC_ALL=C";
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* env[] = {term, locale, path, nullptr};
    pid_ = fork();
    if (pid_ == 0) {  // only calls that are safe after a fork
      setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      if (fd < 0) _exit(127);
      dup2(fd, 0);
      dup2(fd, 1);
      dup2(fd, 2);
      if (fd > 2) ::close(fd);
      execve("/usr/sbin/ip", raw.data(), env);
      execve("/sbin/ip", raw.data(), env);
      _exit(127);
    }
  }
  ~TerminalProgram() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
  }
  TerminalProgram(const TerminalProgram&) = delete;
  TerminalProgram& operator=(const TerminalProgram&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  int master() const { return master_; }

  // Reads what the program writes until `text` came; false after `timeout_s`.
  bool wait_for(const std::string& text, double timeout_s) {
    std::string seen;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < end && !stop_flag().load()) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n <= 0) return false;
      seen.append(chunk, static_cast<size_t>(n));
      if (seen.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // True once the program has put its terminal in raw mode (reading keys).
  bool wait_raw(double timeout_s) {
    for (int i = 0; i < static_cast<int>(timeout_s * 100); ++i) {
      termios mode{};
      if (tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void discard_output(int ms) {
    char chunk[4096];
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, ms) > 0 && ::read(master_, chunk, sizeof chunk) > 0) {
    }
  }

  bool end(double timeout_s) {
    if (::write(master_, F3_KEY, sizeof F3_KEY - 1) < 0) return false;
    for (int i = 0; i < static_cast<int>(timeout_s * 100); ++i) {
      discard_output(0);
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
};

// A data frame with at least one payload byte, as the wire showed it.
struct DataFrame {
  int64_t ns;
  uint8_t first;
};

// Data frames from `source`, in time order.
std::vector<DataFrame> data_frames(const std::vector<Captured>& frames, const MacAddress& source) {
  std::vector<DataFrame> out;
  for (const Captured& c : frames) {
    const uint8_t* p = c.head.data();
    if (c.kept <= FRAME_HEADER_SIZE || MacAddress::from(p + OFFSET_SOURCE) != source) continue;
    if (get_be16(p + OFFSET_LENGTH) > 1500 || get_be16(p + OFFSET_PDU) != PDU_DATA) continue;
    if (get_be32(p + OFFSET_NBYTES) == 0) continue;
    out.push_back({c.ns, p[OFFSET_PAYLOAD]});
  }
  return out;
}

// The first frame carrying `key` in [from, until); null when none did.
const DataFrame* frame_between(const std::vector<DataFrame>& frames, uint8_t key, int64_t from, int64_t until) {
  const auto at = std::lower_bound(frames.begin(), frames.end(), from,
                                   [](const DataFrame& f, int64_t t) { return f.ns < t; });
  for (auto i = at; i != frames.end() && i->ns < until; ++i) {
    if (i->first == key) return &*i;
  }
  return nullptr;
}

// CPU time of a whole process, every thread of it, the ended ones included.
bool process_cpu_s(pid_t pid, double& seconds) {
  clockid_t clock{};
  timespec t{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return false;
  seconds = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  return true;
}

// The program's name as the kernel knows it: the chain of ip, setpriv and
// taskset has to have ended in orvexterm itself for its CPU clock to be its.
std::string process_name(pid_t pid) {
  std::string name(64, '\0');
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t n = ::read(fd, name.data(), name.size());
  ::close(fd);
  name.resize(n > 0 ? static_cast<size_t>(n) : 0);
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// A key every `interval_ms` for `seconds`, the echoes read as they come (the
// program must never block on a full terminal); the program's CPU time over it.
TypingFigures typing_session(TerminalProgram& program, double seconds, int interval_ms) {
  TypingFigures f;
  if (process_name(program.pid()) != "orvexterm") {
    f.error = "the process under the pseudo-terminal is not orvexterm";
    return f;
  }
  using Clock = std::chrono::steady_clock;
  const int keys = static_cast<int>(seconds * 1000 / interval_ms);
  const Clock::time_point start = Clock::now();
  double cpu_before = 0, cpu_after = 0;
  if (!process_cpu_s(program.pid(), cpu_before)) {
    f.error = "the program's CPU clock could not be read";
    return f;
  }
  for (int i = 0; i < keys && !stop_flag().load(); ++i) {
    const char key = static_cast<char>('a' + i % 26);
    if (::write(program.master(), &key, 1) != 1) {
      f.error = "the terminal took no key";
      return f;
    }
    ++f.typed;
    // Until the next key is due: whatever the program writes is read.
    const Clock::time_point next = start + std::chrono::milliseconds(int64_t{i + 1} * interval_ms);
    for (Clock::time_point now = Clock::now(); now < next; now = Clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      pollfd p{program.master(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(program.master(), chunk, sizeof chunk);
      if (n > 0 && std::memchr(chunk, key, static_cast<size_t>(n)) != nullptr) ++f.echoed;
    }
  }
  if (!process_cpu_s(program.pid(), cpu_after)) {
    f.error = "the program ended during the typing session";
    return f;
  }
  f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  f.cpu_s = cpu_after - cpu_before;
  if (stop_flag().load()) f.error = "interrupted";
  return f;
}

}  // namespace

KeyFigures measure_keys(const std::string& ns_program, const std::string& dev_program, const std::string& ns_radio,
                        const std::string& dev_radio, WireCapture& capture, int keys, KeyPlacement placement,
                        double typing_s, int typing_interval_ms) {
  KeyFigures f;
  f.typing.error = "not measured";
  const MacAddress program_mac = interface_address(ns_program, dev_program);
  const MacAddress radio_mac = interface_address(ns_radio, dev_radio);
  ChildProcess radio(in_namespace_on_cpu(ns_radio, placement.radio_cpu,
                                         {bench_directory() + "/orvex-bench-radio", dev_radio, "--echo"}),
                     ChildProcess::Output::pipe, true);
  std::string line;
  if (!radio.read_line(line, 5) || line != "ready") {
    f.error = "the minimal radio did not start";
    return f;
  }
  capture.keep_from({{program_mac}, {radio_mac}});
  TerminalProgram program(in_namespace_on_cpu(ns_program, placement.program_cpu,
                                              {build_directory() + "/orvexterm", "-c", dev_program}));
  if (!program.started()) {
    f.error = "orvexterm could not be started under a pseudo-terminal";
    return f;
  }
  if (!program.wait_for("established successfully", START_LIMIT_S) || !program.wait_raw(5)) {
    f.error = "orvexterm did not open a session with the minimal radio";
    return f;
  }
  program.discard_output(300);
  pin_to_cpu(placement.terminal_cpu);
  capture.clear();

  std::vector<int64_t> written(static_cast<size_t>(keys), 0), echoed(static_cast<size_t>(keys), 0);
  uint32_t pause = 12345;
  int lost = 0;
  for (int i = 0; i < keys && lost < LOST_KEYS_LIMIT && !stop_flag().load(); ++i) {
    const char key = static_cast<char>('a' + i % 26);
    written[i] = realtime_ns();
    if (::write(program.master(), &key, 1) != 1) break;
    ++f.typed;
    const int64_t give_up = written[i] + int64_t{ECHO_LIMIT_MS} * 1000000;
    for (int64_t now = written[i]; echoed[i] == 0 && now < give_up; now = realtime_ns()) {
      pollfd p{program.master(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>((give_up - now) / 1000000) + 1) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(program.master(), chunk, sizeof chunk);
      const int64_t read_at = realtime_ns();
      if (n > 0 && std::memchr(chunk, key, static_cast<size_t>(n)) != nullptr) echoed[i] = read_at;
    }
    if (echoed[i] == 0) ++lost;
    // 0.3 to 1.3 ms between keys: the acknowledgements settle, and no rhythm
    // of the machine lines up with the keys.
    pause = pause * 1103515245u + 12345u;
    std::this_thread::sleep_for(std::chrono::microseconds(300 + (pause >> 16) % 1000));
  }
  const std::vector<Captured> frames = capture.take();
  if (typing_s > 0 && lost < LOST_KEYS_LIMIT && !stop_flag().load()) {
    // The capture keeps nothing meanwhile: its kernel work is not the program's.
    capture.keep_from({});
    program.discard_output(300);
    f.typing = typing_session(program, typing_s, typing_interval_ms);
  }
  program.end(5);
  radio.stop();

  const std::vector<DataFrame> sent = data_frames(frames, program_mac);
  const std::vector<DataFrame> back = data_frames(frames, radio_mac);
  // A key's frame goes out between its write and its echo; the echo frame
  // comes in before the echo is read (keys are typed one at a time).
  for (int i = 0; i < f.typed; ++i) {
    const auto key = static_cast<uint8_t>('a' + i % 26);
    if (echoed[i] == 0) continue;
    ++f.echoed;
    f.key_to_echo_us.push_back(static_cast<double>(echoed[i] - written[i]) / 1000.0);
    if (const DataFrame* out = frame_between(sent, key, written[i], echoed[i])) {
      f.key_to_frame_us.push_back(static_cast<double>(out->ns - written[i]) / 1000.0);
      if (const DataFrame* in = frame_between(back, key, out->ns, echoed[i] + 1)) {
        f.echo_to_terminal_us.push_back(static_cast<double>(echoed[i] - in->ns) / 1000.0);
      }
    }
  }
  if (f.echoed == 0) f.error = "no key came back";
  return f;
}

}  // namespace orvex::bench
