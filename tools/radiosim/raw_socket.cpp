#include "tools/radiosim/raw_socket.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvex::sim {

namespace {

// The kernel hands the radios only frames with the protocol's SNAP header
// (AA AA 03 02 7A 41 00 01 at byte 14, or at byte 18 behind a tag the kernel
// left in the data): the rest of a busy segment never wakes the simulator.
constexpr uint32_t SNAP_FIRST = 0xAAAA0302;
constexpr uint32_t SNAP_SECOND = 0x7A410001;
constexpr sock_filter SNAP_FILTER[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SNAP_FIRST, 0, 2),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 18),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SNAP_SECOND, 4, 0),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 18),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SNAP_FIRST, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 22),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SNAP_SECOND, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, 0x40000),
    BPF_STMT(BPF_RET | BPF_K, 0),
};

}  // namespace

RawSocket::~RawSocket() {
  if (fd_ >= 0) ::close(fd_);  // closing also ends the promiscuous membership
}

bool RawSocket::open(const std::string& interface_name, std::string& error) {
  const unsigned index = if_nametoindex(interface_name.c_str());
  if (index == 0) {
    error = "no interface named \"" + interface_name + "\"";
    return false;
  }
  ifindex_ = static_cast<int>(index);
  fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
  if (fd_ < 0) {
    const int e = errno;
    error = std::string("cannot open a raw socket: ") + std::strerror(e);
    lacks_privilege_ = e == EPERM || e == EACCES;
    if (lacks_privilege_) error += " (raw frames need root or CAP_NET_RAW)";
    return false;
  }
  sock_fprog program{static_cast<unsigned short>(std::size(SNAP_FILTER)), const_cast<sock_filter*>(SNAP_FILTER)};
  if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
    error = std::string("cannot filter frames: ") + std::strerror(errno);
    return false;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = ifindex_;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = std::string("cannot bind to ") + interface_name + ": " + std::strerror(errno);
    return false;
  }
  // The radios' own frames are not handed back to the socket: a burst would
  // otherwise cost a copy of each frame, and fill the receive queue with them.
  const int ignore = 1;
  (void)::setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignore, sizeof ignore);
  packet_mreq membership{};
  membership.mr_ifindex = ifindex_;
  membership.mr_type = PACKET_MR_PROMISC;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    error = std::string("cannot put ") + interface_name + " in promiscuous mode: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool RawSocket::send(std::span<const uint8_t> frame) {
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_ifindex = ifindex_;
  address.sll_halen = 6;
  std::memcpy(address.sll_addr, frame.data(), 6);
  const ssize_t n = ::sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&address),
                             sizeof address);
  return n == static_cast<ssize_t>(frame.size());
}

size_t RawSocket::send_all(std::span<const std::vector<uint8_t>> frames) {
  constexpr size_t BATCH = 256;
  constexpr int FULL_WAITS = 20;  // a full send queue is waited for at most 20 x 10 ms
  std::vector<sockaddr_ll> addresses(std::min(frames.size(), BATCH));
  std::vector<iovec> parts(addresses.size());
  std::vector<mmsghdr> messages(addresses.size());
  size_t sent = 0;
  int full_waits = 0;
  while (sent < frames.size()) {
    const size_t n = std::min(frames.size() - sent, BATCH);
    for (size_t k = 0; k < n; ++k) {
      const std::vector<uint8_t>& frame = frames[sent + k];
      sockaddr_ll& address = addresses[k];
      address = sockaddr_ll{};
      address.sll_family = AF_PACKET;
      address.sll_ifindex = ifindex_;
      address.sll_halen = 6;
      std::memcpy(address.sll_addr, frame.data(), 6);
      parts[k] = iovec{const_cast<uint8_t*>(frame.data()), frame.size()};
      messages[k] = mmsghdr{};
      messages[k].msg_hdr.msg_name = &address;
      messages[k].msg_hdr.msg_namelen = sizeof address;
      messages[k].msg_hdr.msg_iov = &parts[k];
      messages[k].msg_hdr.msg_iovlen = 1;
    }
    const int done = ::sendmmsg(fd_, messages.data(), static_cast<unsigned>(n), 0);
    if (done > 0) {
      sent += static_cast<size_t>(done);
      continue;
    }
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && full_waits++ < FULL_WAITS) {
      pollfd writable{fd_, POLLOUT, 0};
      (void)::poll(&writable, 1, 10);
      continue;
    }
    break;
  }
  return sent;
}

int RawSocket::receive(std::span<uint8_t> buffer) {
  for (;;) {
    sockaddr_ll from{};
    socklen_t from_size = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &from_size);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno == EINTR) continue;
      return -1;
    }
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    if (static_cast<size_t>(n) > buffer.size()) continue;  // longer than any protocol frame
    return static_cast<int>(n);
  }
}

}  // namespace orvex::sim
