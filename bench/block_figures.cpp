#include "bench/block_figures.hpp"

#include <algorithm>
#include <cstring>
#include <set>

#include "base/byte_order.hpp"
#include "wire/frame.hpp"

namespace orvex::bench {

namespace {

constexpr uint16_t RAW_ETHERTYPE = 0x88B5;
constexpr uint16_t IPV4 = 0x0800;
constexpr uint8_t UDP = 17;
constexpr uint16_t TFTP_DATA = 3;
constexpr uint16_t TFTP_ACK = 4;

enum class Kind { block, ack, other };

struct Seen {
  Kind kind = Kind::other;
  uint32_t seq = 0;
};

Seen classify(const Captured& c, Exchange exchange, bool from_sender) {
  const uint8_t* p = c.head.data();
  if (c.kept < 14) return {};
  const uint16_t type = get_be16(p + 12);
  switch (exchange) {
    case Exchange::raw:
      if (type != RAW_ETHERTYPE || c.kept < 18) return {};
      return {from_sender ? Kind::block : Kind::ack, get_be32(p + 14)};
    case Exchange::orvex: {
      if (type > 1500 || c.kept < FRAME_HEADER_SIZE ||
          std::memcmp(p + OFFSET_SNAP, SNAP_HEADER.data(), SNAP_HEADER.size()) != 0) {
        return {};
      }
      const uint16_t pdu = get_be16(p + OFFSET_PDU);
      if (from_sender && pdu == PDU_FILE_DATA && get_be32(p + OFFSET_NBYTES) > 0) {
        return {Kind::block, get_be32(p + OFFSET_TSEQ)};
      }
      return {!from_sender && pdu == PDU_ACK ? Kind::ack : Kind::other, 0};
    }
    case Exchange::tftp: {
      if (type != IPV4 || c.kept < 34 || p[23] != UDP) return {};
      const size_t udp = 14 + size_t{static_cast<uint8_t>(p[14] & 0x0F)} * 4;
      if (c.kept < udp + 12) return {};
      const uint16_t opcode = get_be16(p + udp + 8);
      if (from_sender && opcode == TFTP_DATA) return {Kind::block, get_be16(p + udp + 10)};
      return {!from_sender && opcode == TFTP_ACK ? Kind::ack : Kind::other, 0};
    }
  }
  return {};
}

}  // namespace

BlockFigures analyse_blocks(const std::vector<Captured>& frames, Exchange kind, const MacAddress& sender) {
  BlockFigures f;
  std::set<uint32_t> sent;
  int64_t first = 0, last = 0, ack_at = 0;
  for (const Captured& c : frames) {
    const bool from_sender = c.kept >= 12 && MacAddress::from(c.head.data() + 6) == sender;
    const Seen seen = classify(c, kind, from_sender);
    if (seen.kind == Kind::ack) {
      if (ack_at == 0) ack_at = c.ns;
      continue;
    }
    if (seen.kind != Kind::block) continue;
    if (!sent.insert(seen.seq).second) {
      ++f.resent;
      ack_at = 0;
      continue;
    }
    if (f.blocks++ == 0) first = c.ns;
    if (f.blocks > 1) f.gaps_us.push_back(static_cast<double>(c.ns - last) / 1000.0);
    last = c.ns;
    if (ack_at != 0) f.turns_us.push_back(static_cast<double>(c.ns - ack_at) / 1000.0);
    ack_at = 0;
  }
  if (f.blocks > 1) f.us_per_block = static_cast<double>(last - first) / 1000.0 / static_cast<double>(f.blocks - 1);
  return f;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

}  // namespace orvex::bench
