#include "tools/radiosim/radio.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "cmdline/address_text.hpp"
#include "protocol/byte_order.hpp"
#include "protocol/frame.hpp"
#include "tools/radiosim/radio_frames.hpp"

namespace orvex::sim {

namespace {

// Cursor home and erase below: the radio's way of clearing its screen.
constexpr const char* CLEAR_SEQUENCE = "\x1b[H\x1b[J";

void note(RadioOutput& out, const Radio& r, const std::string& text) {
  out.events.push_back(r.config.name + ": " + text);
}

std::string printf_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// A frame on the connection, counted into tseq.
std::vector<uint8_t> connection_frame(Radio& r, uint16_t pdu, std::span<const uint8_t> payload) {
  auto frame = build_radio_frame(r.peer, r.config.mac, pdu, r.cid, r.tseq, r.rseq, payload);
  r.tseq += static_cast<uint32_t>(std::min(payload.size(), MAX_PAYLOAD_SIZE));
  return frame;
}

void send_once(Radio& r, uint16_t pdu, std::span<const uint8_t> payload, RadioOutput& out) {
  out.frames.push_back(connection_frame(r, pdu, payload));
}

void send_ack(Radio& r, RadioOutput& out) { send_once(r, PDU_ACK, {}, out); }

// An error PDU carries its text with the terminating NUL.
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

// Data and file requests wait for an acknowledgement; errors, restores and
// disconnects go out once.
bool waits_for_ack(const OutItem& item) {
  return !item.payload.empty() && (item.pdu == PDU_DATA || item.pdu == PDU_FILE_REQUEST);
}

void pump(Radio& r, uint64_t now_ms, RadioOutput& out) {
  while (r.state == LinkState::connected && !r.pending.active && !r.queue.empty()) {
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

// The peer's RSEQ acknowledges the frame in flight once it reaches the byte
// after it (and does not run past what was sent).
void take_ack(Radio& r, uint32_t peer_rseq) {
  if (!r.pending.active) return;
  const auto reached = static_cast<int32_t>(peer_rseq - r.pending.ack_target);
  const auto beyond = static_cast<int32_t>(r.tseq - peer_rseq);
  if (reached >= 0 && beyond >= 0) r.pending.active = false;
}

std::string answer_prefix(const Radio& r) { return r.config.faults.escapes ? CLEAR_SEQUENCE : ""; }

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

void start_download(Radio& r, const std::string& source, const std::string& destination, uint64_t now_ms,
                    RadioOutput& out) {
  if (r.download.active) {
    queue_text(r, "A download is already running\r\n" + prompt_text(r));
    return;
  }
  const std::string stored = destination.substr(destination.find_last_of('/') + 1);
  if (stored.empty() || stored == "." || stored == "..") {
    queue_text(r, "Invalid destination name: " + destination + "\r\n" + prompt_text(r));
    return;
  }
  const std::string requested = r.config.level == 0 ? "tmp/" + source : source;
  if (requested.size() > 127) {
    queue_text(r, "Source name too long\r\n" + prompt_text(r));
    return;
  }
  r.download = Download{};
  r.download.active = true;
  r.download.source = source;
  r.download.destination = stored;
  r.download.last_activity_ms = now_ms;
  note(out, r, "download: requesting \"" + requested + "\"");
  queue_pdu(r, PDU_FILE_REQUEST, std::vector<uint8_t>(requested.begin(), requested.end()));
}

void end_download(Radio& r, const std::string& text) {
  r.download = Download{};
  queue_text(r, text + prompt_text(r));
}

void finish_download(Radio& r, RadioOutput& out) {
  Download& d = r.download;
  const std::string lead = r.config.faults.print_during_transfer ? "\r\n" : "";
  if (d.data.size() != d.expected) {
    note(out, r, printf_text("download: %s ended after %zu of %u bytes", d.source.c_str(), d.data.size(), d.expected));
    end_download(r, lead + printf_text("Download of %s failed: %zu of %u bytes received\r\n", d.source.c_str(),
                                       d.data.size(), d.expected));
    return;
  }
  const bool stored = r.store && r.store(r.config.name, d.destination, d.data);
  if (!stored) {
    note(out, r, "download: could not store " + d.destination);
    end_download(r, lead + "Download of " + d.source + " failed: could not store " + d.destination + "\r\n");
    return;
  }
  note(out, r, printf_text("download: stored %s (%u bytes in %u blocks)", d.destination.c_str(), d.expected, d.blocks));
  end_download(r, lead + printf_text("Download complete: %u bytes stored as %s\r\n", d.expected, d.destination.c_str()));
}

void answer_line(Radio& r, const std::string& typed, uint64_t now_ms, RadioOutput& out) {
  const std::string line = trim(typed);
  if (line.empty()) {
    queue_text(r, prompt_text(r));
    return;
  }
  const uint32_t number = ++r.commands;
  note(out, r, printf_text("command %u: %s", number, line.c_str()));
  const RadioFaults& f = r.config.faults;
  if (f.restore_at == number) {
    note(out, r, "asks for a restore");
    queue_pdu(r, PDU_RESTORE, {});
    return;
  }
  if (f.error_at == number) {
    note(out, r, "answers with an error PDU");
    const std::string text = "Command failed: " + line;
    std::vector<uint8_t> payload(text.begin(), text.end());
    payload.push_back(0);
    queue_pdu(r, PDU_ERROR, std::move(payload));
    queue_text(r, prompt_text(r));
    return;
  }
  const auto words = split_words(line);
  const std::string& command = words[0];
  std::string answer;
  if (command == "download") {
    if (words.size() == 3) {
      start_download(r, words[1], words[2], now_ms, out);
      return;
    }
    answer = "Usage: download SRC DST\r\n";
  } else if (command == "sdp") {
    answer = words.size() == 2 ? "OK\r\n" : "Usage: sdp NAME\r\n";
  } else if (command == "logout") {
    queue_text(r, answer_prefix(r) + "Bye\r\n");
    queue_pdu(r, PDU_DISCONNECT, {});
    return;
  } else if (command == "help") {
    answer = "Commands: download SRC DST, sdp NAME, version, help, logout\r\n";
  } else if (command == "version") {
    answer = printf_text("%s firmware %s, protocol level %u\r\n", r.config.name.c_str(), r.config.firmware.c_str(),
                         unsigned{r.config.level});
  } else {
    answer = "Unknown command: " + command + "\r\n";
  }
  queue_text(r, answer_prefix(r) + answer + prompt_text(r));
}

void take_typed_bytes(Radio& r, std::span<const uint8_t> bytes, uint64_t now_ms, RadioOutput& out) {
  std::string echo;
  std::string completed;
  for (uint8_t byte : bytes) {
    const EditEvent event = edit_byte(r.editor, byte, echo, completed);
    if (event == EditEvent::none) continue;
    queue_text(r, echo);
    echo.clear();
    if (event == EditEvent::line) {
      answer_line(r, completed, now_ms, out);
    } else {
      queue_text(r, prompt_text(r));
    }
    if (r.state != LinkState::connected) return;
  }
  queue_text(r, echo);
}

void take_file_response(Radio& r, std::span<const uint8_t> payload, RadioOutput& out) {
  Download& d = r.download;
  if (!d.active || d.receiving) {
    note(out, r, "file response without a request: acknowledged");
    send_ack(r, out);
    return;
  }
  // The program writes the status and size little-endian whatever the level.
  const bool complete = payload.size() >= 8;
  const auto status = complete ? static_cast<int32_t>(get_le32(payload.data())) : -1;
  const auto size = complete ? static_cast<int32_t>(get_le32(payload.data() + 4)) : -1;
  if (status != 0) {
    send_ack(r, out);
    note(out, r, printf_text("download: %s refused by the host (status %d)", d.source.c_str(), status));
    end_download(r, printf_text("Download of %s failed: not available on the host (status %d)\r\n",
                                d.source.c_str(), status));
    return;
  }
  if (size < 0 || static_cast<uint32_t>(size) > MAX_DOWNLOAD_SIZE) {
    send_error(r, "File too large", out);
    note(out, r, printf_text("download: %s announced with %d bytes: refused", d.source.c_str(), size));
    end_download(r, "Download of " + d.source + " failed: file too large\r\n");
    return;
  }
  if (r.downloads_refused < r.config.faults.refuse_downloads) {
    ++r.downloads_refused;
    send_error(r, "Download refused", out);
    note(out, r, "download: " + d.source + " refused on purpose");
    end_download(r, "Download of " + d.source + " refused\r\n");
    return;
  }
  d.receiving = true;
  d.expected = static_cast<uint32_t>(size);
  d.data.reserve(d.expected);
  send_ack(r, out);
  note(out, r, printf_text("download: %s, %u bytes", d.source.c_str(), d.expected));
  if (r.config.faults.print_during_transfer) {
    queue_text(r, printf_text("Receiving %s (%u bytes) ", d.source.c_str(), d.expected));
  }
}

void take_file_block(Radio& r, std::span<const uint8_t> block, RadioOutput& out) {
  Download& d = r.download;
  if (!d.receiving) {
    note(out, r, "file data without a download: acknowledged");
    send_ack(r, out);
    return;
  }
  if (d.data.size() + block.size() > d.expected) {
    send_error(r, "File longer than announced", out);
    note(out, r, "download: " + d.source + " is longer than announced");
    end_download(r, "Download of " + d.source + " failed: file longer than announced\r\n");
    return;
  }
  d.data.insert(d.data.end(), block.begin(), block.end());
  ++d.blocks;
  send_ack(r, out);
  if (r.config.faults.print_during_transfer) queue_text(r, "#");
  // A file whose size is a multiple of the block size ends with an empty block.
  if (d.data.size() == d.expected && d.expected % FILE_BLOCK_SIZE != 0) finish_download(r, out);
}

void take_empty_block(Radio& r, RadioOutput& out) {
  if (r.config.faults.no_empty_ack) {
    note(out, r, "empty block not acknowledged on purpose");
  } else {
    send_ack(r, out);
  }
  if (r.download.receiving) finish_download(r, out);
}

// A frame that carries sequence-counted bytes from the peer.
void take_data(Radio& r, const RadioHeader& h, std::span<const uint8_t> payload, uint64_t now_ms,
               RadioOutput& out) {
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
      take_file_block(r, payload, out);
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
                           format_mac_text(r.peer), unsigned{r.cid}, level, r.tseq, r.rseq));
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
  if (r.download.active) next = std::min(next, r.download.last_activity_ms + DOWNLOAD_IDLE_MS);
  return next;
}

}  // namespace orvex::sim
