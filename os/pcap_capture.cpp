// Packet capture over libpcap.
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "os/interfaces.hpp"
#include "os/pcap_capture.hpp"

namespace orvex {

namespace {

constexpr int READ_TIMEOUT_MS = 300;
// On a direct link the answer to a frame comes within tens of microseconds.
// For this long after a frame has left, a read looks for it without sleeping:
// waking an idle CPU for it would add more to each exchange than the radio takes.
constexpr std::chrono::nanoseconds ANSWER_LOOKOUT = std::chrono::microseconds(100);
// A look-out that ends without the answer was spent for nothing, and with a
// slow radio or a busy machine every one is. After this many in a row the
// reader sleeps at once for a while (nor is it woken for answers), then looks
// out again: when answers come late, the look-out costs a few per cent of its
// time at most.
constexpr int LOOKOUT_MISSES_BEFORE_REST = 4;
constexpr std::chrono::nanoseconds LOOKOUT_REST = std::chrono::milliseconds(50);
// In immediate mode libpcap uses a TPACKET_V2 ring: a fixed slot for every
// frame, of the snapshot length plus about 80 bytes of header, in page-sized
// blocks (with a 2048-byte snapshot each slot took a 4 KiB block alone, and
// 512000 bytes held 241 frames). 599 radios answer a discovery request
// within a few milliseconds, faster than rows are printed, so the ring holds
// that many and more: 1024 frames of at most 1600 bytes, two to a page, about
// 2 MiB. No frame of ours is longer than 1518 bytes (1522 with a tag left in
// the data); a longer one is cut and then dropped whole below.
constexpr int SNAPSHOT_BYTES = 1600;
constexpr int SLOT_HEADER_BYTES = 128;  // rather more than libpcap's: never fewer slots
constexpr int RING_FRAMES = 1024;
constexpr int KERNEL_BUFFER_BYTES = RING_FRAMES * (SNAPSHOT_BYTES + SLOT_HEADER_BYTES);

// Only frames of this protocol reach the program: an 802.3 length field (not
// an EtherType) followed by the SNAP header. The kernel usually hands the
// filter a received frame with its 802.1Q tag already taken off (libpcap puts
// it back into the data it gives us), so the first test also passes tagged
// frames; a tag that is still in the data is matched with the vlan primitive,
// the length and SNAP header then standing four bytes further on.
constexpr const char* PROTOCOL_FILTER =
    "(ether[12:2] <= 1500 and ether[14:4] = 0xaaaa0302 and ether[18:4] = 0x7a410001) or "
    "(vlan and ether[16:2] <= 1500 and ether[18:4] = 0xaaaa0302 and ether[22:4] = 0x7a410001)";

// The destination is tested before the vlan primitive, which moves the
// offsets of what follows it (the destination address never moves).
std::string destination_filter(const MacAddress& local) {
  char address[18];
  std::snprintf(address, sizeof address, "%02x:%02x:%02x:%02x:%02x:%02x", local.bytes[0], local.bytes[1],
                local.bytes[2], local.bytes[3], local.bytes[4], local.bytes[5]);
  return "(ether dst " + std::string(address) + " or ether broadcast) and (" + PROTOCOL_FILTER + ")";
}

bool set_filter(pcap_t* p, const char* text) {
  bpf_program program{};
  if (pcap_compile(p, &program, text, 1, PCAP_NETMASK_UNKNOWN) != 0) return false;
  const int set = pcap_setfilter(p, &program);
  pcap_freecode(&program);
  return set == 0;
}

long error_of_activation(int rc) {
  switch (rc) {
    case PCAP_ERROR_PERM_DENIED: return EPERM;
    case PCAP_ERROR_NO_SUCH_DEVICE: return ENODEV;
    case PCAP_ERROR_IFACE_NOT_UP: return ENETDOWN;
    default: return EIO;
  }
}

class PcapHandle final : public CaptureHandle {
 public:
  explicit PcapHandle(pcap_t* handle) : handle_(handle) {}
  ~PcapHandle() override {
    pcap_close(handle_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }
  PcapHandle(const PcapHandle&) = delete;
  PcapHandle& operator=(const PcapHandle&) = delete;

  bool accept_destination(const MacAddress& local) override {
    return set_filter(handle_, destination_filter(local).c_str());
  }

  int send(std::span<const uint8_t> frame) override {
    // A failing send is not detected here: the reliable send retransmits.
    (void)pcap_sendpacket(handle_, frame.data(), static_cast<int>(frame.size()));
    last_sent_.store(now());
    // A reader asleep since before this frame left is woken to look out for
    // the answer, unless look-outs rest.
    if (reader_asleep_.load() && wake_fd_ >= 0 && !resting()) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
    }
    return static_cast<int>(frame.size());
  }

  int receive(int max_frames, const FrameSink& sink) override {
    if (max_frames <= 0) return 0;
    // libpcap's own read time-out does not start before a first frame has
    // arrived, so the handle does not block and the wait is a poll of ours.
    const Clock::time_point deadline = now() + std::chrono::milliseconds(READ_TIMEOUT_MS);
    for (;;) {
      int got = take(max_frames, sink);
      if (got == 0 && looking_out()) {
        while (got == 0 && now() < look_until()) got = take(max_frames, sink);
        note_lookout(got != 0);
      }
      if (got != 0) return got;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now()).count();
      if (left <= 0) return 0;
      reader_asleep_.store(true);
      // A frame that left after the look-out ended and before the flag was
      // raised woke nobody: its answer is looked out for first.
      if (looking_out()) {
        reader_asleep_.store(false);
        continue;
      }
      pollfd ready[2] = {{pcap_get_selectable_fd(handle_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      const int rc = poll(ready, wake_fd_ >= 0 ? 2 : 1, static_cast<int>(left));
      reader_asleep_.store(false);
      if (rc < 0) return errno == EINTR ? 0 : -1;
      if (rc == 0) return 0;
      if ((ready[1].revents & POLLIN) != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(wake_fd_, &count, sizeof count);
      }
    }
  }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point now() { return Clock::now(); }
  Clock::time_point look_until() const { return last_sent_.load() + ANSWER_LOOKOUT; }
  bool resting() const { return now() < rest_until_.load(std::memory_order_relaxed); }
  bool looking_out() const { return now() < look_until() && !resting(); }

  // The reader's count of look-outs that ended without a frame.
  void note_lookout(bool answered) {
    if (answered) {
      misses_ = 0;
    } else if (++misses_ >= LOOKOUT_MISSES_BEFORE_REST) {
      misses_ = 0;
      rest_until_.store(now() + LOOKOUT_REST, std::memory_order_relaxed);
    }
  }

  // Hands over what the kernel holds now, at most `max_frames`, without waiting.
  int take(int max_frames, const FrameSink& sink) {
    const int rc = pcap_dispatch(handle_, max_frames, &PcapHandle::deliver,
                                 reinterpret_cast<u_char*>(const_cast<FrameSink*>(&sink)));
    return rc == PCAP_ERROR ? -1 : std::max(rc, 0);
  }

  static void deliver(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    if (header->caplen < header->len) return;  // part of a frame is no frame
    (*reinterpret_cast<const FrameSink*>(user))(std::span<const uint8_t>(bytes, header->caplen));
  }

  pcap_t* handle_;
  // Sends come from several threads. Both flags are sequentially consistent:
  // a send and a reader falling asleep at the same moment see each other.
  std::atomic<Clock::time_point> last_sent_{};
  std::atomic<bool> reader_asleep_{false};
  std::atomic<Clock::time_point> rest_until_{};  // written by the reader, read by senders too
  int misses_ = 0;                               // the reader's only
  int wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // below 0: readers are not woken
};

class PcapCapture final : public PacketCapture {
 public:
  bool list_interfaces(std::vector<InterfaceInfo>& interfaces) override {
    interfaces.clear();
    errno = 0;
    if (!linux_net::list_interfaces(interfaces)) {
      last_error_ = errno != 0 ? errno : EIO;
      return false;
    }
    return true;
  }

  std::unique_ptr<CaptureHandle> open(const std::string& name) override {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_create(name.c_str(), errbuf);
    if (p == nullptr) {
      last_error_ = ENODEV;
      return nullptr;
    }
    pcap_set_promisc(p, 0);
    pcap_set_immediate_mode(p, 1);  // else each frame waits for the read time-out
    pcap_set_timeout(p, READ_TIMEOUT_MS);
    pcap_set_buffer_size(p, KERNEL_BUFFER_BYTES);
    pcap_set_snaplen(p, SNAPSHOT_BYTES);
    const int rc = pcap_activate(p);
    if (rc < 0) {
      last_error_ = error_of_activation(rc);
      pcap_close(p);
      return nullptr;
    }
    // Our own frames are not handed back to us.
    pcap_setdirection(p, PCAP_D_IN);
    if (pcap_setnonblock(p, 1, errbuf) != 0) {
      last_error_ = EIO;
      pcap_close(p);
      return nullptr;
    }
    if (!set_filter(p, PROTOCOL_FILTER)) {
      last_error_ = EINVAL;
      pcap_close(p);
      return nullptr;
    }
    return std::make_unique<PcapHandle>(p);
  }

  long last_error() const override { return last_error_; }

 private:
  long last_error_ = 0;
};

}  // namespace

std::unique_ptr<PacketCapture> make_pcap_capture() { return std::make_unique<PcapCapture>(); }

}  // namespace orvex
