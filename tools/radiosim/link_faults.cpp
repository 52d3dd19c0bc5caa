#include "tools/radiosim/link_faults.hpp"

#include <limits>
#include <utility>

namespace orvex::sim {

WireDirection::WireDirection(uint32_t loss, uint32_t duplicate, uint32_t reorder, std::seed_seq& seed)
    : loss_(loss), duplicate_(duplicate), reorder_(reorder), generator_(seed) {}

bool WireDirection::draw(uint32_t percent) {
  // No draw for a fault that is off: switching one fault on leaves the others'
  // sequence of decisions as it was.
  if (percent == 0) return false;
  return std::uniform_int_distribution<uint32_t>(0, 99)(generator_) < percent;
}

WireFate WireDirection::pass(Frame frame, uint64_t now_ms, std::vector<Frame>& arriving) {
  if (draw(loss_)) return WireFate::lost;
  const bool doubled = draw(duplicate_);
  if (!held_ && draw(reorder_)) {
    held_ = std::move(frame);
    held_until_ = now_ms + REORDER_HOLD_MS;
    return WireFate::held;
  }
  if (doubled) arriving.push_back(frame);
  arriving.push_back(std::move(frame));
  // The frame held back arrives behind the one that overtook it.
  if (held_) {
    arriving.push_back(std::move(*held_));
    held_.reset();
  }
  return doubled ? WireFate::doubled : WireFate::passed;
}

bool WireDirection::release_due(uint64_t now_ms, std::vector<Frame>& arriving) {
  if (!held_ || now_ms < held_until_) return false;
  arriving.push_back(std::move(*held_));
  held_.reset();
  return true;
}

uint64_t WireDirection::deadline() const {
  return held_ ? held_until_ : std::numeric_limits<uint64_t>::max();
}

}  // namespace orvex::sim
