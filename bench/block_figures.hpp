// What a captured stop-and-wait transfer shows: blocks and repeats, the time a
// block takes from the first to the last one on the wire, and the sender's
// turnaround (an acknowledgement's arrival to the next block's departure), all
// from the kernel's time stamps on the sender's interface.
#pragma once

#include <vector>

#include "base/mac_address.hpp"
#include "bench/wire_capture.hpp"

namespace orvex::bench {

// How the blocks and acknowledgements of a transfer look on the wire.
enum class Exchange {
  raw,    // the bare exchange: EtherType 88B5, a sequence number at byte 14
  orvex,  // the program's file blocks (big-endian headers) and the radio's acknowledgements
  tftp,   // TFTP over UDP/IPv4: DATA and ACK
};

struct BlockFigures {
  long blocks = 0;  // sent once or more
  long resent = 0;  // repeated sends
  double us_per_block = 0;
  std::vector<double> gaps_us;   // from each new block to the next: one round trip each
  std::vector<double> turns_us;  // one per block that followed an acknowledgement
};

// `sender` is the address the blocks come from.
BlockFigures analyse_blocks(const std::vector<Captured>& frames, Exchange kind, const MacAddress& sender);

// The value below which the fraction `p` (0..1) of `v` lies; 0 for none.
double percentile(std::vector<double> v, double p);
inline double median(const std::vector<double>& v) { return percentile(v, 0.5); }

}  // namespace orvex::bench
