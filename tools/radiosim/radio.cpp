#include "tools/radiosim/radio.hpp"

#include <algorithm>
#include <limits>

#include "base/address_text.hpp"
#include "tools/radiosim/radio_commands.hpp"
#include "tools/radiosim/radio_frames.hpp"
#include "tools/radiosim/radio_link.hpp"
#include "wire/frame.hpp"

namespace orvex::sim {

namespace {

// The host went on with other things before the file was whole.
void note_cut_short(Radio& r, const char* how, RadioOutput& out) {
  Download& d = r.download;
  if (!d.receiving || d.cut_short) return;
  d.cut_short = true;
  note(out, r, printf_text("download: %s cut short after %zu of %u bytes: %s", d.source.c_str(), d.data.size(),
                           d.expected, how));
}

// A frame that carries sequence-counted bytes from the peer.
void take_data(Radio& r, const RadioHeader& h, std::span<const uint8_t> payload, uint64_t now_ms,
               RadioOutput& out) {
  if (r.ack_deferred && !payload.empty()) {
    note(out, r, printf_text("%s with tseq %u not taken: an acknowledgement is held back", pdu_name(h.pdu), h.tseq));
    return;
  }
  if (h.tseq != r.rseq) {
    // A repetition (our acknowledgement was lost) or a gap: tell the peer where
    // to resume.
    if (!payload.empty()) {
      note(out, r, printf_text("%s with tseq %u while %u was expected: acknowledged again", pdu_name(h.pdu), h.tseq,
                               r.rseq));
      send_ack(r, out);
    }
    return;
  }
  if (payload.empty()) {
    if (h.pdu == PDU_FILE_DATA) take_empty_block(r, out);
    return;  // nothing to count, nothing to acknowledge
  }
  if (h.pdu == PDU_DATA && r.config.faults.fail_command != 0 && !r.command_failed) {
    const auto lines = static_cast<uint32_t>(count_completed_lines(r.editor, payload.data(), payload.size()));
    const uint32_t n = r.config.faults.fail_command;
    if (r.commands < n && n <= r.commands + lines) {
      r.hung = true;
      r.command_failed = true;
      note(out, r, printf_text("command %u fails: its frame is never acknowledged", n));
      return;
    }
  }
  if (h.pdu != PDU_FILE_DATA) note_cut_short(r, pdu_name(h.pdu), out);
  r.rseq += static_cast<uint32_t>(payload.size());
  r.download.last_activity_ms = now_ms;
  switch (h.pdu) {
    case PDU_DATA:
      send_ack(r, out);
      take_typed_bytes(r, payload, now_ms, out);
      break;
    case PDU_FILE_RESPONSE:
      take_file_response(r, payload, out);
      break;
    case PDU_FILE_DATA:
      take_file_block(r, payload, now_ms, out);
      break;
    case PDU_ERROR: {
      const auto end = std::find(payload.begin(), payload.end(), uint8_t{0});
      note(out, r, "error from the host: " + std::string(payload.begin(), end));
      send_ack(r, out);
      break;
    }
    default:
      send_ack(r, out);
      break;
  }
}

void answer_identify_request(Radio& r, const RadioHeader& h, uint64_t now_ms, RadioOutput& out) {
  const auto uptime = static_cast<uint32_t>((now_ms - r.start_ms) / 10);
  const auto payload = build_identify_response(r.config.name, r.config.level, r.config.firmware, uptime);
  out.frames.push_back(build_radio_frame(h.source, r.config.mac, PDU_IDENTIFY_RESPONSE, h.cid, 0, 0, payload));
  note(out, r, std::string("identify request from ") + format_mac_text(h.source) + " answered");
}

// refuse-connect: a set-up is its connection id; the program repeats its
// request with the same id until it gives up, and each repeat goes unanswered.
bool leave_unanswered(Radio& r, const RadioHeader& h, RadioOutput& out) {
  const bool repeat = r.connects_refused > 0 && h.cid == r.refused_cid && h.source == r.refused_peer;
  if (!repeat) {
    if (r.connects_refused >= r.config.faults.refuse_connects) return false;
    ++r.connects_refused;
    r.refused_cid = h.cid;
    r.refused_peer = h.source;
  }
  note(out, r, printf_text("connection request cid=%u left unanswered", unsigned{h.cid}));
  return true;
}

void accept_connection(Radio& r, const RadioHeader& h, std::span<const uint8_t> payload, RadioOutput& out) {
  if (r.state == LinkState::connected && h.cid == r.cid && h.source == r.peer) {
    out.frames.push_back(build_radio_frame(r.peer, r.config.mac, PDU_CONNECT_ACCEPT, r.cid, r.tseq, r.rseq, {}));
    note(out, r, "repeated connect request: accepted again");
    return;
  }
  const size_t name_bound = std::min(payload.size(), PAYLOAD_NAME_FIELD);
  const auto name_end = std::find(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(name_bound), uint8_t{0});
  const std::string host(payload.begin(), name_end);
  const int level = payload.size() > PAYLOAD_LEVEL_OFFSET ? payload[PAYLOAD_LEVEL_OFFSET] : -1;

  drop_connection(r);
  r.state = LinkState::connected;
  r.peer = h.source;
  r.cid = h.cid;
  // The request's own bytes are not counted: the peer starts at its TSEQ.
  r.rseq = h.tseq;
  r.tseq = h.rseq;
  out.frames.push_back(build_radio_frame(r.peer, r.config.mac, PDU_CONNECT_ACCEPT, r.cid, r.tseq, r.rseq, {}));
  note(out, r, printf_text("connected to %s (%s) cid=%u level=%d tseq=%u rseq=%u", host.c_str(),
                           format_mac_text(r.peer).c_str(), unsigned{r.cid}, level, r.tseq, r.rseq));
  queue_text(r, answer_prefix(r) +
                    printf_text("\r\n%s (firmware %s, protocol level %u)\r\n", r.config.name.c_str(),
                                r.config.firmware.c_str(), unsigned{r.config.level}) +
                    prompt_text(r));
}

}  // namespace

Radio make_radio(const RadioConfig& config, FileStore store, uint64_t now_ms) {
  Radio r;
  r.config = config;
  r.store = std::move(store);
  r.start_ms = now_ms;
  return r;
}

std::string prompt_text(const Radio& radio) { return radio.config.name + "> "; }

bool addressed_to(const Radio& radio, std::span<const uint8_t> frame) {
  if (frame.size() < 6) return false;
  const MacAddress destination = MacAddress::from(frame.data());
  return destination == radio.config.mac || destination.is_broadcast();
}

void handle_frame(Radio& r, std::span<const uint8_t> frame, uint64_t now_ms, RadioOutput& out) {
  const auto be = read_radio_header(frame, true);
  if (!be || be->source == r.config.mac) return;
  if (be->destination != r.config.mac && !be->destination.is_broadcast()) return;
  if (r.config.faults.silent) return;
  if (is_identify_request(*be)) {
    answer_identify_request(r, *be, now_ms, out);
    return;
  }
  if (be->destination.is_broadcast()) return;

  ++r.frames_addressed;
  const uint32_t drop_every = r.config.faults.drop_every;
  if (drop_every != 0 && r.frames_addressed % drop_every == 0) {
    note(out, r, printf_text("frame %llu lost on purpose", static_cast<unsigned long long>(r.frames_addressed)));
    return;
  }
  const auto h = read_radio_header(frame, r.config.level >= 2);
  const auto payload = frame_payload(frame, *h);
  if (!payload) {
    note(out, r, printf_text("PDU %u announces %u bytes but carries fewer: ignored", unsigned{h->pdu}, h->nbytes));
    return;
  }
  if (h->pdu == PDU_CONNECT_REQUEST) {
    if (leave_unanswered(r, *h, out)) return;
    accept_connection(r, *h, *payload, out);
    pump(r, now_ms, out);
    return;
  }
  if (r.state != LinkState::connected || h->source != r.peer || h->cid != r.cid) {
    note(out, r, printf_text("PDU %u %s cid=%u is not on a connection: ignored", unsigned{h->pdu}, pdu_name(h->pdu),
                             unsigned{h->cid}));
    return;
  }
  if (r.hung && h->pdu != PDU_DISCONNECT) {
    note(out, r, printf_text("PDU %u ignored: a command is failing", unsigned{h->pdu}));
    return;
  }
  switch (h->pdu) {
    case PDU_ACK:
      take_ack(r, h->rseq);
      break;
    case PDU_DISCONNECT:
      note_cut_short(r, "the session ended", out);
      note(out, r, "session ended by the host");
      drop_connection(r);
      return;
    case PDU_QUIET_DATA:
    case PDU_DATA:
    case PDU_ERROR:
    case PDU_FILE_RESPONSE:
    case PDU_FILE_DATA:
    case PDU_STORED_DATA:
      take_ack(r, h->rseq);
      take_data(r, *h, *payload, now_ms, out);
      break;
    default:
      note(out, r, printf_text("PDU %u %s ignored", unsigned{h->pdu}, pdu_name(h->pdu)));
      break;
  }
  pump(r, now_ms, out);
}

void handle_tick(Radio& r, uint64_t now_ms, RadioOutput& out) {
  if (r.ack_deferred && now_ms >= r.ack_due_ms) {
    r.ack_deferred = false;
    send_ack(r, out);
    if (r.ack_held_last) note(out, r, printf_text("released held acknowledgement (rseq %u)", r.rseq));
    r.ack_held_last = false;
  }
  if (r.pending.active && now_ms >= r.pending.due_ms) {
    if (r.pending.transmissions >= MAX_TRANSMISSIONS) {
      note(out, r, printf_text("no acknowledgement after %d transmissions: session given up", MAX_TRANSMISSIONS));
      drop_connection(r);
      return;
    }
    out.frames.push_back(r.pending.frame);
    ++r.pending.transmissions;
    r.pending.timeout_ms = r.pending.timeout_ms * 13 / 10;
    r.pending.due_ms = now_ms + r.pending.timeout_ms;
  }
  if (r.download.active && now_ms - r.download.last_activity_ms >= DOWNLOAD_IDLE_MS) {
    note(out, r, "download: " + r.download.source + " timed out");
    end_download(r, "Download of " + r.download.source + " timed out\r\n");
  }
  pump(r, now_ms, out);
}

uint64_t next_deadline(const Radio& r) {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  if (r.pending.active) next = r.pending.due_ms;
  if (r.ack_deferred) next = std::min(next, r.ack_due_ms);
  if (r.download.active) next = std::min(next, r.download.last_activity_ms + DOWNLOAD_IDLE_MS);
  return next;
}

}  // namespace orvex::sim
