#include "platform/packet_adapter.hpp"

#include <cstring>

#include "protocol/byte_order.hpp"

namespace orvex {

size_t append_capture_record(std::span<uint8_t> block, size_t offset, const CaptureRecord& record,
                             std::span<const uint8_t> frame) {
  const size_t header = record.header_length;
  if (header < CAPTURE_RECORD_HEADER_SIZE || offset > block.size() ||
      block.size() - offset < header + frame.size()) {
    return 0;
  }
  uint8_t* p = block.data() + offset;
  std::memset(p, 0, header);
  put_le32(p, record.seconds);
  put_le32(p + 4, record.microseconds);
  put_le32(p + 8, static_cast<uint32_t>(frame.size()));
  put_le32(p + 12, record.wire_length != 0 ? record.wire_length : static_cast<uint32_t>(frame.size()));
  put_le16(p + 16, record.header_length);
  std::memcpy(p + header, frame.data(), frame.size());
  return (offset + header + frame.size() + 3) & ~size_t{3};
}

bool read_capture_record(std::span<const uint8_t> block, size_t offset, CaptureRecord& record) {
  if (offset > block.size() || block.size() - offset < CAPTURE_RECORD_HEADER_SIZE) return false;
  const uint8_t* p = block.data() + offset;
  record.seconds = get_le32(p);
  record.microseconds = get_le32(p + 4);
  record.captured_length = get_le32(p + 8);
  record.wire_length = get_le32(p + 12);
  record.header_length = get_le16(p + 16);
  return true;
}

}  // namespace orvex
