// orvex-bench-radio: the least a radio must do to fetch a file from the
// program, so that a benchmark's figure is the program's and not a radio's. It
// answers discovery, accepts a connection, asks for a file when told and
// acknowledges each block the moment it arrives; it stores nothing and logs
// nothing, keeping only a running hash of what came. With --echo it sends typed
// data straight back. Driven by lines on standard input:
//   get NAME   ask for NAME; answered "done BYTES BLOCKS HASH" or "failed WHY"
// It says "ready" once its socket is open and "connected" for each connection;
// it ends at the end of its input (or on SIGTERM).
//   orvex-bench-radio IFACE [--echo]
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "base/byte_order.hpp"
#include "bench/content_hash.hpp"
#include "wire/frame.hpp"

namespace {

using namespace orvex;
using Clock = std::chrono::steady_clock;

constexpr int RECEIVE_WAIT_MS = 20;  // how often input and time-outs are looked at, at most
constexpr auto RETRY_AFTER = std::chrono::milliseconds(300);
constexpr int MAX_TRANSMISSIONS = 10;
constexpr size_t BLOCK_SIZE = 1350;  // the program's file block

struct Pending {  // the one frame that waits for the program's acknowledgement
  bool active = false;
  std::array<uint8_t, MAX_FRAME_SIZE> frame{};
  size_t size = 0;
  uint32_t covered_at = 0;  // the program's RSEQ that acknowledges it
  Clock::time_point due{};
  int transmissions = 0;
};

struct Download {
  bool requested = false;  // asked for, no response yet
  bool receiving = false;
  uint32_t expected = 0;
  uint32_t received = 0;
  uint32_t blocks = 0;
  bench::ContentHash hash;
};

class MiniRadio {
 public:
  bool open(const char* interface_name, bool echo) {
    echo_ = echo;
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_802_2));  // only 802.3 frames with LLC
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interface_name);
    if (fd_ < 0 || ::ioctl(fd_, SIOCGIFHWADDR, &request) != 0) return false;
    own_ = MacAddress::from(reinterpret_cast<const uint8_t*>(request.ifr_hwaddr.sa_data));
    sockaddr_ll self{};
    self.sll_family = AF_PACKET;
    self.sll_protocol = htons(ETH_P_802_2);
    self.sll_ifindex = static_cast<int>(if_nametoindex(interface_name));
    if (self.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) return false;
    to_ = self;
    to_.sll_halen = 6;
    timeval wait{0, RECEIVE_WAIT_MS * 1000};
    return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
  }

  int run() {
    say("ready");
    std::array<uint8_t, 2048> in{};
    Clock::time_point looked = Clock::now();
    for (;;) {
      const ssize_t n = ::recv(fd_, in.data(), in.size(), 0);
      if (n >= static_cast<ssize_t>(FRAME_HEADER_SIZE)) take(std::span<const uint8_t>(in.data(), static_cast<size_t>(n)));
      const Clock::time_point now = Clock::now();
      if (n < 0 || now - looked >= std::chrono::milliseconds(RECEIVE_WAIT_MS)) {
        looked = now;
        if (!read_commands()) return 0;
        retransmit(now);
      }
    }
  }

 private:
  void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
  }

  void send(const MacAddress& to, uint16_t pdu, uint16_t cid, uint32_t tseq, uint32_t rseq, const uint8_t* payload,
            int size, Pending* keep = nullptr) {
    std::array<uint8_t, FRAME_BUFFER_SIZE> frame{};
    OutgoingHeader h{to, own_, pdu, cid, tseq, rseq, true, 0};
    if (!encode_frame(frame, h, payload, size)) return;
    const size_t length = FRAME_HEADER_SIZE + static_cast<size_t>(size);
    std::memcpy(to_.sll_addr, to.bytes.data(), 6);
    ::sendto(fd_, frame.data(), length, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    if (keep != nullptr) {
      std::memcpy(keep->frame.data(), frame.data(), length);
      keep->size = length;
      keep->active = true;
      keep->covered_at = tseq_;
      keep->due = Clock::now() + RETRY_AFTER;
      keep->transmissions = 1;
    }
  }

  void ack() { send(peer_, PDU_ACK, cid_, tseq_, rseq_, nullptr, 0); }

  // Sends counted bytes that wait for an acknowledgement.
  void send_counted(uint16_t pdu, const uint8_t* payload, size_t n) {
    const uint32_t tseq = tseq_;
    tseq_ += static_cast<uint32_t>(n);
    send(peer_, pdu, cid_, tseq, rseq_, payload, static_cast<int>(n), &pending_);
  }

  void take(std::span<const uint8_t> frame) {
    const auto f = parse_frame(frame, UNTAGGED_ONLY);
    if (!f || !addressed_here(*f, own_) || !f->whole || f->header.source == own_) return;
    const std::optional<FrameHeader> h = f->header;
    const uint8_t* payload = f->payload.data();
    if (h->pdu == PDU_DISCOVERY_REQUEST || h->pdu == PDU_IDENTIFY_REQUEST) {
      const auto answer = build_discovery_response("Bench-Radio", 0, "BENCH-1");
      send(h->source, PDU_IDENTIFY_RESPONSE, h->cid, 0, 0, answer.data(), static_cast<int>(answer.size()));
      return;
    }
    if (h->destination != own_) return;
    if (h->pdu == PDU_CONNECT_REQUEST) {
      if (!(connected_ && h->cid == cid_ && h->source == peer_)) {
        connected_ = true;
        peer_ = h->source;
        cid_ = h->cid;
        rseq_ = h->tseq;  // the request's own bytes are not counted
        tseq_ = h->rseq;
        pending_ = Pending{};
        download_ = Download{};
        echo_queue_.clear();
        say("connected");
      }
      send(peer_, PDU_CONNECT_ACCEPT, cid_, tseq_, rseq_, nullptr, 0);
      return;
    }
    if (!connected_ || h->source != peer_ || h->cid != cid_) return;
    if (pending_.active && static_cast<int32_t>(h->rseq - pending_.covered_at) >= 0 &&
        static_cast<int32_t>(tseq_ - h->rseq) >= 0) {
      pending_.active = false;
    }
    switch (h->pdu) {
      case PDU_DISCONNECT:
        connected_ = false;
        return;
      case PDU_FILE_DATA:
      case PDU_FILE_RESPONSE:
      case PDU_DATA:
        take_counted(*h, payload);
        break;
      default:
        break;
    }
    send_echo();
  }

  void take_counted(const FrameHeader& h, const uint8_t* payload) {
    if (h.tseq != rseq_) {  // a repetition: acknowledged again
      if (h.nbytes != 0) ack();
      return;
    }
    rseq_ += h.nbytes;
    if (h.pdu == PDU_FILE_DATA) {
      ack();  // first, before anything else is done with the block
      if (!download_.receiving) return;
      download_.hash.add(payload, h.nbytes);
      download_.received += h.nbytes;
      if (h.nbytes != 0) ++download_.blocks;
      const bool last = h.nbytes == 0 || (download_.received == download_.expected && download_.expected % BLOCK_SIZE != 0);
      if (last || download_.received > download_.expected) finish();
      return;
    }
    if (h.nbytes == 0) return;
    ack();
    if (h.pdu == PDU_FILE_RESPONSE && download_.requested) {
      download_.requested = false;
      // Status and size come little-endian.
      const int32_t status = h.nbytes >= 8 ? static_cast<int32_t>(get_le32(payload)) : -1;
      const int32_t size = h.nbytes >= 8 ? static_cast<int32_t>(get_le32(payload + 4)) : -1;
      if (status != 0 || size < 0) {
        say("failed the program refused the file (status " + std::to_string(status) + ")");
        return;
      }
      download_.receiving = true;
      download_.expected = static_cast<uint32_t>(size);
      if (size == 0) finish();
    } else if (h.pdu == PDU_DATA && echo_) {
      echo_queue_.append(reinterpret_cast<const char*>(payload), h.nbytes);
    }
  }

  void send_echo() {
    if (echo_queue_.empty() || pending_.active) return;
    const size_t n = std::min(echo_queue_.size(), MAX_PAYLOAD_SIZE);
    send_counted(PDU_DATA, reinterpret_cast<const uint8_t*>(echo_queue_.data()), n);
    echo_queue_.erase(0, n);
  }

  void finish() {
    char line[96];
    std::snprintf(line, sizeof line, "done %" PRIu32 " %" PRIu32 " %016" PRIx64, download_.received, download_.blocks,
                  download_.hash.value());
    download_ = Download{};
    say(line);
  }

  // False at the end of the input.
  bool read_commands() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (::poll(&input, 1, 0) > 0) {
      char chunk[256];
      const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) return false;
      input_.append(chunk, static_cast<size_t>(n));
      if (input_.size() > 4096) input_.clear();  // no command is that long
    }
    for (size_t end; (end = input_.find('\n')) != std::string::npos;) {
      const std::string line = input_.substr(0, end);
      input_.erase(0, end + 1);
      if (line.rfind("get ", 0) == 0) request(line.substr(4));
    }
    return true;
  }

  void request(const std::string& name) {
    if (!connected_ || pending_.active || download_.requested || download_.receiving) {
      say("failed not connected or busy");
      return;
    }
    download_ = Download{};
    download_.requested = true;
    send_counted(PDU_FILE_REQUEST, reinterpret_cast<const uint8_t*>(name.data()), std::min(name.size(), size_t{127}));
  }

  void retransmit(Clock::time_point now) {
    if (!pending_.active || now < pending_.due) return;
    if (pending_.transmissions >= MAX_TRANSMISSIONS) {
      pending_.active = false;
      if (download_.requested) say("failed no file response");
      download_ = Download{};
      return;
    }
    ::sendto(fd_, pending_.frame.data(), pending_.size, 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    ++pending_.transmissions;
    pending_.due = now + RETRY_AFTER;
  }

  int fd_ = -1;
  bool echo_ = false;
  MacAddress own_{};
  sockaddr_ll to_{};
  bool connected_ = false;
  MacAddress peer_{};
  uint16_t cid_ = 0;
  uint32_t tseq_ = 0;  // next byte this radio sends
  uint32_t rseq_ = 0;  // next byte expected from the program
  Pending pending_;
  Download download_;
  std::string echo_queue_;
  std::string input_;
};

}  // namespace

int main(int argc, char** argv) {
  const bool echo = argc == 3 && std::strcmp(argv[2], "--echo") == 0;
  if (argc < 2 || argc > 3 || (argc == 3 && !echo)) {
    std::fprintf(stderr, "usage: %s IFACE [--echo]\n", argv[0]);
    return 2;
  }
  MiniRadio radio;
  if (!radio.open(argv[1], echo)) {
    std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
    return 1;
  }
  return radio.run();
}
