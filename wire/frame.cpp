#include "wire/frame.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/address_text.hpp"
#include "base/byte_order.hpp"

namespace orvex {

std::optional<FrameHeader> read_frame_header(std::span<const uint8_t> frame) {
  if (frame.size() < FRAME_HEADER_SIZE) return std::nullopt;
  const uint8_t* p = frame.data();
  FrameHeader h;
  h.destination = MacAddress::from(p + OFFSET_DESTINATION);
  h.source = MacAddress::from(p + OFFSET_SOURCE);
  h.length = get_be16(p + OFFSET_LENGTH);
  h.pdu = get_be16(p + OFFSET_PDU);
  h.cid = get_be16(p + OFFSET_CID);
  h.tseq = get_be32(p + OFFSET_TSEQ);
  h.rseq = get_be32(p + OFFSET_RSEQ);
  h.nbytes = get_be32(p + OFFSET_NBYTES);
  return h;
}

std::optional<FrameView> parse_frame(std::span<const uint8_t> bytes, int vlan, bool big_endian) {
  if (bytes.size() < FRAME_HEADER_SIZE) return std::nullopt;
  ByteReader in(bytes);
  FrameView f;
  f.bytes = bytes;
  f.header.destination = MacAddress::from(in.bytes(6).data());
  f.header.source = MacAddress::from(in.bytes(6).data());
  uint16_t length = in.be16();
  if (length == VLAN_TPID) {
    f.tagged = true;
    f.tag_control = in.be16();
    const int id = f.tag_control & 0x0FFF;
    if (vlan == UNTAGGED_ONLY || (vlan != ANY_VLAN && id != (vlan & 0x0FFF))) return std::nullopt;
    length = in.be16();
  }
  const std::span<const uint8_t> snap = in.bytes(SNAP_HEADER.size());
  if (!in.ok() || length > MAX_LENGTH_FIELD) return std::nullopt;
  if (!std::equal(SNAP_HEADER.begin(), SNAP_HEADER.end(), snap.begin())) return std::nullopt;
  f.header.length = length;
  const auto u16 = [&in, big_endian] { return big_endian ? in.be16() : in.le16(); };
  const auto u32 = [&in, big_endian] { return big_endian ? in.be32() : in.le32(); };
  f.header.pdu = u16();
  f.header.cid = u16();
  in.skip(2);
  f.header.tseq = u32();
  f.header.rseq = u32();
  f.header.nbytes = u32();
  if (!in.ok()) return std::nullopt;
  const size_t arrived = in.remaining();
  const size_t at = bytes.size() - arrived;
  f.whole = f.header.nbytes <= MAX_PAYLOAD_SIZE && f.header.nbytes <= arrived;
  f.payload = bytes.subspan(at, f.whole ? f.header.nbytes : std::min(arrived, MAX_PAYLOAD_SIZE));
  return f;
}

bool encode_frame(std::span<uint8_t> frame, const OutgoingHeader& h, const uint8_t* payload, int& size) {
  if (size < 0 || static_cast<size_t>(size) > MAX_PAYLOAD_SIZE) return false;
  const size_t needed = FRAME_HEADER_SIZE + static_cast<size_t>(size) + (h.vlan_id != 0 ? VLAN_TAG_SIZE : 0);
  if (frame.size() < needed || (size > 0 && payload == nullptr)) return false;

  uint8_t* p = frame.data();
  std::memcpy(p + OFFSET_DESTINATION, h.destination.bytes.data(), 6);
  std::memcpy(p + OFFSET_SOURCE, h.source.bytes.data(), 6);
  put_be16(p + OFFSET_LENGTH, static_cast<uint16_t>(size + static_cast<int>(FRAME_HEADER_SIZE)));
  std::memcpy(p + OFFSET_SNAP, SNAP_HEADER.data(), SNAP_HEADER.size());
  put_u16(p + OFFSET_PDU, h.pdu, h.big_endian);
  put_u16(p + OFFSET_CID, h.cid, h.big_endian);
  put_be16(p + 26, 0);
  put_u32(p + OFFSET_TSEQ, h.tseq, h.big_endian);
  put_u32(p + OFFSET_RSEQ, h.rseq, h.big_endian);
  put_u32(p + OFFSET_NBYTES, static_cast<uint32_t>(size), h.big_endian);
  if (size > 0) std::memcpy(p + OFFSET_PAYLOAD, payload, static_cast<size_t>(size));

  if (h.vlan_id != 0) {
    const size_t total = FRAME_HEADER_SIZE + static_cast<size_t>(size);
    std::memmove(p + OFFSET_LENGTH + VLAN_TAG_SIZE, p + OFFSET_LENGTH, total - OFFSET_LENGTH);
    put_be16(p + OFFSET_LENGTH, VLAN_TPID);
    put_be16(p + OFFSET_LENGTH + 2, static_cast<uint16_t>(h.vlan_id));
    size += static_cast<int>(VLAN_TAG_SIZE);
  }
  return true;
}

bool addressed_here(const FrameView& f, const MacAddress& local) {
  const MacAddress& destination = f.header.destination;
  return destination.is_broadcast() || destination == local;
}

void insert_vlan_tag(std::vector<uint8_t>& frame, uint16_t vlan_id) {
  if (frame.size() < OFFSET_LENGTH) return;
  uint8_t tag[VLAN_TAG_SIZE];
  put_be16(tag, VLAN_TPID);
  put_be16(tag + 2, vlan_id);
  frame.insert(frame.begin() + OFFSET_LENGTH, tag, tag + VLAN_TAG_SIZE);
}

bool remove_vlan_tag(std::vector<uint8_t>& frame) {
  if (frame.size() < OFFSET_LENGTH + VLAN_TAG_SIZE || get_be16(frame.data() + OFFSET_LENGTH) != VLAN_TPID) {
    return false;
  }
  frame.erase(frame.begin() + OFFSET_LENGTH, frame.begin() + OFFSET_LENGTH + VLAN_TAG_SIZE);
  return true;
}

// --- Payloads ---------------------------------------------------------------

std::array<uint8_t, CONNECT_REQUEST_SIZE> build_connect_request(std::string_view host_name,
                                                                 uint8_t protocol_level) {
  std::array<uint8_t, CONNECT_REQUEST_SIZE> out{};
  size_t n = 0;
  for (char c : host_name) {
    if (c == ' ' || c == '\a') continue;
    if (c == '\0' || n == PAYLOAD_NAME_FIELD - 1) break;  // the NUL stays before byte 47
    out[n++] = static_cast<uint8_t>(c);
  }
  out[PAYLOAD_LEVEL_OFFSET] = protocol_level;
  return out;
}

std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> build_discovery_response(
    std::string_view host_name, uint32_t uptime_hundredths, std::string_view version_text) {
  std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> out{};
  size_t n = 0;
  for (char c : host_name) {
    const auto code = static_cast<uint8_t>(c);
    if (code == 0) break;
    if (code < 33 || code > 127) continue;
    if (n == PAYLOAD_NAME_FIELD - 1) break;
    out[n++] = code;
  }
  out[PAYLOAD_LEVEL_OFFSET] = 2;
  put_le32(out.data() + PAYLOAD_UPTIME_OFFSET, uptime_hundredths);
  const size_t v = std::min(version_text.size(), size_t{16});
  std::memcpy(out.data() + PAYLOAD_FIRMWARE_OFFSET, version_text.data(), v);
  return out;
}

DiscoveryResponse read_discovery_response(std::span<const uint8_t> payload, uint32_t nbytes) {
  DiscoveryResponse r;
  const size_t available = std::min(static_cast<size_t>(nbytes), payload.size());
  if (nbytes == 0) return r;
  r.has_name = true;
  const size_t name_bound = std::min(available, r.name.size());
  while (r.name_length < name_bound && payload[r.name_length] != 0) {
    r.name[r.name_length] = static_cast<char>(payload[r.name_length]);
    ++r.name_length;
  }
  if (nbytes >= 48 && available > PAYLOAD_LEVEL_OFFSET) r.protocol_level = payload[PAYLOAD_LEVEL_OFFSET];
  if (r.protocol_level >= 2) {
    for (size_t i = 0; i < r.firmware.size(); ++i) {
      const size_t at = PAYLOAD_FIRMWARE_OFFSET + i;
      if (at >= available || payload[at] == 0) break;
      r.firmware[i] = static_cast<char>(payload[at]);
    }
  }
  return r;
}

std::array<uint8_t, FILE_RESPONSE_SIZE> build_file_response(const FileResponse& response) {
  std::array<uint8_t, FILE_RESPONSE_SIZE> out{};
  put_le32(out.data(), static_cast<uint32_t>(response.status));
  put_le32(out.data() + 4, static_cast<uint32_t>(response.size));
  return out;
}

std::optional<FileResponse> read_file_response(std::span<const uint8_t> payload) {
  ByteReader in(payload);
  FileResponse r;
  r.status = static_cast<int32_t>(in.be32());
  r.size = static_cast<int32_t>(in.be32());
  if (!in.ok()) return std::nullopt;
  return r;
}

}  // namespace orvex
