// Files served to a radio on its request: the request and acknowledgement
// handling run on the dispatching thread and prepare one payload at a time;
// the transfer worker sends each payload through the reliable send, and a
// block that follows an acknowledged one leaves from the dispatching thread
// while that send waits.
#pragma once

#include <cstdint>

#include "base/failure.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer_state.hpp"
#include "os/file_server.hpp"
#include "wire/frame.hpp"

namespace orvex {

struct Connection;

constexpr int FILE_BLOCK_SIZE = 1350;
constexpr uint32_t TRANSFER_WAIT_MS = 2000;
constexpr int32_t TRANSFER_IDLE_LIMIT = 900;
constexpr int TRANSFER_SPLIT_SIZE = 200;        // first part of a block that is a multiple of 256
constexpr uint32_t TRANSFER_FINAL_PAUSE_MS = 346;

// 0 when `name` is acceptable (its "tmp" or "flash" prefix split off into
// `prefix`, the rest in `rest`), 1 when its prefix is invalid. Both outputs
// hold at least 129 bytes.
int split_file_prefix(const char* name, char* prefix, char* rest);

// Whether a radio asking for `name` would be served a file by `files`: `name`
// or `name`.bin (below the working directory, for the program's server).
bool servable_file(FileServer& files, const char* name);

// The progress percentage of `sent` bytes against `total` (the size plus one),
// in 64 bits: files beyond 21474836 bytes would overflow 32.
int progress_percent(int32_t sent, int64_t total);

// Dispatcher side, for the entry found for the frame. `payload` holds `nbytes`
// bytes that really arrived.
int handle_file_request(Connection& conn, int index, const FrameHeader& header, const uint8_t* payload, uint32_t nbytes);
// Whether an acknowledgement with `frame_rseq`, during a transfer, is the
// transfer's: the file response's or a later one.
bool acknowledges_transfer(const TransferState& t, uint32_t frame_rseq);
int handle_file_acknowledgement(Connection& conn, int index, const FrameHeader& header);
// A file response in sequence (the caller tested it).
int handle_download_start(Connection& conn, int index, const uint8_t* payload, uint32_t nbytes);
// A data frame whose RSEQ is `frame_rseq` arrived while the last block is out:
// true when it shows every byte of the file taken, and the transfer ends here.
bool finish_transfer_by_data(Connection& conn, Session& session, uint32_t frame_rseq);
// A PDU_ERROR from the radio ended the transfer on its side.
void abandon_transfer(Connection& conn, Session& session);
// The radio ended its transfer or its connection during an update run: the
// download counts as failed at once (transfer_failed, transfer_done_event).
void report_failure_in_update_run(Connection& conn, TransferFailure why = TransferFailure::REFUSED);
// The update run's wait for a download ran out: the transfer of entry `index`
// ends here (file closed, back to SESSION_CONNECTED), so it cannot finish or
// fail later into the next radio's wait. Any thread.
void end_transfer_after_wait(Connection& conn, int index);

// One step of the transfer worker: waits up to 2000 ms for a payload and sends
// it on the connection it was made for (one made for an earlier connection is
// dropped); with none, counts a quiet transfer. A failure ends the program: a frame the radio never acknowledged
// (UNABLE_TO_SEND) or, outside an update run, a transfer idle for too long.
Failure transfer_step(Connection& conn);


}  // namespace orvex
