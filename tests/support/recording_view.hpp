// A view that keeps what the program reported: each event, and the text the
// console would have shown for the events that are text.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/view.hpp"

namespace orvex::test {

class RecordingView final : public View {
 public:
  void radio_bytes(std::span<const uint8_t> bytes) override {
    add("radio", std::string(bytes.begin(), bytes.end()));
  }
  void connected(int index) override { add("connected", std::to_string(index)); }
  void progress(int64_t sent, int percent, bool done) override {
    add("progress", std::to_string(sent) + " " + std::to_string(percent) + (done ? " done" : ""));
  }
  void message(std::string_view text) override { add("message", std::string(text)); }
  void text8(std::string_view text) override { add("message", std::string(text)); }
  void diagnostic(std::string_view line) override { add("diagnostic", std::string(line) + "\n"); }
  void flush() override {}

  struct Event {
    std::string kind;
    std::string text;
  };
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Every event in order, and forgets them: the text of messages, diagnostics
  // and the radio's bytes as it is, the others as <kind text>.
  std::string take_text() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const Event& e : events_) {
      const bool text = e.kind == "message" || e.kind == "diagnostic" || e.kind == "radio";
      all += text ? e.text : "<" + e.kind + " " + e.text + ">";
    }
    events_.clear();
    return all;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  void add(const char* kind, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({kind, std::move(text)});
  }
  std::mutex mutex_;
  std::vector<Event> events_;
};

// What the program reported while `body` ran.
template <typename F>
std::string view_text(RecordingView& view, F&& body) {
  view.clear();
  body();
  return view.take_text();
}

}  // namespace orvex::test
