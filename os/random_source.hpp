// The kernel's random source.
#pragma once

#include <cstdint>
#include <span>

namespace orvex {

// Fills `out` from the kernel's random source (getrandom; /dev/urandom on a
// kernel without it). False when neither can be read.
bool system_random_bytes(std::span<uint8_t> out);

}  // namespace orvex
