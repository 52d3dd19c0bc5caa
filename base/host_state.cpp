#include "base/host_state.hpp"

namespace orvex {

HostState& host_state() {
  static HostState state;
  return state;
}

}  // namespace orvex
