// Packet capture: the network interfaces there are, and raw frames in and out
// of one of them. main makes the host's (os/pcap_capture.hpp) and hands it to
// what lists or opens interfaces; tests hand in a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/mac_address.hpp"

namespace orvex {

// The adapter list holds no more interfaces than this.
constexpr size_t LISTED_INTERFACES_MAX = 15;

struct InterfaceInfo {
  std::string name;        // as libpcap lists it
  MacAddress address{};    // the interface's current hardware address
  bool address_known = false;
  bool ethernet = false;   // ARP hardware type Ethernet
  bool up = false;         // administratively up
  bool loopback = false;
  bool carrier = false;    // the link is up
};

// Receives each frame that a read takes from the interface.
using FrameSink = std::function<void(std::span<const uint8_t> frame)>;

// One interface opened for this protocol's frames: not promiscuous, frames
// delivered at once, a kernel buffer of at least 1024 frames (a burst of
// answers from every radio the table holds), and only frames with our SNAP
// header (tagged or not) let through by a kernel filter; our own frames are
// not handed back.
class CaptureHandle {
 public:
  virtual ~CaptureHandle() = default;
  // Narrows the kernel filter to frames addressed to `local` or broadcast,
  // tagged or not: frames between other stations then wake no reader. False
  // when the filter could not be changed (the wider one stays).
  virtual bool accept_destination(const MacAddress& local) = 0;
  // Puts the frame on the wire once, unchanged: its length, or -1 when there
  // were no resources for it.
  virtual int send(std::span<const uint8_t> frame) = 0;
  // Waits at most 300 ms for traffic (for 100 us after a frame left without
  // sleeping, the answer being due; a reader asleep when a frame leaves is
  // woken for that; after a few such look-outs in a row found nothing, none
  // for a while) and hands at most `max_frames` frames to
  // `sink`, leaving any others in the kernel for the next read. The number of
  // frames handed over (0 when the wait passed), or -1 when the read failed.
  virtual int receive(int max_frames, const FrameSink& sink) = 0;
};

class PacketCapture {
 public:
  virtual ~PacketCapture() = default;
  // The interfaces in libpcap's order, without capture sources that are no
  // network interface ("any", monitors), at most LISTED_INTERFACES_MAX. False
  // when they cannot be listed (last_error tells why).
  virtual bool list_interfaces(std::vector<InterfaceInfo>& interfaces) = 0;
  // Null on failure, with last_error() telling why.
  virtual std::unique_ptr<CaptureHandle> open(const std::string& name) = 0;
  // The errno value of the last failure.
  virtual long last_error() const = 0;
};

}  // namespace orvex
