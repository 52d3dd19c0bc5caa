// What the fuzz targets share: inputs cut into frame records, a clock that
// never waits, the exit hook, a scratch working directory and the files the
// program holds open. A broken rule aborts, so that libFuzzer keeps the input.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/termination.hpp"
#include "base/byte_order.hpp"
#include "base/clock.hpp"
#include "wire/frame.hpp"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace orvex::fuzz {

using Bytes = std::vector<uint8_t>;
struct ProcessExit { int status; };  // thrown by the exit hook instead of ending the process

// The seeds of a target's corpus, built with the program's own builders.
std::vector<Bytes> seed_inputs();

[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
  std::abort();
}

// The records of an input: [flags][length, 2 bytes big-endian][bytes], the
// last one cut short by the end of the input.
struct Records {
  const uint8_t* at;
  const uint8_t* end;
  bool left() const { return end - at >= 3; }
  bool next(uint8_t& flags, Bytes& bytes) {
    if (!left()) return false;
    const size_t n = std::min<size_t>(get_be16(at + 1), static_cast<size_t>(end - at - 3));
    flags = at[0], bytes.assign(at + 3, at + 3 + n), at += 3 + n;
    return true;
  }
};

// An input: its first byte, then each frame as a record with `flags`.
inline Bytes input(int first, uint8_t flags, std::initializer_list<Bytes> frames) {
  Bytes in{static_cast<uint8_t>(first)};
  for (const Bytes& f : frames) {
    in.insert(in.end(), {flags, static_cast<uint8_t>(f.size() >> 8), static_cast<uint8_t>(f.size())});
    in.insert(in.end(), f.begin(), f.end());
  }
  return in;
}

// A frame through the program's own encoder.
inline Bytes encoded(const OutgoingHeader& h, std::string_view payload = {}) {
  Bytes f(FRAME_BUFFER_SIZE);
  int size = static_cast<int>(payload.size());
  if (!encode_frame(f, h, reinterpret_cast<const uint8_t*>(payload.data()), size)) finding("seed not encoded");
  f.resize(static_cast<size_t>(size) + FRAME_HEADER_SIZE);
  return f;
}

// Record flags: header fields given the connection's live values, so that
// mutated frames still meet its identifier and sequence numbers.
constexpr uint8_t PATCH_CID = 1, PATCH_TSEQ = 2, PATCH_RSEQ = 4, PATCH_ALL = 7;

inline void patch_header(Bytes& f, uint8_t flags, uint16_t cid, uint32_t tseq, uint32_t rseq, bool big_endian) {
  const size_t tag = f.size() > OFFSET_LENGTH + 1 && get_be16(&f[OFFSET_LENGTH]) == VLAN_TPID ? VLAN_TAG_SIZE : 0;
  if (f.size() < FRAME_HEADER_SIZE + tag) return;
  if (flags & PATCH_CID) put_u16(&f[tag + OFFSET_CID], cid, big_endian);
  if (flags & PATCH_TSEQ) put_u32(&f[tag + OFFSET_TSEQ], tseq, big_endian);
  if (flags & PATCH_RSEQ) put_u32(&f[tag + OFFSET_RSEQ], rseq, big_endian);
}

// A fresh object for each input in storage kept for the process: a large
// record allocated anew for every input would cost more than the input.
template <typename T>
struct Fresh {
  template <typename... Args>
  explicit Fresh(Args&&... args) : object(*new (storage) T(std::forward<Args>(args)...)) {}
  ~Fresh() { object.~T(); }
  T& object;
  alignas(T) static inline unsigned char storage[sizeof(T)];
};

// Virtual time: sleeps and timed waits pass at once. A waiting thread first
// lets `while_waiting` run, as another thread would meanwhile. After a virtual
// hour the session is told to stop, so no wait outlasts an input.
class FuzzClock final : public Clock {
 public:
  // `stop` is told after a virtual hour.
  void stops(std::atomic<bool>& stop) { stop_ = &stop; }
  uint64_t now_ms() override { return now_; }
  int64_t wall_seconds() override { return 1'700'000'000 + static_cast<int64_t>(now_ / 1000); }
  void sleep_ms(uint32_t ms) override {
    now_ += ms;
    if (now_ > 3'600'000 && stop_ != nullptr) stop_->store(true);
  }
  bool wait_for(std::condition_variable&, std::unique_lock<std::mutex>& lock, uint32_t ms,
                const std::function<bool()>& ready) override {
    if (!ready() && while_waiting && !in_wait_) {
      in_wait_ = true;
      lock.unlock();  // as a condition variable's wait does
      while_waiting();
      lock.lock();
      in_wait_ = false;
    }
    if (!ready()) sleep_ms(ms);
    return ready();
  }
  std::function<void()> while_waiting;

 private:
  std::atomic<bool>* stop_ = nullptr;
  uint64_t now_ = 0;
  bool in_wait_ = false;
};

// Standard input that never blocks, output that costs nothing, an exit hook
// that throws, and a scratch directory with work/ in it as the working
// directory (so paths given to libFuzzer must be absolute). `files` maps
// names to contents: "->target" makes a symbolic link, "|" a named pipe, "/"
// a folder. Returns work/'s real path.
inline std::string prepare_process(const std::map<std::string, std::string>& files) {
  if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout)) finding("/dev/null");
  static std::string top = (std::filesystem::temp_directory_path() / "orvex-fuzz-XXXXXX").string();
  if (mkdtemp(top.data()) == nullptr) finding("no scratch directory");
  std::atexit([] { std::filesystem::remove_all(top); });
  std::filesystem::current_path(top);
  std::filesystem::create_directory("work");
  for (const auto& [name, contents] : files) {
    if (contents.starts_with("->")) {
      std::filesystem::create_symlink(contents.substr(2), name);
    } else if (contents == "|" || contents == "/") {
      contents == "|" ? mkfifo(name.c_str(), 0600) : mkdir(name.c_str(), 0700);
    } else {
      std::ofstream(name, std::ios::binary) << contents;
    }
  }
  std::filesystem::current_path("work");
  std::fprintf(stderr, "working directory: %s/work\n", top.c_str());
  return std::filesystem::canonical(".").string();
}

// The descriptors open now and what each refers to.
inline std::map<int, std::string> open_files() {
  std::map<int, std::string> files;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;
    const std::string target = std::filesystem::read_symlink(fd, gone);
    if (!gone && !target.starts_with("/proc/")) files[std::stoi(fd.path().filename().string())] = target;
  }
  return files;
}

// Every file opened since `before` must be a regular file below `work`; with
// `none_new`, nothing may be open that was not before.
inline void check_open_files(const std::map<int, std::string>& before, const std::string& work, bool none_new) {
  for (const auto& [fd, target] : open_files()) {
    struct stat info {};
    if (before.contains(fd) && before.at(fd) == target) continue;
    if (none_new) finding("left open: " + target);
    if (!target.starts_with(work + "/") || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      finding("opened outside the working directory or not a regular file: " + target);
    }
  }
}

}  // namespace orvex::fuzz
