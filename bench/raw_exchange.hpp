// The raw ceiling of a link: a stop-and-wait exchange of one block and a short
// acknowledgement over plain packet sockets, with nothing of the program in
// between. Both ends run here, one thread each. The sender either sleeps in
// its read for the acknowledgement or reads without waiting until it comes, as
// the program's look-out does after a frame leaves: a ceiling that sleeps is
// woken for every frame, which the program is not.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace orvex::bench {

struct RawFigures {
  bool ok = false;
  std::string error;
  long round_trips = 0;  // measured, after the warm-up
  long lost = 0;         // blocks sent again after a silent wait (200 ms)
  double seconds = 0;
};

// Where the two ends run: the sender on one CPU, the answering end on another.
struct RawPlacement {
  int sender_cpu = 0;
  int answer_cpu = 1;
};

// How the sender waits for an acknowledgement; the answering end always sleeps
// in its read.
enum class RawWait {
  sleeping,  // a blocking read
  polling,   // reads that do not wait, one after another, for at most 200 ms a block
};

// `block` and `ack` are whole frame sizes (Ethernet header included). The
// sender lives on (ns_a, dev_a), the answering end on (ns_b, dev_b), each in a
// thread of its own. At most `round_trips` exchanges after a warm-up, and never
// longer than `time_limit_s`; `stop` ends it early (a signal).
RawFigures run_raw_exchange(const std::string& ns_a, const std::string& dev_a, const std::string& ns_b,
                            const std::string& dev_b, size_t block, size_t ack, long round_trips, double time_limit_s,
                            RawPlacement placement, RawWait sender_wait, const std::atomic<bool>& stop);

}  // namespace orvex::bench
