// The state of the file transfer, as a connection holds it: kept apart from
// the transfer code so that the connection needs none of it to be declared.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/shared_field.hpp"
#include "engine/session_table.hpp"
#include "os/served_file.hpp"
#include "wire/frame.hpp"

namespace orvex {

constexpr size_t REQUESTED_NAME_LIMIT = 127;    // bytes of a request that make the name
constexpr char FILE_NAME_SUFFIX[] = ".bin";
// The name, the ".bin" that may be appended, and the NUL.
constexpr size_t REQUESTED_NAME_BUFFER_SIZE = REQUESTED_NAME_LIMIT + sizeof FILE_NAME_SUFFIX;

// The one payload waiting for the transfer worker. It carries its own PDU type,
// so an acknowledgement sent by the dispatcher meanwhile (which sets the
// entry's next_pdu to 2) cannot turn it into terminal data. It is tagged with
// the entry and identifier of the connection it was made for: one still
// pending when that connection ended must not leave on the next one.
struct TransferBlock {
  uint16_t pdu = PDU_FILE_DATA;
  int entry = -1;
  uint16_t cid = CID_NONE;
  int32_t length = 0;
  std::array<uint8_t, MAX_PAYLOAD_SIZE> bytes{};
};

// Why a transfer failed, for the report of an update run.
enum class TransferFailure : int {
  NONE,
  REFUSED,       // the file could not be served, or the radio gave up
  FILE_CHANGED,  // the file changed while it was served
};

// The program-wide transfer state (one transfer at a time).
struct TransferState {
  std::mutex block_mutex;  // the block is written by the dispatcher and copied by the worker
  TransferBlock block;     // guarded by block_mutex
  SharedField<int> transfer_failed{0};
  std::atomic<TransferFailure> failure{TransferFailure::NONE};  // with transfer_failed
  SharedField<int> transfer_complete{0};
  SharedField<int> final_progress_reported{1};
  SharedField<int32_t> transfer_idle_count{0};
  SharedField<int64_t> transfer_total{0};  // size + 1: the divisor of the percentage
  // Dispatching thread only: the last progress line written when standard
  // output is not a terminal (its percentage and time).
  int last_progress_percent = 0;
  uint64_t last_progress_ms = 0;
  // Dispatching thread only.
  std::array<char, REQUESTED_NAME_BUFFER_SIZE> requested_file_name{};
  ServedFile served;              // the file as it was when its size was announced
  int64_t announced = 0;          // the size the file response announced: exactly this much is sent
  bool data_started = false;      // the file response was acknowledged
  // The connection's TSEQ once the file response is out (written as its frame
  // is built); -1 before. An acknowledgement short of it is for the bytes
  // sent before the response, not the transfer's.
  SharedField<int64_t> response_end{-1};
  uint32_t data_end = 0;          // the radio's RSEQ once every byte of the file is acknowledged
  bool end_of_file_met = false;   // the last block (short or empty) is out
  int32_t last_block_length = 0;  // of the block read last: 0 means nobody waits for its ack
};

}  // namespace orvex
