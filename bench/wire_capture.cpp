#include "bench/wire_capture.hpp"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "base/byte_order.hpp"
#include "bench/netns.hpp"

namespace orvex::bench {

namespace {

// A block is handed over when full or when RETIRE_MS passed with frames in
// it: 1024 blocks hold about 200,000 kept frames, or 20 s of a slow trickle.
constexpr unsigned BLOCK_SIZE = 32u << 10;
constexpr unsigned BLOCK_COUNT = 1024;
constexpr unsigned FRAME_SIZE = 2048;
constexpr unsigned RETIRE_MS = 20;
constexpr size_t MAX_SOURCES = 200;

uint32_t be32_of(const uint8_t* p) { return get_be32(p); }

}  // namespace

WireCapture::~WireCapture() {
  if (ring_ != nullptr) munmap(ring_, ring_size_);
  if (fd_ >= 0) ::close(fd_);
}

std::string WireCapture::open(const std::string& ns, const std::string& dev) {
  InNamespace in(ns);
  if (!in.entered()) return "could not enter " + ns;
  // Protocol 0 until the ring and filter are in place: nothing arrives before.
  fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return std::string("packet socket: ") + std::strerror(errno);
  const int version = TPACKET_V3;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
    return std::string("TPACKET_V3: ") + std::strerror(errno);
  }
  if (!keep_from({})) return std::string("filter: ") + std::strerror(errno);
  tpacket_req3 req{};
  req.tp_block_size = BLOCK_SIZE;
  req.tp_block_nr = BLOCK_COUNT;
  req.tp_frame_size = FRAME_SIZE;
  req.tp_frame_nr = BLOCK_SIZE / FRAME_SIZE * BLOCK_COUNT;
  req.tp_retire_blk_tov = RETIRE_MS;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0) {
    return std::string("ring: ") + std::strerror(errno);
  }
  ring_size_ = size_t{BLOCK_SIZE} * BLOCK_COUNT;
  void* map = mmap(nullptr, ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd_, 0);
  if (map == MAP_FAILED) map = mmap(nullptr, ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) return std::string("mmap: ") + std::strerror(errno);
  ring_ = static_cast<uint8_t*>(map);
  sockaddr_ll self{};
  self.sll_family = AF_PACKET;
  self.sll_protocol = htons(ETH_P_ALL);
  self.sll_ifindex = static_cast<int>(if_nametoindex(dev.c_str()));
  if (self.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    return "bind to " + dev + ": " + std::strerror(errno);
  }
  return {};
}

bool WireCapture::keep_from(const std::vector<Source>& sources) {
  if (sources.size() > MAX_SOURCES) return false;
  // Per station: the first four bytes of the source address, then the last
  // two unless only the prefix counts; a match returns the first 64 bytes.
  std::vector<sock_filter> code;
  for (const Source& s : sources) {
    const uint8_t* m = s.mac.bytes.data();
    code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 6));
    if (s.prefix_only) {
      code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, be32_of(m), 0, 1));
    } else {
      code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, be32_of(m), 0, 3));
      code.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 10));
      code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, get_be16(m + 4), 0, 1));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, CAPTURED_HEAD));
  }
  code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
  sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
  return ::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

void WireCapture::drain(std::vector<Captured>* out) {
  if (ring_ == nullptr) return;
  for (unsigned n = 0; n < BLOCK_COUNT; ++n) {
    auto* block = reinterpret_cast<tpacket_block_desc*>(ring_ + size_t{next_block_} * BLOCK_SIZE);
    if ((std::atomic_ref<uint32_t>(block->hdr.bh1.block_status).load(std::memory_order_acquire) & TP_STATUS_USER) ==
        0) {
      break;
    }
    const uint8_t* at = reinterpret_cast<const uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
    for (uint32_t i = 0; i < block->hdr.bh1.num_pkts && out != nullptr; ++i) {
      const auto* h = reinterpret_cast<const tpacket3_hdr*>(at);
      Captured c;
      c.ns = int64_t{h->tp_sec} * 1000000000 + h->tp_nsec;
      c.length = h->tp_len;
      c.kept = std::min<uint32_t>(h->tp_snaplen, CAPTURED_HEAD);
      std::memcpy(c.head.data(), at + h->tp_mac, c.kept);
      out->push_back(c);
      at += h->tp_next_offset;
    }
    std::atomic_ref<uint32_t>(block->hdr.bh1.block_status).store(TP_STATUS_KERNEL, std::memory_order_release);
    next_block_ = (next_block_ + 1) % BLOCK_COUNT;
  }
}

void WireCapture::clear() {
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * RETIRE_MS));
  drain(nullptr);
}

std::vector<Captured> WireCapture::take() {
  // The block being filled is handed over once its time is up.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * RETIRE_MS));
  std::vector<Captured> out;
  drain(&out);
  std::stable_sort(out.begin(), out.end(), [](const Captured& a, const Captured& b) { return a.ns < b.ns; });
  return out;
}

uint64_t WireCapture::dropped() {
  tpacket_stats_v3 stats{};
  socklen_t size = sizeof stats;
  if (fd_ >= 0 && ::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0) dropped_ += stats.tp_drops;
  return dropped_;
}

}  // namespace orvex::bench
