// The adapters libpcap knows: which are usable Ethernet adapters
// with a known address, the operator's choice of one, and opening it.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/config.hpp"
#include "base/failure.hpp"
#include "base/mac_address.hpp"
#include "base/view.hpp"
#include "link/frame_io.hpp"
#include "os/host_info.hpp"
#include "os/packet_capture.hpp"

namespace orvex {

constexpr int MAX_ADAPTERS = 15;

struct AdapterEntry {
  std::string name;  // exactly as libpcap listed it
  MacAddress mac;
  bool address_known = false;
  uint8_t usable = 0;
};

struct AdapterTable {
  std::array<AdapterEntry, MAX_ADAPTERS> entries;
  int adapter_count = -1;  // names stored; -1 while the list is empty
  int usable_count = 0;
  bool refused_raw_access = false;  // an adapter did not open for lack of privileges
  bool raw_access_hint_given = false;
  std::vector<std::string> down;  // Ethernet interfaces that are administratively down
};

// One choice of adapter at start-up: the table it fills, the configuration
// whose local address it sets, the frame input and output it attaches the
// opened adapter to, the view it reports through, the capture that lists and
// opens the interfaces and the host the host check tells of.
struct AdapterChoice {
  Config& config;
  FrameIo& io;
  View& view;
  PacketCapture& capture;
  HostInfo& host;
  std::FILE* replies = stdin;  // where the operator's reply to the prompt is read
  AdapterTable table{};
};

// Host check, adapter list, probe and address check; the usable count is the
// table's. The table holds the Ethernet interfaces that are up (loopback
// aside), in libpcap's order; their Ids are their places in it.
// Fails when the list cannot be read (ADAPTERS_NOT_LISTED) or no adapter is
// usable (NO_USABLE_ADAPTER, after a key press); when they refused for lack of
// privileges, after the advice on getting them.
Failure find_adapters(AdapterChoice& choice);
void list_adapters(const AdapterChoice& choice);
int first_usable_adapter(const AdapterChoice& choice);
// Opens the adapter for traffic and makes its address the local one.
// INVALID_ADAPTER when the Id names no usable adapter; ADAPTER_NOT_OPENED
// (after a key press) when the adapter does not open.
Failure open_adapter(AdapterChoice& choice, int id);
// The Id of the opened adapter, or the failure: one of find_adapters' or
// open_adapter's; INVALID_ADAPTER when no usable adapter is left or none has
// the name given with -c (the adapters are named) or the only one did not
// open; ADAPTER_NOT_CHOSEN when standard input ended before one was chosen
// (the adapters are named, so that -c can choose next time).
struct AdapterSelection {
  int id = -1;
  Failure failure = Failure::NONE;
};
AdapterSelection select_adapter(AdapterChoice& choice);

// Reads one reply line: `answer` becomes its leading decimal number, or stays
// as it is when the reply holds none. False when no line came: the input had
// ended.
bool read_adapter_reply(std::FILE* input, int& answer);

// -D: the adapters find_adapters would number, with the same Ids, their
// addresses and whether their links are up, opening none. The number listed,
// or -1 when the interfaces cannot be listed.
int print_adapter_list(PacketCapture& capture, View& view);

}  // namespace orvex
