#include "engine/transfer.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/clock.hpp"
#include "base/terminate.hpp"
#include "console/cp437.hpp"
#include "console/radio_output.hpp"
#include "engine/dispatch.hpp"
#include "engine/engine.hpp"
#include "engine/epacket.hpp"

namespace orvex {

namespace {

constexpr size_t PREFIX_SCAN_LIMIT = 128;
constexpr char DOWNLOAD_OPEN_FAILED[] = "Could not open output file";
// A served file is read through a buffer of many blocks, so that reading the
// next block on an acknowledgement's arrival seldom waits for the kernel.
constexpr size_t SERVED_FILE_BUFFER_BYTES = 64 * 1024;

// Blocks of a multiple of 256 bytes go in two frames.
bool goes_in_two_frames(size_t length) { return length != 0 && length % 256 == 0; }

void print_final_progress(Engine& e, Session& s) {
  TransferState& t = e.transfer;
  if (t.final_progress_printed == 0) {
    std::printf("\r [Transferring file %7d bytes sent (100%% completed)]\n", s.bytes_sent.load());
  }
  t.final_progress_printed = 1;
}

// Under the block lock: the update run may end a transfer from the main thread
// while the dispatcher reads the next block.
void close_send_file(Engine& e, Session& s) {
  std::lock_guard<std::mutex> lock(e.transfer.block_mutex);
  if (s.send_file != nullptr) {
    std::fclose(s.send_file);
    s.send_file = nullptr;
  }
}

// Places the next payload for the transfer worker and wakes it.
void hand_over(Engine& e, uint16_t pdu, const uint8_t* bytes, size_t length) {
  TransferState& t = e.transfer;
  {
    std::lock_guard<std::mutex> lock(t.block_mutex);
    t.block.pdu = pdu;
    t.block.length = static_cast<int32_t>(length);
    if (length != 0) std::memcpy(t.block.bytes.data(), bytes, length);
  }
  t.last_block_length = static_cast<int32_t>(length);
  e.events.block_ready_event.set();
}


// The transfer has ended with the whole file handed over. The send of the last
// block (when it carried bytes) is still waiting for its acknowledgement.
void finish(Engine& e, Session& s) {
  TransferState& t = e.transfer;
  print_final_progress(e, s);
  close_send_file(e, s);
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
  t.transfer_complete = 0;
  t.end_of_file_met = false;
  e.events.transfer_done_event.set();
  // An empty last block was sent without a wait: a signal now would be left
  // pending and let the next data send return before its acknowledgement.
  if (t.last_block_length != 0) e.events.ack_event.set();
}

// A name the radio may ask for: relative, with no ".." component. The radio
// must not reach files outside the working directory.
bool inside_working_directory(const char* name) {
  if (name[0] == '\0' || name[0] == '/') return false;
  const char* component = name;
  for (;;) {
    const char* end = std::strchr(component, '/');
    const size_t length = end != nullptr ? static_cast<size_t>(end - component) : std::strlen(component);
    if (length == 2 && component[0] == '.' && component[1] == '.') return false;
    if (end == nullptr) return true;
    component = end + 1;
  }
}

// Opens a regular file below the working directory for reading, without ever
// blocking (a named pipe would block an ordinary open). Symbolic links that
// lead outside are refused where the kernel can tell. -1 when it cannot be
// served, also when it is too large for the protocol's 32-bit sizes.
int open_served_file(const char* name, int32_t& size) {
  if (!inside_working_directory(name)) return -1;
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  int fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, name, &how, sizeof how));
  if (fd < 0 && errno == ENOSYS) fd = ::open(name, flags);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > INT32_MAX) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, O_RDONLY);
  size = static_cast<int32_t>(info.st_size);
  return fd;
}

void append_suffix(std::array<char, REQUESTED_NAME_BUFFER_SIZE>& name) {
  const size_t length = strnlen(name.data(), REQUESTED_NAME_LIMIT);
  std::memcpy(name.data() + length, FILE_NAME_SUFFIX, sizeof FILE_NAME_SUFFIX);
}

// The file a radio asks for: the name as given, else with ".bin" appended
// (`name` then holds the longer one). -1 when neither can be served.
int open_requested_file(std::array<char, REQUESTED_NAME_BUFFER_SIZE>& name, int32_t& size) {
  const int fd = open_served_file(name.data(), size);
  if (fd >= 0) return fd;
  append_suffix(name);
  return open_served_file(name.data(), size);
}

}  // namespace


bool servable_file(const char* name) {
  std::array<char, REQUESTED_NAME_BUFFER_SIZE> path{};
  std::memcpy(path.data(), name, strnlen(name, REQUESTED_NAME_LIMIT));
  int32_t size = 0;
  const int fd = open_requested_file(path, size);
  if (fd < 0) return false;
  ::close(fd);
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

int handle_file_request(Engine& e, int index, const FrameHeader& header, const uint8_t* payload, uint32_t nbytes) {
  Session& s = e.sessions[index];
  TransferState& t = e.transfer;

  // A repeated or out-of-order request is recognised before anything changes:
  // the transfer it belongs to goes on undisturbed.
  const bool repeated = already_received(e, payload, nbytes, header.tseq, header.rseq);
  if (repeated || header.tseq != s.rseq) {
    char line[160];
    std::snprintf(line, sizeof line, "d:%s: %ld instead of %ld [CID:%d]\n", "Wrong sequence number received",
                  static_cast<long>(header.tseq), static_cast<long>(s.rseq.load()), header.cid);
    print_diagnostic(e.config, line);
    return -3;
  }

  // A new request replaces any transfer left unfinished, also one whose radio
  // was given up and closed in a batch run (one transfer at a time).
  for (Session& other : e.sessions.entries) close_send_file(e, other);
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

  // The name is the radio's 8-bit text: shown through the console layer.
  if (s.protocol_level == 0) {
    char prefix[PREFIX_SCAN_LIMIT + 1];
    char rest[PREFIX_SCAN_LIMIT + 1];
    if (split_file_prefix(name.data(), prefix, rest) != 0) {
      console_printf("Invalid prefix:%s. Should be either tmp or flash\n", prefix);
      s.state = SESSION_CONNECTED;
      response = FileResponse{-2, -1};
    } else {
      name.fill('\0');
      std::memcpy(name.data(), rest, strnlen(rest, REQUESTED_NAME_LIMIT));
    }
  }

  if (response.status == 0) {
    int32_t size = 0;
    const int fd = open_requested_file(name, size);
    std::FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd < 0) {
      console_printf("Error: Requested file [%s] is not available\n", name.data());
      s.state = SESSION_CONNECTED;
      response = FileResponse{-1, -1};
    } else if (file == nullptr) {
      ::close(fd);
      console_printf("Error: Unable to open requested file [%s]\n\r", name.data());
      s.state = SESSION_CONNECTED;
      response = FileResponse{-1, -1};
    } else {
      (void)std::setvbuf(file, nullptr, _IOFBF, SERVED_FILE_BUFFER_BYTES);
      console_printf("The requested file [%s] was opened successfully\n\r", name.data());
      s.send_file = file;
      s.bytes_sent = 0;
      t.final_progress_printed = 0;
      t.transfer_total = int64_t{size} + 1;
      response = FileResponse{0, size};
    }
  }

  const auto bytes = build_file_response(response);
  hand_over(e, PDU_FILE_RESPONSE, bytes.data(), bytes.size());
  if (response.status != 0) report_failure_in_update_run(e);
  std::fflush(stdout);
  return 0;
}

int handle_file_acknowledgement(Engine& e, int index, const FrameHeader& header) {
  Session& s = e.sessions[index];
  TransferState& t = e.transfer;
  SessionEvents& events = e.events;

  if (t.transfer_complete) {
    // Only an acknowledgement that covers everything sent ends the transfer;
    // a late repeat of an earlier one leaves the last block waiting.
    if (header.rseq != s.tseq) return 0;
    take_acknowledgement(s, header.rseq);
    note_file_acknowledgement(e);
    finish(e, s);
    return 1;
  }
  if (header.tseq != s.rseq || !is_new_acknowledgement(s, header.rseq)) return 0;
  take_acknowledgement(s, header.rseq);
  note_file_acknowledgement(e);
  s.next_pdu = PDU_FILE_DATA;

  if (t.end_of_file_met) {
    hand_over(e, PDU_FILE_DATA, nullptr, 0);
    events.ack_event.set();
    close_send_file(e, s);
    print_final_progress(e, s);
    std::fflush(stdout);
    clock().sleep_ms(TRANSFER_FINAL_PAUSE_MS);
    t.transfer_complete = 1;
    return 1;
  }

  // The next block leaves from here when the transfer worker's send waits
  // for this acknowledgement (the usual case), and that send then waits on
  // for the block's own. Otherwise it is handed over, ready before the waiting
  // send is woken, so the worker goes straight on. Blocks that go in two
  // frames are always handed over.
  size_t count = 0;
  bool followed = false;
  {
    std::lock_guard<std::mutex> lock(t.block_mutex);
    if (s.send_file != nullptr) {
      count = std::fread(t.block.bytes.data(), 1, FILE_BLOCK_SIZE, s.send_file);
    }
    followed = count != 0 && !goes_in_two_frames(count) &&
               send_following_block(e, index, t.block.bytes.data(), static_cast<int>(count));
    if (!followed) {
      t.block.pdu = PDU_FILE_DATA;
      t.block.length = static_cast<int32_t>(count);
      events.block_ready_event.set();
    }
  }
  t.last_block_length = static_cast<int32_t>(count);
  if (!followed) events.ack_event.set();

  const int32_t sent = s.bytes_sent + static_cast<int32_t>(count);
  s.bytes_sent = sent;
  const int percent = progress_percent(sent, t.transfer_total);
  if (count < static_cast<size_t>(FILE_BLOCK_SIZE)) {
    t.end_of_file_met = true;
    if (percent != 100) {
      print_final_progress(e, s);
      t.transfer_complete = 1;
      close_send_file(e, s);
    }
  } else {
    std::printf("\r [Transferring file %7d bytes sent (%d%% completed)]", sent, percent);
  }
  std::fflush(stdout);
  return 1;
}

void finish_transfer_by_data(Engine& e, Session& s) {
  // Everything sent counts as acknowledged, so the radio's late
  // acknowledgement of the last block is not taken as new and leaves no
  // signal pending for a send that waits for nothing.
  take_acknowledgement(s, s.tseq);
  finish(e, s);
}

void report_failure_in_update_run(Engine& e) {
  if (e.config.update_all_mode != 0) {
    e.transfer.transfer_failed = 1;
    e.events.transfer_done_event.set();
  }
}

void end_transfer_after_wait(Engine& e, int index) {
  if (!SessionTable::valid_index(index)) return;
  Session& s = e.sessions[index];
  TransferState& t = e.transfer;
  close_send_file(e, s);
  t.transfer_complete = 0;
  if (s.state == SESSION_TRANSFER) {
    s.state = SESSION_CONNECTED;
    s.next_pdu = PDU_DATA;
  }
}

void abandon_transfer(Engine& e, Session& s) {
  TransferState& t = e.transfer;
  close_send_file(e, s);
  t.transfer_complete = 0;
  t.end_of_file_met = false;
  s.state = SESSION_CONNECTED;
  s.next_pdu = PDU_DATA;
}

int handle_download_start(Engine& e, int index, const FrameHeader& header, const uint8_t* payload, uint32_t nbytes) {
  Session& s = e.sessions[index];
  const auto response = read_file_response(std::span<const uint8_t>(payload, nbytes));
  if (!response || response->status != 0) {
    std::printf("Server abandoned file transfer. Request status:%ld\n",
                static_cast<long>(response ? response->status : -1));
  } else {
    // No output file is ever named for a download, so nothing is opened. The
    // report waits for an acknowledgement that only this thread delivers:
    // the transfer worker sends it.
    s.state = SESSION_CONNECTED;
    hand_over(e, PDU_ERROR, reinterpret_cast<const uint8_t*>(DOWNLOAD_OPEN_FAILED), sizeof DOWNLOAD_OPEN_FAILED);
  }
  prefer_acknowledgement(s);
  if (header.tseq == s.rseq) {
    s.rseq = s.rseq + nbytes;
    acknowledge(e, s);
    return 0;
  }
  char line[128];
  std::snprintf(line, sizeof line, "e:Wrong sequence number recieved: %ld instead of %ld\n",
                static_cast<long>(header.tseq), static_cast<long>(s.rseq.load()));
  print_diagnostic(e.config, line);
  return -3;
}

int transfer_step(Engine& e, int index) {
  TransferState& t = e.transfer;
  SessionEvents& events = e.events;
  const bool ready = events.block_ready_event.wait(TRANSFER_WAIT_MS);
  if (e.events.stopping_now()) return 1;
  const int entry = index >= 0 ? index : e.run.chosen_radio.load();
  if (!SessionTable::valid_index(entry)) return 0;  // no radio to serve: the payload is dropped
  Session& s = e.sessions[entry];

  if (ready) {
    TransferBlock block;
    {
      std::lock_guard<std::mutex> lock(t.block_mutex);
      block.pdu = t.block.pdu;
      block.length = t.block.length;
      std::memcpy(block.bytes.data(), t.block.bytes.data(), static_cast<size_t>(block.length));
    }
    int ok = 1;
    if (block.pdu == PDU_ERROR) {
      send_error_report(e, entry, reinterpret_cast<const char*>(block.bytes.data()));
    } else if (!goes_in_two_frames(static_cast<size_t>(block.length))) {
      s.next_pdu = block.pdu;
      ok = send_file_frame(e, s, block.bytes.data(), block.length);
    } else {
      s.next_pdu = block.pdu;
      ok = send_file_frame(e, s, block.bytes.data(), TRANSFER_SPLIT_SIZE);
      if (ok != 0 && !e.events.stopping_now()) {
        s.next_pdu = block.pdu;
        ok = send_file_frame(e, s, block.bytes.data() + TRANSFER_SPLIT_SIZE, block.length - TRANSFER_SPLIT_SIZE);
      }
    }
    if (e.events.stopping_now()) return 1;
    // Once the transfer is over (or was refused) typed text goes out as terminal data again.
    if (s.state == SESSION_CONNECTED && block.pdu != PDU_ERROR) s.next_pdu = PDU_DATA;
    if (ok == 0) report_failure_in_update_run(e);
    return 0;
  }

  if (s.state == SESSION_TRANSFER) {
    const int32_t idle = t.transfer_idle_count.fetch_add(1) + 1;
    if (idle > TRANSFER_IDLE_LIMIT) {
      std::printf("File Transfer for session %d has timed-out. Session will terminate.\n", entry);
      disconnect_session(e, entry);
      if (e.config.update_all_mode != 0) {
        report_failure_in_update_run(e);
      } else {
        std::printf("\nSession has been timed out. Application will terminate.\n");
        terminate_app(0, REASON_TRANSFER_IDLE);
      }
    }
  }
  return 0;
}

void run_transfer_worker(Engine& e, int index) {
  while (!e.events.stopping_now()) {
    if (index >= 0 && e.sessions[index].state == SESSION_CLOSED) return;
    if (transfer_step(e, index) != 0) return;
  }
}

}  // namespace orvex
