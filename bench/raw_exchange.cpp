#include "bench/raw_exchange.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "base/byte_order.hpp"
#include "bench/netns.hpp"

namespace orvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t BENCH_ETHERTYPE = 0x88B5;  // IEEE local experimental
constexpr long WARM_UP = 100;
constexpr long MAX_LOST = 100;
constexpr size_t SEQ_OFFSET = 14;
constexpr auto SILENT_WAIT = std::chrono::milliseconds(200);  // a lost frame costs this, never a hang

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A packet socket bound to one interface of one namespace; it stays there
// whichever thread uses it.
struct RawEnd {
  int fd = -1;
  sockaddr_ll peer{};
  std::vector<uint8_t> out;
  ~RawEnd() {
    if (fd >= 0) ::close(fd);
  }

  bool open(const std::string& ns, const std::string& dev, const MacAddress& own, const MacAddress& to,
            size_t frame_size) {
    bench::InNamespace in(ns);
    if (!in.entered()) return false;
    fd = ::socket(AF_PACKET, SOCK_RAW, htons(BENCH_ETHERTYPE));
    const unsigned ifindex = if_nametoindex(dev.c_str());
    if (fd < 0 || ifindex == 0) return false;
    sockaddr_ll self{};
    self.sll_family = AF_PACKET;
    self.sll_protocol = htons(BENCH_ETHERTYPE);
    self.sll_ifindex = static_cast<int>(ifindex);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) return false;
    timeval wait{0, static_cast<suseconds_t>(std::chrono::microseconds(SILENT_WAIT).count())};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) return false;
    peer = self;
    peer.sll_halen = 6;
    std::memcpy(peer.sll_addr, to.bytes.data(), 6);
    out.assign(frame_size, 0x5A);
    std::memcpy(out.data(), to.bytes.data(), 6);
    std::memcpy(out.data() + 6, own.bytes.data(), 6);
    put_be16(out.data() + 12, BENCH_ETHERTYPE);
    return true;
  }

  bool send(uint32_t seq) {
    put_be32(out.data() + SEQ_OFFSET, seq);
    return ::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) ==
           static_cast<ssize_t>(out.size());
  }

  // The sequence number of the next incoming frame of `size` bytes; false
  // after a silent wait.
  bool receive(size_t size, uint32_t& seq) {
    uint8_t in[2048];
    for (int i = 0; i < 64; ++i) {  // frames of another size are passed over
      sockaddr_ll from{};
      socklen_t from_size = sizeof from;
      const ssize_t n = ::recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
      if (n < 0) return false;
      if (from.sll_pkttype == PACKET_OUTGOING || static_cast<size_t>(n) != size) continue;
      seq = get_be32(in + SEQ_OFFSET);
      return true;
    }
    return false;
  }

  // As receive, but the socket is read again and again without waiting;
  // false once `give_up` has passed with nothing of `size` bytes.
  bool poll_receive(size_t size, uint32_t& seq, Clock::time_point give_up) {
    uint8_t in[2048];
    for (;;) {
      sockaddr_ll from{};
      socklen_t from_size = sizeof from;
      const ssize_t n = ::recvfrom(fd, in, sizeof in, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_size);
      if (n >= 0 && from.sll_pkttype != PACKET_OUTGOING && static_cast<size_t>(n) == size) {
        seq = get_be32(in + SEQ_OFFSET);
        return true;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (Clock::now() >= give_up) return false;
    }
  }
};

}  // namespace

RawFigures run_raw_exchange(const std::string& ns_a, const std::string& dev_a, const std::string& ns_b,
                            const std::string& dev_b, size_t block, size_t ack, long round_trips, double time_limit_s,
                            RawPlacement placement, RawWait sender_wait, const std::atomic<bool>& stop) {
  RawFigures f;
  const MacAddress mac_a = bench::interface_address(ns_a, dev_a), mac_b = bench::interface_address(ns_b, dev_b);
  RawEnd sender, answerer;
  if (!sender.open(ns_a, dev_a, mac_a, mac_b, block) || !answerer.open(ns_b, dev_b, mac_b, mac_a, ack)) {
    f.error = "packet sockets could not be opened: " + std::string(std::strerror(errno));
    return f;
  }
  std::atomic<bool> done{false};
  const Clock::time_point start = Clock::now();
  std::thread answer([&] {
    bench::pin_to_cpu(placement.answer_cpu);
    uint32_t seq = 0;
    while (!done.load() && !stop.load() && since(start) < time_limit_s + 1) {
      if (answerer.receive(block, seq)) answerer.send(seq);
    }
  });

  std::thread send([&] {
    bench::pin_to_cpu(placement.sender_cpu);
    Clock::time_point measured = Clock::now();
    uint32_t seq = 0;
    for (long i = 0; i < WARM_UP + round_trips && !stop.load() && since(start) < time_limit_s; ++i) {
      if (i == WARM_UP) measured = Clock::now();
      ++seq;
      bool answered = false;
      while (!answered && f.lost <= MAX_LOST) {
        if (!sender.send(seq)) break;
        uint32_t got = 0;
        if (sender_wait == RawWait::polling) {
          const Clock::time_point give_up = Clock::now() + SILENT_WAIT;
          while (sender.poll_receive(ack, got, give_up) && !(answered = got == seq)) {
          }
        } else {
          while (sender.receive(ack, got) && !(answered = got == seq)) {
          }
        }
        if (!answered) ++f.lost;
      }
      if (!answered) {
        f.error = "the exchange stalled";
        break;
      }
      if (i >= WARM_UP) ++f.round_trips;
    }
    f.seconds = since(measured);
  });
  send.join();
  done.store(true);
  answer.join();
  f.ok = f.error.empty() && f.round_trips > 0;
  return f;
}

}  // namespace orvex::bench
