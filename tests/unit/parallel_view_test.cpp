// A batch run on several radios at once: in a pipe whole lines, each with its radio's name and serial number,
// however the lanes' texts interleave; on a terminal rows redrawn in place, at most four times a second.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/fake_clock.hpp"
#include "tests/support/recording_view.hpp"
#include "ui/parallel_view.hpp"

namespace orvex::test {
namespace {

void radio(View& view, std::string_view text) {
  view.radio_bytes({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::vector<std::string> written(RecordingView& out) {
  std::vector<std::string> texts;
  for (const RecordingView::Event& e : out.events()) texts.push_back(e.text);
  return texts;
}

// Polls in real time: the drawing thread runs on its own.
bool eventually(const std::function<bool()>& ready) {
  for (int i = 0; i < 5000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return ready();
}

// One redraw, taken apart: how far it moved up, the lines it scrolled, the rows.
struct Draw {
  int up = 0;
  std::vector<std::string> scrolled;
  std::vector<std::string> rows;
};

Draw parse(std::string text) {
  Draw d;
  if (text.starts_with("\r\x1b[")) {
    const size_t a = text.find('A');
    d.up = std::stoi(text.substr(3, a - 3));
    text.erase(0, a + 1);
  }
  EXPECT_TRUE(text.ends_with("\x1b[J")) << text;
  text.resize(text.size() - 3);
  for (size_t at = 0; at < text.size();) {
    EXPECT_EQ(text.compare(at, 4, "\x1b[2K"), 0) << text;
    const size_t end = text.find('\n', at);
    std::string line = text.substr(at + 4, end - at - 4);
    const bool row = line.size() > 4 && std::isdigit(static_cast<unsigned char>(line[0])) && line[3] == ' ';
    (row ? d.rows : d.scrolled).push_back(std::move(line));
    at = end + 1;
  }
  return d;
}

std::vector<Draw> draws(RecordingView& out) {
  std::vector<Draw> all;
  for (const std::string& text : written(out)) all.push_back(parse(text));
  return all;
}

const LaneRadio NORTH{12, "North", "00012345", 1};
const LaneRadio SOUTH{7, "So\x1buth", "00000007", 2};
const LaneRadio WEST{3, "West", "00000003", 2};

TEST(ParallelViewPlain, InterleavedLanesGiveWholeSafeLinesWithTheirRadiosPrefix) {
  RecordingView out;
  FakeClock clock;
  ParallelView view(out, ConsoleKind{}, clock, 2, false);
  view.begin_radio(0, NORTH);
  view.begin_radio(1, SOUTH);
  // The radios' output byte by byte in turn: escape sequences split across frames, "\n\r" and "\r\n" line ends.
  const std::string north = "\x1b[Jready\n\rver\x07 2.1\r\n\n\rtail";
  const std::string south = "hello\n\rworld\x1b[A\n";
  for (size_t i = 0; i < std::max(north.size(), south.size()); ++i) {
    if (i < north.size()) radio(view.lane(0), north.substr(i, 1));
    if (i < south.size()) radio(view.lane(1), south.substr(i, 1));
  }
  view.lane(0).message("Connect to Radio: ");
  view.lane(1).text8("Updating radio So?uth ...\n");
  view.lane(0).message("OK\n");
  view.lane(0).connected(3);
  for (int i = 0; i < 50; ++i) view.lane(1).progress(i * 100, i * 2, false);
  view.lane(1).progress(5000, 100, true);
  view.message("Waiting 2 secs for the next pass ...\n");
  view.end_radio(0, true, "");
  view.end_radio(1, false, "download failed");
  view.finish();

  std::vector<std::string> of_north, of_south;
  for (const std::string& text : written(out)) {
    ASSERT_TRUE(text.ends_with("\n")) << text;
    ASSERT_EQ(text.find('\n'), text.size() - 1) << text;
    ASSERT_EQ(text.find('\x1b'), std::string::npos) << text;
    if (text.starts_with("North (00012345): ")) of_north.push_back(text.substr(18));
    else if (text.starts_with("So?uth (00000007): ")) of_south.push_back(text.substr(19));
    else EXPECT_EQ(text, "Waiting 2 secs for the next pass ...\n");
  }
  EXPECT_EQ(of_north, (std::vector<std::string>{
                          "ready\n", "ver? 2.1\n", "Connect to Radio: OK\n",
                          "Connection with device [3] established successfully. Press F1 for help\n", "tail\n"}));
  EXPECT_EQ(of_south, (std::vector<std::string>{"hello\n", "world\n", "Updating radio So?uth ...\n",
                                                " [Transferring file    5000 bytes sent (100% completed)]\n"}));
}

TEST(ParallelViewLive, RowsRedrawnInPlaceFinishedTriesScrollAboveAndFinishLeavesNone) {
  RecordingView out;
  FakeClock clock;
  {
    ParallelView view(out, ConsoleKind{.terminal = true, .utf8 = false}, clock, 3, true);
    view.begin_radio(0, NORTH);
    view.begin_radio(1, SOUTH);
    view.begin_radio(2, WEST);
    view.lane(0).message("Connect to Radio: OK\n");
    view.lane(0).progress(4500, 45, false);
    view.lane(1).message("Download: OK\n");
    ASSERT_TRUE(eventually([&] {
      const std::vector<Draw> all = draws(out);
      return !all.empty() && all.back().rows.size() == 3 && all.back().rows[1].find("Download") != std::string::npos;
    }));
    const std::vector<std::string> rows = draws(out).back().rows;
    EXPECT_TRUE(rows[0].starts_with("012 North             00012345 Downloading ")) << rows[0];
    EXPECT_NE(rows[0].find("[#########-----------]  45% try 1"), std::string::npos) << rows[0];
    EXPECT_TRUE(rows[1].starts_with("007 So?uth")) << rows[1];
    EXPECT_TRUE(rows[2].ends_with("try 2")) << rows[2];

    view.end_radio(1, true, "");
    view.end_radio(2, false, "connect failed");
    radio(view.lane(0), "\x1b[Jhello\n\r");
    ASSERT_TRUE(eventually([&] { return draws(out).back().rows.size() == 1; }));
    view.message("Waiting 2 secs for the next pass ...\n");
    view.finish();
    view.finish();
  }
  const std::vector<Draw> all = draws(out);
  std::vector<std::string> scrolled;
  size_t rows_before = 0;
  for (const Draw& d : all) {
    EXPECT_EQ(static_cast<size_t>(d.up), rows_before);
    for (const std::string& row : d.rows) EXPECT_LE(row.size(), 79u) << row;
    scrolled.insert(scrolled.end(), d.scrolled.begin(), d.scrolled.end());
    rows_before = d.rows.size();
  }
  EXPECT_EQ(scrolled, (std::vector<std::string>{"So?uth (00000007): OK (try 2)",
                                                "West (00000003): FAILED: connect failed (try 2)",
                                                "North (00012345): hello", "Waiting 2 secs for the next pass ..."}));
  EXPECT_TRUE(all.back().rows.empty());
  EXPECT_EQ(all.back().up, 1);
}

TEST(ParallelViewLive, RedrawsAtMostFourTimesASecondAndOnlyAfterAChange) {
  RecordingView out;
  FakeClock clock;
  ParallelView view(out, ConsoleKind{.terminal = true, .utf8 = true}, clock, 2, false);
  view.begin_radio(0, NORTH);
  view.begin_radio(1, WEST);
  const auto busy = [&view](int lane) {
    for (int i = 0; i < 2000; ++i) {
      view.lane(lane).progress(i, i % 100, false);
      view.lane(lane).message("step " + std::to_string(i) + "\n");
      radio(view.lane(lane), "not shown in an update run\n");
    }
  };
  std::thread other(busy, 1);
  busy(0);
  other.join();
  // Each redraw comes after a wait of 250 ms on the clock, which only that wait moves on.
  EXPECT_LE(written(out).size(), clock.now_ms() / 250);
  ASSERT_TRUE(eventually([&] {
    const std::vector<Draw> all = draws(out);
    return !all.empty() && all.back().rows.size() == 2 && all.back().rows[0].find("step 1999") != std::string::npos &&
           all.back().rows[1].find("step 1999") != std::string::npos;
  }));
  const size_t drawn = written(out).size();
  const uint64_t later = clock.now_ms() + 10 * 250;
  ASSERT_TRUE(eventually([&] { return clock.now_ms() >= later; }));
  EXPECT_EQ(written(out).size(), drawn) << "redrawn with nothing changed";
  for (const std::string& text : written(out)) EXPECT_EQ(text.find("not shown"), std::string::npos);
  view.finish();
  EXPECT_EQ(written(out).back(), "\r\x1b[2A\x1b[J");
}

}  // namespace
}  // namespace orvex::test
