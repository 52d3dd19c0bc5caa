// The wire between one radio and the segment, made unreliable on request:
// frames lost, sent twice or held back behind the next one, each by a given
// percentage, in each direction. Every radio's wire draws from its own
// generator seeded from --seed, so a run repeats as long as the frames do.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace orvex::sim {

using Frame = std::vector<uint8_t>;

// How long a held frame waits for the one that is to overtake it: longer than
// a sender's first retransmission time-out, so a held frame may also come
// after its own repetition, as a late copy does on a real segment.
constexpr uint64_t REORDER_HOLD_MS = 400;

// What the wire did with one frame.
enum class WireFate { passed, lost, doubled, held };

// One direction of the wire. Percentages 0..100; all 0: every frame passes.
class WireDirection {
 public:
  WireDirection(uint32_t loss, uint32_t duplicate, uint32_t reorder, std::seed_seq& seed);

  // Puts `frame` on the wire: appends to `arriving`, in order, what reaches the
  // far end now (nothing, the frame, the frame twice, or the frame followed by
  // the one held back before it).
  WireFate pass(Frame frame, uint64_t now_ms, std::vector<Frame>& arriving);
  // Lets a held frame through once its time is up; true when it did.
  bool release_due(uint64_t now_ms, std::vector<Frame>& arriving);
  // When the held frame is let through at the latest; UINT64_MAX when none is held.
  uint64_t deadline() const;

 private:
  bool draw(uint32_t percent);

  uint32_t loss_;
  uint32_t duplicate_;
  uint32_t reorder_;
  std::mt19937 generator_;
  std::optional<Frame> held_;
  uint64_t held_until_ = 0;
};

// A radio's two directions: `in` carries what the segment sends to the radio,
// `out` what the radio sends.
struct RadioWire {
  WireDirection in;
  WireDirection out;
};

}  // namespace orvex::sim
