// What the program driver and the keyboard decide between sessions.
#pragma once

#include "base/shared_field.hpp"

namespace orvex {

struct RunState {
  int rows_during_discovery = 1;
  SharedField<int> new_session_requested{0};
  int radios_found = 0;
};

}  // namespace orvex
