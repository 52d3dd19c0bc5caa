// The packet library's data path for one open adapter: send a frame once, read
// a block of capture records with a bounded wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvex {

// A capture block is a run of records, each a 20-byte header (little-endian:
// seconds, microseconds, captured length, length on the wire, header length)
// followed by the frame, the next record starting at the next multiple of 4.
constexpr size_t CAPTURE_RECORD_HEADER_SIZE = 20;
constexpr size_t CAPTURE_BUFFER_SIZE = 256000;

struct CaptureRecord {
  uint32_t seconds = 0;
  uint32_t microseconds = 0;
  uint32_t captured_length = 0;
  uint32_t wire_length = 0;
  uint16_t header_length = CAPTURE_RECORD_HEADER_SIZE;
};

// Appends one record at `offset`; returns the offset of the next record, or 0
// when the block has no room for it.
size_t append_capture_record(std::span<uint8_t> block, size_t offset, const CaptureRecord& record,
                             std::span<const uint8_t> frame);
// Reads the record header at `offset`; false when the header does not fit.
bool read_capture_record(std::span<const uint8_t> block, size_t offset, CaptureRecord& record);

class PacketAdapter {
 public:
  virtual ~PacketAdapter() = default;
  // Puts the frame on the wire once, unchanged. The frame's length, or -1 when
  // the library had no resources for it (nothing was sent).
  virtual int send(std::span<const uint8_t> frame) = 0;
  // Waits at most the read time-out for traffic and fills `block` with capture
  // records. Bytes of records, 0 when the time-out passed, -1 on failure.
  virtual int receive_block(std::span<uint8_t> block) = 0;
};

}  // namespace orvex
