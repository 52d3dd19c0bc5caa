// The frame layout of the link protocol: an 802.3 header, the SNAP header and
// the protocol header, then the payload; the optional 802.1Q tag; the payloads
// that carry structured data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/mac_address.hpp"

namespace orvex {

constexpr size_t ETHERNET_HEADER_SIZE = 14;
constexpr size_t ORVEX_HEADER_SIZE = 26;  // SNAP header and protocol header
constexpr size_t FRAME_HEADER_SIZE = ETHERNET_HEADER_SIZE + ORVEX_HEADER_SIZE;  // 40
constexpr size_t MAX_PAYLOAD_SIZE = 1500 - ORVEX_HEADER_SIZE;                   // 1474
constexpr size_t MAX_FRAME_SIZE = FRAME_HEADER_SIZE + MAX_PAYLOAD_SIZE;         // 1514
constexpr size_t VLAN_TAG_SIZE = 4;
constexpr size_t FRAME_BUFFER_SIZE = 1522;
// The length field counts the whole untagged frame, so 1514 at most; a larger
// value is an Ethernet II type, and the frame is none of this protocol.
constexpr uint16_t MAX_LENGTH_FIELD = 1514;
constexpr uint16_t VLAN_TPID = 0x8100;
constexpr std::array<uint8_t, 8> SNAP_HEADER = {0xAA, 0xAA, 0x03, 0x02, 0x7A, 0x41, 0x00, 0x01};

// Offsets inside an untagged frame.
constexpr size_t OFFSET_DESTINATION = 0;
constexpr size_t OFFSET_SOURCE = 6;
constexpr size_t OFFSET_LENGTH = 12;
constexpr size_t OFFSET_SNAP = 14;
constexpr size_t OFFSET_PDU = 22;
constexpr size_t OFFSET_CID = 24;
constexpr size_t OFFSET_TSEQ = 28;
constexpr size_t OFFSET_RSEQ = 32;
constexpr size_t OFFSET_NBYTES = 36;
constexpr size_t OFFSET_PAYLOAD = 40;

enum PduType : uint16_t {
  PDU_QUIET_DATA = 0,
  PDU_DATA = 1,
  PDU_ACK = 2,
  PDU_ERROR = 3,
  PDU_IDENTIFY_REQUEST = 4,
  PDU_IDENTIFY_RESPONSE = 5,
  PDU_CONNECT_REQUEST = 6,
  PDU_CONNECT_ACCEPT = 7,
  PDU_DISCONNECT = 8,
  PDU_FILE_REQUEST = 9,
  PDU_FILE_RESPONSE = 10,
  PDU_FILE_DATA = 11,
  PDU_STORED_DATA = 12,
  PDU_RESTORE = 13,
  // The identify request as this program broadcasts it: 04 00 on the wire.
  PDU_DISCOVERY_REQUEST = 0x0400,
};

// The 40-byte header of a received frame, its fields read big-endian.
struct FrameHeader {
  MacAddress destination;
  MacAddress source;
  uint16_t length = 0;
  uint16_t pdu = 0;
  uint16_t cid = 0;
  uint32_t tseq = 0;
  uint32_t rseq = 0;
  uint32_t nbytes = 0;
};

// Reads the header of an untagged frame; nothing when fewer than 40 bytes.
std::optional<FrameHeader> read_frame_header(std::span<const uint8_t> frame);

// A received frame of this protocol, read once: its header, its payload and
// the 802.1Q tag it came behind. The spans point into the bytes parsed.
struct FrameView {
  FrameHeader header;
  std::span<const uint8_t> bytes;    // the whole frame as it arrived, tag included
  std::span<const uint8_t> payload;  // NBytes bytes when whole, else what arrived (at most 1474)
  bool whole = false;                // NBytes is at most 1474 and that many bytes arrived
  bool tagged = false;
  uint16_t tag_control = 0;          // the tag's 16 bits: priority and VLAN id
};

// Which tagged frames parse_frame takes: none, those of one VLAN id, or any.
constexpr int UNTAGGED_ONLY = 0;
constexpr int ANY_VLAN = -1;

// Parses a received frame, tagged or not. Nothing when it is shorter than the
// header, its length field is no 802.3 length (above 1500), it lacks this
// protocol's SNAP header, or it is tagged and `vlan` does not take its tag:
// UNTAGGED_ONLY takes no tag, ANY_VLAN any, and a VLAN id (its low 12 bits)
// only tags with that id. The payload is bounded by what arrived. The program
// reads every radio's fields big-endian; a radio below level 2 reads the
// program's little-endian (`big_endian` false).
std::optional<FrameView> parse_frame(std::span<const uint8_t> bytes, int vlan, bool big_endian = true);

// The header fields of a frame this station sends. A radio of level 2 or more
// reads them big-endian, older radios little-endian.
struct OutgoingHeader {
  MacAddress destination;
  MacAddress source;
  uint16_t pdu = 0;
  uint16_t cid = 0;
  uint32_t tseq = 0;
  uint32_t rseq = 0;
  bool big_endian = true;
  int vlan_id = 0;  // 0: untagged
};

// Writes the header, the `size` payload bytes and, with a VLAN id, the tag into
// `frame`. `size` grows by 4 when a tag was inserted; the bytes to send are
// size + 40. Refuses (false, nothing written) a size outside 0..1474 or a
// buffer that is too small, so no caller can make it write past the buffer.
bool encode_frame(std::span<uint8_t> frame, const OutgoingHeader& header, const uint8_t* payload, int& size);

// The acceptance test of a parsed frame: addressed to `local` or broadcast
// (the SNAP header was checked by parse_frame).
bool addressed_here(const FrameView& frame, const MacAddress& local);

// Inserts an 802.1Q tag with `vlan_id` at offset 12 (the frame grows by 4).
void insert_vlan_tag(std::vector<uint8_t>& frame, uint16_t vlan_id);

// Removes an 802.1Q tag from a received frame, if it carries one in its data;
// true when a tag was removed.
bool remove_vlan_tag(std::vector<uint8_t>& frame);

// --- Payloads ---------------------------------------------------------------

constexpr size_t CONNECT_REQUEST_SIZE = 48;
constexpr size_t DISCOVERY_RESPONSE_SIZE = 72;
constexpr size_t FILE_RESPONSE_SIZE = 24;
constexpr size_t PAYLOAD_NAME_FIELD = 47;     // name and its NUL before the level byte
constexpr size_t PAYLOAD_LEVEL_OFFSET = 47;
constexpr size_t PAYLOAD_UPTIME_OFFSET = 52;
constexpr size_t PAYLOAD_FIRMWARE_OFFSET = 56;

// The host name without spaces and BEL, at most 46 characters, a NUL, and the
// level of the session being connected in byte 47.
std::array<uint8_t, CONNECT_REQUEST_SIZE> build_connect_request(std::string_view host_name,
                                                                 uint8_t protocol_level);

// This station's own identify response: the host name's characters 33..127
// (at most 46), level 2, uptime in 1/100 s little-endian, the version text.
std::array<uint8_t, DISCOVERY_RESPONSE_SIZE> build_discovery_response(
    std::string_view host_name, uint32_t uptime_hundredths, std::string_view version_text);

// What a radio's identify response tells, read only from the bytes that arrived.
struct DiscoveryResponse {
  bool has_name = false;  // false when NBytes is 0 ("Unknown name")
  std::array<char, 64> name{};  // up to 64 bytes, up to its NUL
  size_t name_length = 0;
  uint8_t protocol_level = 0;   // 0 when fewer than 48 bytes
  std::array<char, 16> firmware{};  // levels 2 and up: up to a NUL, zero padded
};

// `payload` is what arrived after the header; `nbytes` the header's NBytes. Only
// min(nbytes, payload.size()) bytes are read.
DiscoveryResponse read_discovery_response(std::span<const uint8_t> payload, uint32_t nbytes);

struct FileResponse {
  int32_t status = 0;  // 0 open, -1 not available, -2 invalid prefix
  int32_t size = 0;    // -1 unless status is 0
};

// The program writes a file response little-endian whatever the radio's level.
std::array<uint8_t, FILE_RESPONSE_SIZE> build_file_response(const FileResponse& response);
// A received file response is read big-endian; nothing when shorter than 8 bytes.
std::optional<FileResponse> read_file_response(std::span<const uint8_t> payload);

}  // namespace orvex
