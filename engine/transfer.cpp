#include "engine/transfer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/clock.hpp"
#include "console/console.hpp"
#include "console/shown_text.hpp"
#include "engine/connection.hpp"
#include "engine/epacket.hpp"
#include "engine/following_blocks.hpp"
#include "engine/receive_state.hpp"

namespace orvex {

namespace {

constexpr size_t PREFIX_SCAN_LIMIT = 128;
constexpr char DOWNLOAD_OPEN_FAILED[] = "Could not open output file";
constexpr char FILE_CHANGED_REPORT[] = "File changed while served";
// A served file is read through a buffer of many blocks, so that reading the
// next block on an acknowledgement's arrival seldom waits for the kernel.
constexpr size_t SERVED_FILE_BUFFER_BYTES = 64 * 1024;

// Not on a terminal, where each update stays in the log: fewer updates.
constexpr uint64_t LOGGED_PROGRESS_INTERVAL_MS = 1000;
constexpr int LOGGED_PROGRESS_STEP = 10;

// A terminal shows every update over the one before; a log or a pipe gets one
// when a second has passed or a 10 % step is crossed.
bool progress_line_due(const Link& link, TransferState& t, int percent) {
  if (link.config.console.terminal) return true;
  Clock& clock = link.clock;
  const uint64_t now = clock.now_ms();
  if (now - t.last_progress_ms < LOGGED_PROGRESS_INTERVAL_MS &&
      percent / LOGGED_PROGRESS_STEP == t.last_progress_percent / LOGGED_PROGRESS_STEP) {
    return false;
  }
  t.last_progress_percent = percent;
  t.last_progress_ms = now;
  return true;
}

// Blocks of a multiple of 256 bytes go in two frames.
bool goes_in_two_frames(size_t length) { return length != 0 && length % 256 == 0; }

void report_final_progress(Connection& conn, Session& s) {
  TransferState& t = conn.transfer;
  if (t.final_progress_reported == 0) {
    conn.view.progress(s.bytes_sent.load(), 100, true);
  }
  t.final_progress_reported = 1;
}

// Under the block lock: the update run may end a transfer from the main thread
// while the dispatcher reads the next block.
void close_send_file(Connection& conn, Session& s) {
  std::lock_guard<std::mutex> lock(conn.transfer.block_mutex);
  if (s.send_file != nullptr) {
    std::fclose(s.send_file);
    s.send_file = nullptr;
  }
}

// Places the next payload of `s`'s connection for the transfer worker and wakes it.
void hand_over(Connection& conn, const Session& s, uint16_t pdu, const uint8_t* bytes, size_t length) {
  TransferState& t = conn.transfer;
  {
    std::lock_guard<std::mutex> lock(t.block_mutex);
    t.block.pdu = pdu;
    t.block.entry = entry_of(conn.sessions, s);
    t.block.cid = s.cid;
    t.block.length = static_cast<int32_t>(length);
    if (length != 0) std::memcpy(t.block.bytes.data(), bytes, length);
  }
  t.last_block_length = static_cast<int32_t>(length);
  conn.events.block_ready_event.set();
}


// The transfer has ended with the whole file handed over. The send of the last
// block (when it carried bytes) is still waiting for its acknowledgement.
void finish(Connection& conn, Session& s) {
  TransferState& t = conn.transfer;
  report_final_progress(conn, s);
  close_send_file(conn, s);
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  t.transfer_complete = 0;
  t.end_of_file_met = false;
  t.data_started = false;
  conn.events.transfer_done_event.set();
  // An empty last block was sent without a wait: a signal now would be left
  // pending and let the next data send return before its acknowledgement.
  if (t.last_block_length != 0) conn.events.ack_event.set();
}

// The served file changed under the transfer: the radio is told, nothing more
// of the file goes, and an update run counts the download as failed.
void fail_changed_file(Connection& conn, Session& s) {
  TransferState& t = conn.transfer;
  abandon_transfer(conn, s);
  say8(conn.view, "Error: Requested file [%s] changed while it was served\n",
       shown_text(t.requested_file_name.data(), conn.link.config.console).c_str());
  // The report is the transfer worker's to send: it waits for an
  // acknowledgement that only this thread delivers. The send waiting for the
  // block just acknowledged ends here.
  hand_over(conn, s, PDU_ERROR, reinterpret_cast<const uint8_t*>(FILE_CHANGED_REPORT), sizeof FILE_CHANGED_REPORT);
  t.last_block_length = 0;
  conn.events.ack_event.set();
  report_failure_in_update_run(conn, TransferFailure::FILE_CHANGED);
  conn.view.flush();
}

void append_suffix(std::array<char, REQUESTED_NAME_BUFFER_SIZE>& name) {
  const size_t length = strnlen(name.data(), REQUESTED_NAME_LIMIT);
  std::memcpy(name.data() + length, FILE_NAME_SUFFIX, sizeof FILE_NAME_SUFFIX);
}

// The file a radio asks for: the name as given, else with ".bin" appended
// (`name` then holds the longer one). fd -1 when neither can be served; `why`
// then tells of the name as given, unless that one is simply missing.
ServedFile open_requested_file(FileServer& files, std::array<char, REQUESTED_NAME_BUFFER_SIZE>& name,
                               ServeRefusal& why) {
  ServedFile file = files.open(name.data(), why);
  if (file.fd >= 0) return file;
  const ServeRefusal as_given = why;
  append_suffix(name);
  file = files.open(name.data(), why);
  if (file.fd < 0 && as_given != ServeRefusal::MISSING) why = as_given;
  return file;
}

ServedFile open_requested_file(FileServer& files, std::array<char, REQUESTED_NAME_BUFFER_SIZE>& name) {
  ServeRefusal why = ServeRefusal::NONE;
  return open_requested_file(files, name, why);
}

const char* refusal_text(ServeRefusal why) {
  switch (why) {
    case ServeRefusal::OUTSIDE: return "outside the served folder";
    case ServeRefusal::HIDDEN: return "hidden";
    case ServeRefusal::NOT_REGULAR: return "not a regular file";
    case ServeRefusal::MISSING: return "missing";
    case ServeRefusal::TOO_LARGE: return "too large";
    case ServeRefusal::NONE: break;
  }
  return "not the update run's source file";
}

// Beside the refusal the operator always sees: why, for the name the radio
// asked for (the refusal names it with ".bin" appended).
void diagnose_refusal(const Connection& conn, const char* asked, ServeRefusal why) {
  if (conn.link.config.diagnostic_level == 0) return;
  say8(conn.view, "d:Requested file [%s] refused: %s\n",
       shown_text(asked, conn.link.config.console).c_str(), refusal_text(why));
}

// In an update run only the run's own source file is served (the same file,
// by device and inode, that its name resolves to now): whatever else a radio,
// or a station that saw the traffic, asks for is refused.
bool is_update_source(const Connection& conn, const ServedFile& file) {
  if (conn.link.config.run_mode != RunMode::UPDATE_ALL) return true;
  const std::string& source = conn.link.config.update.source;
  std::array<char, REQUESTED_NAME_BUFFER_SIZE> name{};
  std::memcpy(name.data(), source.data(), std::min(source.size(), REQUESTED_NAME_LIMIT));
  const ServedFile run_source = open_requested_file(conn.files, name);
  if (run_source.fd < 0) return false;
  ::close(run_source.fd);
  return run_source.device == file.device && run_source.inode == file.inode;
}

// Reads exactly `count` bytes unless the file ends first.
size_t read_block(std::FILE* file, uint8_t* into, size_t count) {
  size_t got = 0;
  while (got < count) {
    const size_t n = std::fread(into + got, 1, count - got, file);
    if (n == 0) break;
    got += n;
  }
  return got;
}

}  // namespace


bool servable_file(FileServer& files, const char* name) {
  std::array<char, REQUESTED_NAME_BUFFER_SIZE> path{};
  std::memcpy(path.data(), name, strnlen(name, REQUESTED_NAME_LIMIT));
  const ServedFile file = open_requested_file(files, path);
  if (file.fd < 0) return false;
  ::close(file.fd);
  return true;
}

int progress_percent(int32_t sent, int64_t total) {
  if (total <= 0) return 0;
  return static_cast<int>(int64_t{sent} * 100 / total);
}

int split_file_prefix(const char* name, char* prefix, char* rest) {
  size_t p = 0;
  size_t r = 0;
  bool separated = false;
  for (size_t i = 0; i < PREFIX_SCAN_LIMIT && name[i] != '\0'; ++i) {
    const char c = name[i];
    if (separated) {
      rest[r++] = c;
    } else if (c == '/' || c == '\\') {
      prefix[p] = '\0';
      if (std::strcmp(prefix, "flash") != 0 && std::strcmp(prefix, "tmp") != 0) {
        rest[0] = '\0';
        return 1;
      }
      separated = true;
    } else {
      prefix[p++] = c;
    }
  }
  prefix[p] = '\0';
  if (!separated) {
    std::memcpy(rest, prefix, p + 1);  // no prefix: the rest is the whole name
  } else {
    rest[r] = '\0';
  }
  return 0;
}

int handle_file_request(Connection& conn, int index, const FrameHeader& header, const uint8_t* payload, uint32_t nbytes) {
  Session& s = conn.sessions[index];
  TransferState& t = conn.transfer;

  // A repeated or out-of-order request is recognised before anything changes:
  // the transfer it belongs to goes on undisturbed.
  const bool repeated = already_received(conn.duplicates, conn.view, payload, nbytes, header.tseq, header.rseq);
  if (repeated || header.tseq != s.rseq) {
    char line[160];
    std::snprintf(line, sizeof line, "d:%s: %ld instead of %ld [CID:%d]\n", "Wrong sequence number received",
                  static_cast<long>(header.tseq), static_cast<long>(s.rseq.load()), header.cid);
    if (conn.link.config.diagnostic_level != 0) conn.view.diagnostic(line);
    return -3;
  }

  // A new request replaces any transfer left unfinished, also one whose radio
  // was given up and closed in a batch run (one transfer at a time). In a
  // parallel run the other radios' transfers are other connections' and go on;
  // a connection's earlier radio had its transfer ended when it was left.
  if (conn.link.shared.load(std::memory_order_acquire)) {
    close_send_file(conn, s);
  } else {
    for (Session& other : conn.sessions.entries) close_send_file(conn, other);
  }
  t.response_end = -1;
  s.state = SESSION_TRANSFER;
  t.transfer_complete = 0;
  t.end_of_file_met = false;
  s.next_pdu = PDU_FILE_RESPONSE;
  FileResponse response{0, -1};

  s.rseq = s.rseq + nbytes;
  auto& name = t.requested_file_name;
  name.fill('\0');
  const size_t length = nbytes < REQUESTED_NAME_LIMIT ? nbytes : REQUESTED_NAME_LIMIT;
  std::memcpy(name.data(), payload, length);

  // The name is the radio's 8-bit text: shown through the console layer, its control bytes as '?'.
  if (s.protocol_level == 0) {
    char prefix[PREFIX_SCAN_LIMIT + 1];
    char rest[PREFIX_SCAN_LIMIT + 1];
    if (split_file_prefix(name.data(), prefix, rest) != 0) {
      say8(conn.view, "Invalid prefix:%s. Should be either tmp or flash\n",
           shown_text(prefix, conn.link.config.console).c_str());
      s.state = SESSION_CONNECTED;
      response = FileResponse{-2, -1};
    } else {
      name.fill('\0');
      std::memcpy(name.data(), rest, strnlen(rest, REQUESTED_NAME_LIMIT));
    }
  }

  if (response.status == 0) {
    const std::string asked(name.data(), strnlen(name.data(), REQUESTED_NAME_LIMIT));
    ServeRefusal why = ServeRefusal::NONE;
    ServedFile served = open_requested_file(conn.files, name, why);
    if (served.fd >= 0 && !is_update_source(conn, served)) {
      ::close(served.fd);
      served.fd = -1;
    }
    std::FILE* file = served.fd >= 0 ? fdopen(served.fd, "rb") : nullptr;
    if (served.fd < 0) {
      say8(conn.view, "Error: Requested file [%s] is not available\n",
           shown_text(name.data(), conn.link.config.console).c_str());
      diagnose_refusal(conn, asked.c_str(), why);
      s.state = SESSION_CONNECTED;
      response = FileResponse{-1, -1};
    } else if (file == nullptr) {
      ::close(served.fd);
      say8(conn.view, "Error: Unable to open requested file [%s]\n\r",
           shown_text(name.data(), conn.link.config.console).c_str());
      s.state = SESSION_CONNECTED;
      response = FileResponse{-1, -1};
    } else {
      (void)std::setvbuf(file, nullptr, _IOFBF, SERVED_FILE_BUFFER_BYTES);
      say8(conn.view, "The requested file [%s] was opened successfully\n\r",
           shown_text(name.data(), conn.link.config.console).c_str());
      s.send_file = file;
      s.bytes_sent = 0;
      t.served = served;
      t.announced = served.size;
      t.data_started = false;
      t.final_progress_reported = 0;
      t.transfer_total = served.size + 1;
      t.last_progress_percent = 0;
      t.last_progress_ms = conn.link.clock.now_ms();
      response = FileResponse{0, static_cast<int32_t>(served.size)};
    }
  }

  const auto bytes = build_file_response(response);
  hand_over(conn, s, PDU_FILE_RESPONSE, bytes.data(), bytes.size());
  if (response.status != 0) report_failure_in_update_run(conn);
  conn.view.flush();
  return 0;
}

static bool covers_whole_file(const Connection& conn, const Session& s, uint32_t frame_rseq) {
  const TransferState& t = conn.transfer;
  return t.data_started && static_cast<int32_t>(frame_rseq - t.data_end) >= 0 &&
         static_cast<int32_t>(frame_rseq - s.tseq) <= 0;
}

bool acknowledges_transfer(const TransferState& t, uint32_t frame_rseq) {
  if (t.data_started) return true;
  const int64_t response_end = t.response_end;
  return response_end >= 0 && static_cast<int32_t>(frame_rseq - static_cast<uint32_t>(response_end)) >= 0;
}

int handle_file_acknowledgement(Connection& conn, int index, const FrameHeader& header) {
  Session& s = conn.sessions[index];
  TransferState& t = conn.transfer;
  SessionEvents& events = conn.events;

  // Only an acknowledgement that goes past the last one taken counts: an old
  // one repeated (a doubled frame, arriving after the radio's output) must not
  // let the next block go while an earlier one is missing, which then goes
  // again on its own schedule.
  if (header.tseq != s.rseq) return 0;
  // The last frame is out: the transfer is over once every byte of the file
  // is acknowledged. That acknowledgement need not be new: the one that
  // follows an empty last block repeats the one of the block before.
  if (t.transfer_complete && covers_whole_file(conn, s, header.rseq)) {
    take_acknowledgement(s, header.rseq);
    note_file_acknowledgement(conn.following);
    finish(conn, s);
    return 1;
  }
  if (!is_new_acknowledgement(s, header.rseq)) return 0;
  take_acknowledgement(s, header.rseq);
  note_file_acknowledgement(conn.following);
  if (!t.data_started) {
    // The file response is acknowledged: the file's bytes are numbered from here.
    t.data_started = true;
    t.data_end = s.tseq + static_cast<uint32_t>(t.announced);
  }
  if (t.transfer_complete) {
    // Not yet every byte: the first part of a block sent in two frames. The
    // waiting send is told that its frame arrived, and the second goes.
    events.ack_event.set();
    return 1;
  }

  if (t.end_of_file_met) {
    hand_over(conn, s, PDU_FILE_DATA, nullptr, 0);
    events.ack_event.set();
    close_send_file(conn, s);
    report_final_progress(conn, s);
    conn.view.flush();
    conn.link.clock.sleep_ms(TRANSFER_FINAL_PAUSE_MS);
    t.transfer_complete = 1;
    return 1;
  }

  // Exactly the announced size is sent: a file that came up short or was
  // changed while served fails the transfer (checked before its last frame).
  const int64_t remaining = t.announced - s.bytes_sent;
  const size_t wanted = static_cast<size_t>(std::min<int64_t>(remaining, FILE_BLOCK_SIZE));
  const bool last = wanted < static_cast<size_t>(FILE_BLOCK_SIZE);
  size_t count = 0;
  bool followed = false;
  bool changed = false;
  {
    std::lock_guard<std::mutex> lock(t.block_mutex);
    if (s.send_file != nullptr) count = read_block(s.send_file, t.block.bytes.data(), wanted);
    changed = count != wanted || (last && !served_file_unchanged(t.served));
    followed = !changed && count != 0 && !goes_in_two_frames(count) &&
               send_following_block(conn, index, t.block.bytes.data(), static_cast<int>(count));
    if (!followed && !changed) {
      t.block.pdu = PDU_FILE_DATA;
      t.block.length = static_cast<int32_t>(count);
      events.block_ready_event.set();
    }
  }
  if (changed) {
    fail_changed_file(conn, s);
    return 1;
  }
  t.last_block_length = static_cast<int32_t>(count);
  if (!followed) events.ack_event.set();

  const int32_t sent = s.bytes_sent + static_cast<int32_t>(count);
  s.bytes_sent = sent;
  const int percent = progress_percent(sent, t.transfer_total);
  if (last) {
    t.end_of_file_met = true;
    if (percent != 100) {
      report_final_progress(conn, s);
      t.transfer_complete = 1;
      close_send_file(conn, s);
    }
  } else if (progress_line_due(conn.link, t, percent)) {
    conn.view.progress(sent, percent, false);
  }
  return 1;
}

bool finish_transfer_by_data(Connection& conn, Session& s, uint32_t frame_rseq) {
  // The radio's data tells how much of the file it took: the transfer ends
  // only when that is every byte. Everything sent then counts as
  // acknowledged, so the radio's late acknowledgement of the last block is not
  // taken as new and leaves no signal pending for a send that waits for nothing.
  if (!covers_whole_file(conn, s, frame_rseq)) return false;
  take_acknowledgement(s, s.tseq);
  finish(conn, s);
  return true;
}

void report_failure_in_update_run(Connection& conn, TransferFailure why) {
  if (conn.link.config.run_mode == RunMode::UPDATE_ALL) {
    conn.transfer.failure = why;
    conn.transfer.transfer_failed = 1;
    conn.events.transfer_done_event.set();
  }
}

void end_transfer_after_wait(Connection& conn, int index) {
  if (!SessionTable::valid_index(index)) return;
  Session& s = conn.sessions[index];
  TransferState& t = conn.transfer;
  close_send_file(conn, s);
  t.transfer_complete = 0;
  if (s.state == SESSION_TRANSFER) {
    s.state = SESSION_CONNECTED;
    s.next_pdu = PDU_DATA;
  }
}

void abandon_transfer(Connection& conn, Session& s) {
  TransferState& t = conn.transfer;
  close_send_file(conn, s);
  t.transfer_complete = 0;
  t.end_of_file_met = false;
  t.data_started = false;
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
}

int handle_download_start(Connection& conn, int index, const uint8_t* payload, uint32_t nbytes) {
  Session& s = conn.sessions[index];
  const auto response = read_file_response(std::span<const uint8_t>(payload, nbytes));
  if (!response || response->status != 0) {
    say(conn.view, "Server abandoned file transfer. Request status:%ld\n",
                static_cast<long>(response ? response->status : -1));
  } else {
    // No output file is ever named for a download, so nothing is opened. The
    // report waits for an acknowledgement that only this thread delivers:
    // the transfer worker sends it.
    s.state = SESSION_CONNECTED;
    hand_over(conn, s, PDU_ERROR, reinterpret_cast<const uint8_t*>(DOWNLOAD_OPEN_FAILED), sizeof DOWNLOAD_OPEN_FAILED);
  }
  s.rseq = s.rseq + nbytes;
  acknowledge(conn.link, s);
  return 0;
}

Failure transfer_step(Connection& conn) {
  TransferState& t = conn.transfer;
  SessionEvents& events = conn.events;
  const bool ready = events.block_ready_event.wait(TRANSFER_WAIT_MS);
  if (conn.events.stopping_now()) return Failure::NONE;

  if (ready) {
    TransferBlock block;
    {
      std::lock_guard<std::mutex> lock(t.block_mutex);
      block.pdu = t.block.pdu;
      block.entry = t.block.entry;
      block.cid = t.block.cid;
      block.length = t.block.length;
      std::memcpy(block.bytes.data(), t.block.bytes.data(), static_cast<size_t>(block.length));
    }
    // A block leaves only on the connection it was made for: after a new
    // set-up (another identifier) or with no entry it is dropped.
    const int entry = block.entry;
    if (!SessionTable::valid_index(entry) || conn.sessions[entry].cid != block.cid) return Failure::NONE;
    Session& s = conn.sessions[entry];
    SendResult sent{.delivered = true};
    if (block.pdu == PDU_ERROR) {
      sent.failure = send_error_report(conn, entry, reinterpret_cast<const char*>(block.bytes.data())).failure;
    } else if (!goes_in_two_frames(static_cast<size_t>(block.length))) {
      sent = send_file_frame(conn, s, block.pdu, block.bytes.data(), block.length);
    } else {
      sent = send_file_frame(conn, s, block.pdu, block.bytes.data(), TRANSFER_SPLIT_SIZE);
      if (sent.delivered && !conn.events.stopping_now()) {
        sent = send_file_frame(conn, s, block.pdu, block.bytes.data() + TRANSFER_SPLIT_SIZE,
                               block.length - TRANSFER_SPLIT_SIZE);
      }
    }
    if (sent.failure != Failure::NONE || conn.events.stopping_now()) return sent.failure;
    if (!sent.delivered) report_failure_in_update_run(conn);
    return Failure::NONE;
  }

  // A transfer that went quiet: its entry is the one last established.
  const int entry = conn.active_session;
  if (!SessionTable::valid_index(entry)) return Failure::NONE;
  Session& s = conn.sessions[entry];
  if (s.state == SESSION_TRANSFER) {
    const int32_t idle = t.transfer_idle_count.fetch_add(1) + 1;
    if (idle > TRANSFER_IDLE_LIMIT) {
      say(conn.view, "File Transfer for session %d has timed-out. Session will terminate.\n", entry);
      disconnect_session(conn, entry);
      // An update run goes on with its next radio, and a parallel run with its
      // other radios: only this radio's try fails.
      if (conn.link.config.run_mode == RunMode::UPDATE_ALL || conn.link.shared.load(std::memory_order_acquire)) {
        report_failure_in_update_run(conn);
      } else {
        conn.view.message("\nSession has been timed out. Application will terminate.\n");
        return Failure::TRANSFER_IDLE;
      }
    }
  }
  return Failure::NONE;
}

}  // namespace orvex
