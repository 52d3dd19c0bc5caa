#include "tools/radiosim/radio_link.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "tools/radiosim/radio_frames.hpp"
#include "wire/frame.hpp"

namespace orvex::sim {

namespace {

// Data and file requests wait for an acknowledgement; errors, restores and
// disconnects go out once.
bool waits_for_ack(const OutItem& item) {
  return !item.payload.empty() && (item.pdu == PDU_DATA || item.pdu == PDU_FILE_REQUEST);
}

}  // namespace

void note(RadioOutput& out, const Radio& r, const std::string& text) {
  out.events.push_back(r.config.name + ": " + text);
}

std::string printf_text(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

std::vector<uint8_t> connection_frame(Radio& r, uint16_t pdu, std::span<const uint8_t> payload) {
  auto frame = build_radio_frame(r.peer, r.config.mac, pdu, r.cid, r.tseq, r.rseq, payload);
  r.tseq += static_cast<uint32_t>(std::min(payload.size(), MAX_PAYLOAD_SIZE));
  return frame;
}

void send_once(Radio& r, uint16_t pdu, std::span<const uint8_t> payload, RadioOutput& out) {
  out.frames.push_back(connection_frame(r, pdu, payload));
}

void send_ack(Radio& r, RadioOutput& out) { send_once(r, PDU_ACK, {}, out); }

void send_error(Radio& r, const std::string& text, RadioOutput& out) {
  std::vector<uint8_t> payload(text.begin(), text.end());
  payload.push_back(0);
  send_once(r, PDU_ERROR, payload, out);
}

void drop_connection(Radio& r) {
  r.state = LinkState::idle;
  r.pending = PendingSend{};
  r.queue.clear();
  r.editor = LineEditor{};
  r.hung = false;
  r.download = Download{};
  r.ack_deferred = r.ack_held_last = false;
}

void queue_text(Radio& r, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    if (r.queue.empty() || r.queue.back().pdu != PDU_DATA || r.queue.back().payload.size() >= OUTPUT_CHUNK) {
      r.queue.push_back(OutItem{PDU_DATA, {}});
    }
    auto& payload = r.queue.back().payload;
    const size_t n = std::min(OUTPUT_CHUNK - payload.size(), text.size() - at);
    payload.insert(payload.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
                   text.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  }
}

void queue_pdu(Radio& r, uint16_t pdu, std::vector<uint8_t> payload) {
  r.queue.push_back(OutItem{pdu, std::move(payload)});
}

void pump(Radio& r, uint64_t now_ms, RadioOutput& out) {
  while (r.state == LinkState::connected && !r.pending.active && !r.ack_deferred && !r.queue.empty()) {
    OutItem item = std::move(r.queue.front());
    r.queue.pop_front();
    if (item.pdu == PDU_DISCONNECT) {
      send_once(r, PDU_DISCONNECT, {}, out);
      note(out, r, "session ended by the radio (disconnect sent)");
      drop_connection(r);
      return;
    }
    if (!waits_for_ack(item)) {
      send_once(r, item.pdu, item.payload, out);
      continue;
    }
    r.pending.frame = connection_frame(r, item.pdu, item.payload);
    r.pending.active = true;
    r.pending.ack_target = r.tseq;
    r.pending.timeout_ms = RETRY_TIMEOUT_MS;
    r.pending.due_ms = now_ms + RETRY_TIMEOUT_MS;
    r.pending.transmissions = 1;
    out.frames.push_back(r.pending.frame);
  }
}

void take_ack(Radio& r, uint32_t peer_rseq) {
  if (!r.pending.active) return;
  const auto reached = static_cast<int32_t>(peer_rseq - r.pending.ack_target);
  const auto beyond = static_cast<int32_t>(r.tseq - peer_rseq);
  if (reached >= 0 && beyond >= 0) r.pending.active = false;
}

std::string answer_prefix(const Radio& r) { return r.config.faults.escapes ? CLEAR_SEQUENCE : ""; }

}  // namespace orvex::sim
