// The adapters libpcap knows: which are usable Ethernet adapters
// with a known address, the operator's choice of one, and opening it.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/config.hpp"
#include "base/mac_address.hpp"
#include "link/frame_io.hpp"

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
// whose local address it sets and the frame input and output it attaches the
// opened adapter to.
struct AdapterChoice {
  Config& config;
  FrameIo& io;
  std::FILE* replies = stdin;  // where the operator's reply to the prompt is read
  AdapterTable table{};
};

// Host check, adapter list, probe and address check: the usable count. The
// table holds the Ethernet interfaces that are up (loopback aside), in
// libpcap's order; their Ids are their places in it.
// Ends the process when the list cannot be read (status 0) or no adapter is
// usable (status -1, after a key press); when they refused for lack of
// privileges, after the advice on getting them.
int find_adapters(AdapterChoice& choice);
void list_adapters(const AdapterChoice& choice);
int first_usable_adapter(const AdapterChoice& choice);
// Opens the adapter for traffic and makes its address the local one: 1, or 0
// when the Id names no usable adapter. Ends the process (status -1) when the
// adapter does not open.
int open_adapter(AdapterChoice& choice, int id);
// The Id of the opened adapter; -1 when no usable adapter is left or none has
// the name given with -c (the adapters are named); -2 when the only one did
// not open; ADAPTER_NOT_CHOSEN when standard input ended before one was chosen
// (the adapters are named, so that -c can choose next time).
constexpr int ADAPTER_NOT_CHOSEN = -3;
int select_adapter(AdapterChoice& choice);

// Reads one reply line: `answer` becomes its leading decimal number, or stays
// as it is when the reply holds none. False when no line came: the input had
// ended.
bool read_adapter_reply(std::FILE* input, int& answer);

// -D: the adapters find_adapters would number, with the same Ids, their
// addresses and whether their links are up, opening none. The number listed,
// or -1 when the interfaces cannot be listed.
int print_adapter_list();

}  // namespace orvex
