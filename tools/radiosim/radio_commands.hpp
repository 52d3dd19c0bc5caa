// The radio's command line and its file download: typed bytes in, echo and
// answers out, files asked for and stored.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tools/radiosim/radio.hpp"

namespace orvex::sim {

void take_typed_bytes(Radio& r, std::span<const uint8_t> bytes, uint64_t now_ms, RadioOutput& out);

// The program's answer to the radio's file request, then the file's blocks;
// an empty block ends a file whose size is a multiple of the block size.
void take_file_response(Radio& r, std::span<const uint8_t> payload, RadioOutput& out);
void take_file_block(Radio& r, std::span<const uint8_t> block, uint64_t now_ms, RadioOutput& out);
void take_empty_block(Radio& r, RadioOutput& out);

// Abandons the download with a message and a new prompt.
void end_download(Radio& r, const std::string& text);

}  // namespace orvex::sim
