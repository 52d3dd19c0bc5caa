#include "engine/following_blocks.hpp"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "base/clock.hpp"
#include "engine/engine.hpp"
#include "engine/session_frame.hpp"
#include "engine/session_table.hpp"
#include "wire/frame.hpp"

namespace orvex {

bool send_following_block(Engine& e, int index, const uint8_t* payload, int size) {
  FollowingBlocks& f = e.following;
  // Held while the block leaves: the waiting send may not end in between, or
  // the block would be sent with nobody to repeat it.
  std::lock_guard<std::mutex> lock(f.mutex);
  if (f.waiting_entry != index || !SessionTable::valid_index(index)) return false;
  Session& session = e.sessions[index];
  int payload_size = size;
  {
    std::lock_guard<std::mutex> building(build_lock(e, index));
    if (closed_to_sending(session.state, session.cid) || held_by_stop(e, PDU_FILE_DATA)) return false;
    if (!build_frame(f.frame, session, e.config, PDU_FILE_DATA, payload, payload_size, build_trace(e))) return false;
    f.size = payload_size + static_cast<int>(FRAME_HEADER_SIZE);
    ++f.sent;
    f.newest_acknowledged = false;
    f.sent_at_ms = clock().now_ms();
    e.io.send(std::span<const uint8_t>(f.frame.data(), static_cast<size_t>(f.size)));
  }
  return true;
}

void note_file_acknowledgement(Engine& e) {
  FollowingBlocks& f = e.following;
  std::lock_guard<std::mutex> lock(f.mutex);
  f.newest_acknowledged = true;
}


void allow_following(Engine& e, int index, uint64_t& seen) {
  FollowingBlocks& f = e.following;
  std::lock_guard<std::mutex> lock(f.mutex);
  f.waiting_entry = index;
  f.newest_acknowledged = false;
  seen = f.sent;
}

void end_following(Engine& e) {
  FollowingBlocks& f = e.following;
  std::lock_guard<std::mutex> lock(f.mutex);
  f.waiting_entry = -1;
}

Following take_following(Engine& e, uint64_t& seen, std::span<uint8_t> frame, int& frame_size,
                         uint64_t& sent_at_ms) {
  FollowingBlocks& f = e.following;
  std::lock_guard<std::mutex> lock(f.mutex);
  const bool newer = f.sent != seen;
  if (newer) {
    seen = f.sent;
    std::memcpy(frame.data(), f.frame.data(), static_cast<size_t>(f.size));
    frame_size = f.size;
    sent_at_ms = f.sent_at_ms;
  }
  if (f.newest_acknowledged) return Following::ALL_ACKNOWLEDGED;
  return newer ? Following::BLOCK_IN_FLIGHT : Following::NOTHING_NEW;
}

}  // namespace orvex
