// A raw Ethernet socket on one interface (AF_PACKET), in promiscuous mode so
// that frames for every simulated radio's address arrive.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvex::sim {

class RawSocket {
 public:
  RawSocket() = default;
  ~RawSocket();
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  // Opens the socket on `interface_name`; on failure `error` says why in plain words.
  bool open(const std::string& interface_name, std::string& error);
  // Whether the last open failed for want of the privilege raw frames need.
  bool lacks_privilege() const { return lacks_privilege_; }
  int fd() const { return fd_; }

  // Sends one complete frame; false when the kernel refused it.
  bool send(std::span<const uint8_t> frame);
  // Sends the frames back to back, as few system calls as the kernel takes
  // them in: how many left before a failure (all of them when none failed).
  size_t send_all(std::span<const std::vector<uint8_t>> frames);
  // The next received frame (frames this host sent are skipped): its length,
  // 0 when none is waiting, -1 on failure.
  int receive(std::span<uint8_t> buffer);

 private:
  int fd_ = -1;
  int ifindex_ = 0;
  bool lacks_privilege_ = false;
};

}  // namespace orvex::sim
