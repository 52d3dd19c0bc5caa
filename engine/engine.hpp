// The protocol engine's state: the session table and the connection it holds,
// the hand-offs between the session's threads, the transfer in progress, the
// receive side's duplicate memory, frame input and output, and the run state
// the program driver and the function keys change. One Engine serves the whole
// run; every engine function is given it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "base/config.hpp"
#include "base/event.hpp"
#include "base/view.hpp"
#include "base/shared_field.hpp"
#include "console/keys.hpp"
#include "engine/duplicate_memory.hpp"
#include "engine/following_state.hpp"
#include "engine/key_ring.hpp"
#include "engine/send_locks.hpp"
#include "engine/session_events.hpp"
#include "engine/session_table.hpp"
#include "engine/transfer_state.hpp"
#include "link/frame_io.hpp"
#include "wire/frame.hpp"

namespace orvex {

// What the program driver and the keyboard decide between sessions.
struct RunState {
  SharedField<int> chosen_radio{-1};  // Session index of the interactive radio, -1 for none
  int rows_during_discovery = 1;
  SharedField<int> new_session_requested{0};
  SharedField<int> restore_requested{0};
  int radios_found = 0;
  // The operator's stop of a batch run (F3, Ctrl+C): the run ends between its
  // steps, its pauses end early, and only disconnects still leave.
  StopRequest batch_stop;
};

// A control frame (disconnect, restore, error report, file response) that came
// a little ahead of the radio's bytes received: the radio's output before it
// was lost. Acted on when those bytes arrive and rseq reaches its TSEQ; only
// the dispatching thread touches it.
struct HeldControlFrame {
  bool held = false;
  FrameHeader header;
  uint32_t nbytes = 0;
  std::array<uint8_t, MAX_PAYLOAD_SIZE> payload{};
};

// Identify requests answered in the present second: a station must not be
// able to use the program to flood the segment (an answer is larger than the
// request), so answers are few and never go to a group address.
struct IdentifyAnswers {
  std::mutex mutex;
  uint64_t second_started_ms = 0;
  int answered = 0;
};
constexpr int IDENTIFY_ANSWERS_PER_SECOND = 10;

struct Engine {
  Engine(Config& c, View& v) : config(c), view(v), io(c, v) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  Config& config;
  View& view;  // where everything the engine reports goes
  FrameIo io;
  SessionTable sessions;
  ConnectionGlobals connection;
  SessionEvents events;
  SendLocks send_locks;
  DuplicateMemory duplicates;
  HeldControlFrame held_control;
  IdentifyAnswers identify_answers;
  AutoResetEvent established;  // signalled each time an entry is established
  TransferState transfer;
  FollowingBlocks following;
  RunState run;
  KeyRing keys;               // typed bytes, keyboard worker -> send worker
  KeyDecoder key_decoder;     // the keyboard worker's escape sequences
  // Set while the session's receive worker dispatches frames: two threads
  // must never receive at once, so connection set-up then only sends.
  std::atomic<bool> receive_worker_running{false};
  // Ends the session (the session workers install it while they run).
  std::function<void()> request_session_end;
};

}  // namespace orvex
