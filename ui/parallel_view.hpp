// A plain stand-in for the lanes' view until the live view is in: each lane's
// step lines with its radio's name and serial before them.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "base/clock.hpp"
#include "base/config.hpp"
#include "base/view.hpp"
namespace orvex {
struct LaneRadio { int node = 0; std::string name; std::string serial_text; int tries = 0; };
class ParallelView;
class StubLaneView final : public View {
 public:
  StubLaneView(ParallelView& p) : p_(p) {}
  void radio_bytes(std::span<const uint8_t>) override {}
  void connected(int) override {}
  void progress(int64_t, int, bool) override {}
  void message(std::string_view text) override;
  void text8(std::string_view text) override { message(text); }
  void diagnostic(std::string_view) override {}
  void flush() override {}
  std::string prefix, partial;
  ParallelView& p_;
};
class ParallelView {
 public:
  ParallelView(View& out, const ConsoleKind&, Clock&, int lanes, bool) : out_(out) {
    for (int i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<StubLaneView>(*this));
  }
  View& lane(int i) { return *lanes_[i]; }
  void begin_radio(int i, const LaneRadio& r) { std::lock_guard l(m); lanes_[i]->prefix = r.name + " (" + r.serial_text + "): "; }
  void end_radio(int, bool, const std::string&) {}
  void message(std::string_view t) { std::lock_guard l(m); out_.message(t); }
  void finish() { out_.flush(); }
  View& out_;
  std::mutex m;
  std::vector<std::unique_ptr<StubLaneView>> lanes_;
};
inline void StubLaneView::message(std::string_view text) {
  std::lock_guard l(p_.m);
  for (char c : text) {
    if (c == '\n') { if (!partial.empty()) p_.out_.text8(prefix + partial + "\n"); partial.clear(); }
    else if (c != '\r') partial += c;
  }
}
}
