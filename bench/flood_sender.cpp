// orvex-bench-flood: floods a link with frames that are none of the program's
// business, at a steady rate: other EtherTypes, other SNAP headers, other
// destinations, and frames with the protocol's own SNAP header between other
// stations. Says "flooding" once it has begun and, when stopped (SIGTERM or
// SIGINT) or out of time, "sent FRAMES in SECONDS".
//   orvex-bench-flood IFACE FRAMES_PER_SECOND MAX_SECONDS PROGRAM_MAC
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/address_text.hpp"
#include "base/byte_order.hpp"
#include "wire/frame.hpp"

namespace {

using namespace orvex;

constexpr int BATCH = 64;  // frames a system call at most
constexpr long TICK_NS = 500 * 1000;

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop.store(true); }

double now_s() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<uint8_t> frame_to(const MacAddress& to, uint8_t from_last, size_t size) {
  std::vector<uint8_t> f(size, 0x3C);
  std::memcpy(f.data(), to.bytes.data(), 6);
  const uint8_t from[6] = {0x02, 0x66, 0x6C, 0x6F, 0x6F, from_last};  // stations that are neither end
  std::memcpy(f.data() + 6, from, 6);
  return f;
}

// Sixteen frames, four of each kind, of 60 to 150 bytes.
std::vector<std::vector<uint8_t>> flood_frames(const MacAddress& program) {
  std::vector<std::vector<uint8_t>> frames;
  const uint16_t types[] = {0x0800, 0x86DD, 0x88B5, 0x0806};
  for (uint8_t i = 0; i < 4; ++i) {
    // Another EtherType, to the program's own address.
    auto f = frame_to(program, i, 60 + 30 * i);
    put_be16(f.data() + 12, types[i]);
    frames.push_back(f);
    // Another SNAP header (another OUI, or our OUI with another protocol id).
    f = frame_to(i % 2 == 0 ? program : MacAddress::broadcast(), i, 64 + 20 * i);
    put_be16(f.data() + 12, static_cast<uint16_t>(f.size() - 14));
    const uint8_t snap[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x0C, 0x20, 0x00};
    std::memcpy(f.data() + 14, snap, 8);
    if (i >= 2) {
      std::memcpy(f.data() + 14, SNAP_HEADER.data(), SNAP_HEADER.size());
      f[21] = 0x02;
    }
    frames.push_back(f);
    // Another destination.
    f = frame_to(MacAddress{{0x02, 0x99, 0x00, 0x00, 0x00, i}}, i, 90 + 20 * i);
    put_be16(f.data() + 12, 0x0800);
    frames.push_back(f);
    // The protocol's own frames, between two other stations.
    f = std::vector<uint8_t>(FRAME_BUFFER_SIZE);
    const uint8_t payload[32] = {'o', 't', 'h', 'e', 'r'};
    int size = i % 2 == 0 ? 0 : 32;
    OutgoingHeader h{MacAddress{{0x02, 0x7A, 0x41, 0x99, 0x00, i}}, MacAddress{{0x02, 0x7A, 0x41, 0x98, 0x00, i}},
                     static_cast<uint16_t>(i % 2 == 0 ? PDU_ACK : PDU_DATA), static_cast<uint16_t>(1000 + i), 7, 9,
                     true, 0};
    encode_frame(f, h, payload, size);
    f.resize(FRAME_HEADER_SIZE + static_cast<size_t>(size));
    frames.push_back(f);
  }
  return frames;
}

}  // namespace

int main(int argc, char** argv) {
  MacAddress program;
  const long rate = argc == 5 ? std::strtol(argv[2], nullptr, 10) : 0;
  const double limit = argc == 5 ? std::strtod(argv[3], nullptr) : 0;
  if (argc != 5 || rate < 1 || rate > 1000000 || limit <= 0 || limit > 600 || !parse_mac_text(argv[4], program)) {
    std::fprintf(stderr, "usage: %s IFACE FRAMES_PER_SECOND MAX_SECONDS PROGRAM_MAC\n", argv[0]);
    return 2;
  }
  std::signal(SIGTERM, on_signal);
  std::signal(SIGINT, on_signal);
  // Protocol 0: the socket sends and never receives.
  const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  sockaddr_ll self{};
  self.sll_family = AF_PACKET;
  self.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
  const int bypass = 1;
  if (fd < 0 || self.sll_ifindex == 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
    return 1;
  }
  ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass);

  const auto frames = flood_frames(program);
  std::array<iovec, BATCH> iov{};
  std::array<mmsghdr, BATCH> messages{};
  std::printf("flooding\n");
  std::fflush(stdout);
  const double start = now_s();
  long sent = 0;
  size_t next = 0;
  double elapsed = 0;
  while (!g_stop.load() && (elapsed = now_s() - start) < limit) {
    long due = static_cast<long>(elapsed * static_cast<double>(rate)) - sent;
    while (due > 0 && !g_stop.load()) {
      const int n = static_cast<int>(due < BATCH ? due : BATCH);
      for (int i = 0; i < n; ++i) {
        const auto& f = frames[next++ % frames.size()];
        iov[i] = iovec{const_cast<uint8_t*>(f.data()), f.size()};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int done = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(n), 0);
      if (done <= 0) break;  // no room now: the next tick catches up
      sent += done;
      due -= done;
    }
    const timespec tick{0, TICK_NS};
    nanosleep(&tick, nullptr);
  }
  std::printf("sent %ld in %.3f\n", sent, now_s() - start);
  ::close(fd);
  return 0;
}
