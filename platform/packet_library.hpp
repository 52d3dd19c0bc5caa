// The packet library's adapter side: the list of adapter names, opening one
// adapter for traffic, its medium and its driver requests. The data path of an
// open adapter is the PacketAdapter of platform/packet_adapter.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/packet_adapter.hpp"

namespace orvex {

constexpr size_t ADAPTER_NAMES_SIZE = 2048;

// Medium numbers as the library reports them: 0 is an 802.3 (Ethernet) medium.
constexpr uint32_t MEDIUM_802_3 = 0;
constexpr uint32_t MEDIUM_802_5 = 1;
constexpr uint32_t MEDIUM_WAN = 3;

// The driver request that reads the adapter's vendor code (4 bytes).
constexpr uint32_t OID_VENDOR_ID = 0x0001010C;

struct LinkType {
  uint32_t link_type = 0;
  uint32_t link_speed = 0;
};

// An adapter opened with the frame layer's settings: not promiscuous, frames
// delivered at once, 300 ms read time-out, 512000-byte kernel buffer, and only
// frames of this protocol let through.
class OpenedAdapter : public PacketAdapter {
 public:
  // A number that identifies the open adapter in traces.
  virtual uint32_t handle_value() const = 0;
  // The medium and its speed; false when they cannot be read.
  virtual bool get_net_type(LinkType& type) = 0;
  // A query request: fills `data` with the answer; false when the adapter
  // does not answer it.
  virtual bool request(uint32_t oid, std::span<uint8_t> data) = 0;
};

class PacketLibrary {
 public:
  virtual ~PacketLibrary() = default;
  // Fills `buffer` with the adapter names, each ended by a NUL and the list by
  // an empty name, in 8-bit or 16-bit (little-endian) characters. `size` holds
  // the buffer's size on entry and the bytes used on return. False on failure,
  // with last_error() telling why.
  virtual bool get_adapter_names(std::span<uint8_t> buffer, uint32_t& size) = 0;
  // Opens the named adapter; null on failure, with last_error() telling why.
  virtual std::unique_ptr<OpenedAdapter> open(const std::string& name) = 0;
  // The system error code of the last failure (an errno value on Linux).
  virtual long last_error() const = 0;
};

// The library in use: the host's own unless a test installed another.
PacketLibrary& packet_library();
void set_packet_library(PacketLibrary* library);  // null: the host's own

// The host's own library (libpcap on Linux).
PacketLibrary& system_packet_library();

}  // namespace orvex
