// The simulated radio as the terminal program meets it. The program's side is
// written with the program's own frame builder (which writes little-endian
// headers to radios below level 2) and the radio's frames are read back with
// the program's own reader, so both ends are checked against each other.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/address_text.hpp"
#include "base/settings.hpp"
#include "base/byte_order.hpp"
#include "wire/frame.hpp"
#include "engine/session_frame.hpp"
#include "tests/support/test_state.hpp"
#include "tools/radiosim/radio.hpp"
#include "tools/radiosim/radio_frames.hpp"

namespace orvex::sim {
namespace {

const MacAddress HOST{{0x02, 0x00, 0x00, 0x00, 0x4A, 0x01}};
const MacAddress RADIO{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x01}};
constexpr uint16_t CID = 0x1234;

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

struct Seen {
  FrameHeader header;
  std::vector<uint8_t> payload;
  std::string text() const { return {payload.begin(), payload.end()}; }
};

class RadioTest : public test::OrvexTest {
 protected:
  void SetUp() override {
    OrvexTest::SetUp();
    local_mac_address() = HOST;
  }

  void start(uint8_t level, RadioFaults faults = {}) {
    RadioConfig c;
    c.mac = RADIO;
    c.name = "Mast";
    c.level = level;
    c.firmware = "OR-2.4.1";
    c.faults = faults;
    radio = make_radio(c, [this](const std::string& name, const std::string& file, std::span<const uint8_t> data) {
      stored[name + "/" + file] = std::vector<uint8_t>(data.begin(), data.end());
      return true;
    }, now);
    host = Session{};
    host.mac = RADIO;
    host.protocol_level = level;
  }

  // A frame as the program builds it for its Session of this radio.
  std::vector<uint8_t> host_frame(uint16_t pdu, int32_t state, const std::vector<uint8_t>& payload = {}) {
    host.next_pdu = pdu;
    host.state = state;
    std::vector<uint8_t> frame(FRAME_BUFFER_SIZE);
    int size = static_cast<int>(payload.size());
    EXPECT_TRUE(build_frame(frame, host, payload.data(), size));
    frame.resize(static_cast<size_t>(size) + FRAME_HEADER_SIZE);
    return frame;
  }

  std::vector<Seen> deliver(const std::vector<uint8_t>& frame) {
    RadioOutput out;
    handle_frame(radio, frame, now, out);
    return take(out);
  }

  std::vector<Seen> tick(uint64_t to_ms) {
    now = to_ms;
    RadioOutput out;
    handle_tick(radio, now, out);
    return take(out);
  }

  // Reads what the radio sent with the program's reader, and takes its data in
  // order the way the program does (counting RSEQ).
  std::vector<Seen> take(RadioOutput& out) {
    std::vector<Seen> seen;
    for (const auto& f : out.frames) {
      const auto h = read_frame_header(f);
      EXPECT_TRUE(h.has_value());
      EXPECT_EQ(h->length, f.size()) << "the length field counts the whole frame";
      EXPECT_EQ(h->source, RADIO);
      Seen s{*h, std::vector<uint8_t>(f.begin() + FRAME_HEADER_SIZE, f.end())};
      EXPECT_EQ(s.payload.size(), h->nbytes);
      const bool carries = h->pdu == PDU_DATA || h->pdu == PDU_FILE_REQUEST || h->pdu == PDU_ERROR;
      if (carries && h->tseq == host.rseq) {
        host.rseq = host.rseq + h->nbytes;
        if (h->pdu == PDU_DATA) screen += s.text();
      }
      seen.push_back(std::move(s));
    }
    for (auto& e : out.events) events.push_back(e);
    return seen;
  }

  // The program's connection set-up: request with TSEQ 1, its bytes not counted.
  std::vector<Seen> connect(uint16_t cid = CID) {
    host.cid = cid;
    host.tseq = 1;
    host.rseq = 0;
    const auto request = build_connect_request("e2e host", host.protocol_level);
    auto seen = deliver(host_frame(PDU_CONNECT_REQUEST, SESSION_FOUND, {request.begin(), request.end()}));
    host.tseq = 1;
    return seen;
  }

  std::vector<Seen> ack() { return deliver(host_frame(PDU_ACK, SESSION_CONNECTED)); }
  std::vector<Seen> type(const std::string& text) { return deliver(host_frame(PDU_DATA, SESSION_CONNECTED, bytes(text))); }

  // Connected, greeting taken and acknowledged.
  void connected(uint8_t level, RadioFaults faults = {}) {
    start(level, faults);
    connect();
    ack();
    screen.clear();
  }

  // Types a line and acknowledges everything until the radio is quiet.
  void command(const std::string& line) {
    type(line);
    for (int i = 0; i < 20 && radio.pending.active; ++i) ack();
  }

  Radio radio;
  Session host;
  uint64_t now = 5000;
  std::string screen;
  std::vector<std::string> events;
  std::map<std::string, std::vector<uint8_t>> stored;
};

TEST_F(RadioTest, IdentifyResponseReadsBackThroughTheProgramsDecoder) {
  for (int l : {0, 1, 2}) {
    const auto level = static_cast<uint8_t>(l);
    for (uint16_t code : {uint16_t{PDU_DISCOVERY_REQUEST}, uint16_t{PDU_IDENTIFY_REQUEST}}) {
      SCOPED_TRACE(testing::Message() << "level " << int{level} << " code " << code);
      start(level);
      // The discovery request goes to broadcast with a big-endian header.
      host.mac = MacAddress::broadcast();
      host.protocol_level = 2;
      host.cid = 0x2345;
      now += 12340;
      const auto seen = deliver(host_frame(code, SESSION_EMPTY));
      ASSERT_EQ(seen.size(), 1u);
      const FrameHeader& h = seen[0].header;
      EXPECT_EQ(h.destination, HOST);
      EXPECT_EQ(h.pdu, PDU_IDENTIFY_RESPONSE);
      EXPECT_EQ(h.cid, 0x2345);
      EXPECT_EQ(h.tseq, 0u);
      EXPECT_EQ(h.rseq, 0u);
      EXPECT_EQ(h.nbytes, DISCOVERY_RESPONSE_SIZE);
      const auto read = read_discovery_response(seen[0].payload, h.nbytes);
      EXPECT_STREQ(read.name.data(), "Mast");
      EXPECT_EQ(read.protocol_level, level);
      EXPECT_EQ(std::string(seen[0].payload.begin() + 56, seen[0].payload.begin() + 64), "OR-2.4.1");
      EXPECT_EQ(get_le32(seen[0].payload.data() + 52), 1234u) << "uptime in 1/100 s";
    }
  }
}

TEST_F(RadioTest, SilentRadioAndFramesForOthersGetNoAnswer) {
  RadioFaults silent;
  silent.silent = true;
  start(2, silent);
  host.mac = MacAddress::broadcast();
  host.cid = 1;
  EXPECT_TRUE(deliver(host_frame(PDU_DISCOVERY_REQUEST, SESSION_EMPTY)).empty());
  EXPECT_TRUE(connect().empty());

  start(2);
  host.mac = MacAddress{{0x02, 0x7A, 0x41, 0x00, 0x00, 0x99}};
  EXPECT_TRUE(connect().empty()) << "a request for another radio";
  host.mac = MacAddress::broadcast();
  EXPECT_TRUE(connect().empty()) << "only identify requests are taken from broadcast";
}

TEST_F(RadioTest, ConnectIsAcceptedInTheRadiosByteOrder) {
  for (int l : {0, 1, 2}) {
    const auto level = static_cast<uint8_t>(l);
    SCOPED_TRACE(testing::Message() << "level " << int{level});
    start(level);
    const auto seen = connect();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].header.pdu, PDU_CONNECT_ACCEPT);
    EXPECT_EQ(seen[0].header.cid, CID);
    EXPECT_EQ(seen[0].header.tseq, 0u);
    EXPECT_EQ(seen[0].header.rseq, 1u);
    EXPECT_EQ(seen[0].header.nbytes, 0u);
    EXPECT_EQ(seen[1].header.pdu, PDU_DATA);
    EXPECT_EQ(seen[1].header.tseq, 0u);
    EXPECT_EQ(screen, "\r\nMast (firmware OR-2.4.1, protocol level " + std::to_string(level) + ")\r\nMast> ");
    screen.clear();
  }
}

TEST_F(RadioTest, HeaderInTheWrongByteOrderIsNotUnderstood) {
  start(2);
  host.protocol_level = 0;  // the program believes it is a level-0 radio
  EXPECT_TRUE(connect().empty());
  EXPECT_EQ(radio.state, LinkState::idle);
}

TEST_F(RadioTest, TypedBytesAreAcknowledgedAndEchoedWithByteCounts) {
  connected(2);
  const uint32_t greeting = radio.tseq;
  auto seen = type("ver");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header.pdu, PDU_ACK);
  EXPECT_EQ(seen[0].header.rseq, 4u);
  EXPECT_EQ(seen[0].header.tseq, greeting);
  EXPECT_EQ(seen[1].header.pdu, PDU_DATA);
  EXPECT_EQ(seen[1].header.tseq, greeting);
  EXPECT_EQ(seen[1].header.rseq, 4u);
  EXPECT_TRUE(ack().empty());

  seen = type("sion\r");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header.rseq, 9u);
  EXPECT_EQ(seen[1].header.tseq, greeting + 3);
  ack();
  EXPECT_EQ(screen, "version\r\nMast firmware OR-2.4.1, protocol level 2\r\nMast> ");
  EXPECT_EQ(radio.tseq, host.rseq);
}

TEST_F(RadioTest, RepeatedFrameIsAcknowledgedAgainButNotEchoedAgain) {
  connected(1);
  type("ab");
  ack();
  host.tseq = 1;  // the program resends: its acknowledgement was lost
  const auto seen = type("ab");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header.pdu, PDU_ACK);
  EXPECT_EQ(seen[0].header.rseq, 3u);
  EXPECT_EQ(screen, "ab");
  // An empty data frame is neither counted nor acknowledged.
  EXPECT_TRUE(deliver(host_frame(PDU_DATA, SESSION_FOUND)).empty());
}

TEST_F(RadioTest, UnacknowledgedDataIsResentWithGrowingWaitsThenGivenUp) {
  start(2);
  const auto first = connect();
  const std::vector<uint64_t> waits = {300, 390, 507, 659, 856, 1112, 1445, 1878, 2441, 3173, 4124};
  for (uint64_t wait : waits) {
    ASSERT_EQ(next_deadline(radio), now + wait);
    EXPECT_TRUE(tick(now + wait - 1).empty());
    const auto again = tick(now + 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].header.tseq, 0u) << "the same frame, unchanged";
    EXPECT_EQ(again[0].payload, first[1].payload);
  }
  EXPECT_TRUE(tick(now + 5361).empty());
  EXPECT_EQ(radio.state, LinkState::idle);
  EXPECT_EQ(events.back(), "Mast: no acknowledgement after 12 transmissions: session given up");
}

// The program's side of a file transfer: takes the radio's request, answers
// with the response and sends the blocks the way it splits them.
struct Transfer {
  uint8_t level;
  size_t size;
  const char* requested;
  std::vector<size_t> frames;  // payload sizes of the file data frames, 0 = the empty last block
};

TEST_F(RadioTest, DownloadAsksForTheFileAndStoresEveryBlock) {
  const std::vector<Transfer> cases = {
      {0, 2700, "tmp/fw", {1350, 1350, 0}},
      {1, 3000, "fw", {1350, 1350, 300}},
      {2, 256, "fw", {200, 56}},
      {2, 0, "fw", {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << int{c.level} << " size " << c.size);
    connected(c.level);
    stored.clear();
    auto seen = type("download fw flash/fw.bin\r");
    seen = ack();  // the echo taken: the request follows
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header.pdu, PDU_FILE_REQUEST);
    EXPECT_EQ(seen[0].text(), c.requested);

    std::vector<uint8_t> content(c.size);
    for (size_t i = 0; i < c.size; ++i) content[i] = static_cast<uint8_t>(i * 7);
    const auto response = build_file_response({0, static_cast<int32_t>(c.size)});
    seen = deliver(host_frame(PDU_FILE_RESPONSE, SESSION_TRANSFER, {response.begin(), response.end()}));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header.pdu, PDU_ACK);
    EXPECT_EQ(seen[0].header.rseq, host.tseq);
    EXPECT_FALSE(radio.pending.active) << "the response's RSEQ covered the request";

    size_t at = 0;
    for (size_t n : c.frames) {
      EXPECT_TRUE(stored.empty()) << "stored before the last block";
      seen = deliver(host_frame(PDU_FILE_DATA, SESSION_TRANSFER, {content.begin() + static_cast<long>(at),
                                                                  content.begin() + static_cast<long>(at + n)}));
      at += n;
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen[0].header.pdu, PDU_ACK);
      EXPECT_EQ(seen[0].header.rseq, host.tseq);
    }
    ack();
    ASSERT_EQ(stored.count("Mast/fw.bin"), 1u);
    EXPECT_EQ(stored["Mast/fw.bin"], content);
    EXPECT_NE(screen.find("Download complete: " + std::to_string(c.size) + " bytes stored as fw.bin\r\nMast> "),
              std::string::npos)
        << screen;
  }
}

class DownloadTest : public RadioTest {
 protected:
  // Connected, "download fw fw" typed, the request taken.
  void requested(RadioFaults faults = {}) {
    connected(2, faults);
    type("download fw fw\r");
    ack();
    screen.clear();
  }
  std::vector<Seen> respond(int32_t status, int32_t size) {
    const auto response = build_file_response({status, size});
    return deliver(host_frame(PDU_FILE_RESPONSE, SESSION_TRANSFER, {response.begin(), response.end()}));
  }
  std::vector<Seen> block(size_t n) {
    return deliver(host_frame(PDU_FILE_DATA, SESSION_TRANSFER, std::vector<uint8_t>(n, 0x5A)));
  }
};

TEST_F(DownloadTest, MissingFileEndsTheDownloadWithAMessage) {
  requested();
  const auto seen = respond(-1, -1);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header.pdu, PDU_ACK);
  ack();
  EXPECT_EQ(screen, "Download of fw failed: not available on the host (status -1)\r\nMast> ");
  EXPECT_FALSE(radio.download.active);
}

TEST_F(DownloadTest, RefusedDownloadAnswersWithAnErrorInsteadOfAnAcknowledgement) {
  RadioFaults f;
  f.refuse_downloads = 1;
  requested(f);
  const auto seen = respond(0, 10);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header.pdu, PDU_ERROR);
  EXPECT_EQ(seen[0].header.rseq, host.tseq) << "the response is counted";
  EXPECT_EQ(seen[0].payload, bytes(std::string("Download refused") + '\0'));
  ack();
  EXPECT_EQ(screen, "Download of fw refused\r\nMast> ");
  // The next download goes through.
  type("download fw fw\r");
  ack();
  respond(0, 10);
  block(10);
  EXPECT_EQ(stored.count("Mast/fw"), 1u);
}

TEST_F(DownloadTest, EmptyLastBlockUnacknowledgedOnRequestButFileStored) {
  RadioFaults f;
  f.no_empty_ack = true;
  requested(f);
  respond(0, 1350);
  block(1350);
  const auto seen = block(0);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header.pdu, PDU_DATA) << "the completion line, no acknowledgement";
  EXPECT_EQ(stored["Mast/fw"].size(), 1350u);
}

TEST_F(DownloadTest, PrintsWhileReceivingOnRequest) {
  RadioFaults f;
  f.print_during_transfer = true;
  requested(f);
  auto seen = respond(0, 1400);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].text(), "Receiving fw (1400 bytes) ");
  seen = block(1350);
  ASSERT_EQ(seen.size(), 2u) << "the block's RSEQ acknowledged the text before";
  EXPECT_EQ(seen[1].text(), "#");
  block(50);
  for (int i = 0; i < 5 && radio.pending.active; ++i) ack();
  EXPECT_EQ(screen, "Receiving fw (1400 bytes) ##\r\nDownload complete: 1400 bytes stored as fw\r\nMast> ");
}

TEST_F(DownloadTest, MoreDataThanAnnouncedIsRefused) {
  requested();
  respond(0, 100);
  const auto seen = block(101);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].header.pdu, PDU_ERROR);
  EXPECT_TRUE(stored.empty());
}

TEST_F(RadioTest, EveryNthFrameIsLostOnRequest) {
  RadioFaults f;
  f.drop_every = 3;
  start(2, f);
  EXPECT_FALSE(connect().empty());  // frame 1
  EXPECT_TRUE(ack().empty());       // frame 2: taken, nothing to say
  host.tseq = 1;
  EXPECT_TRUE(type("a").empty()) << "frame 3 lost";
  host.tseq = 1;
  EXPECT_EQ(type("a").size(), 2u) << "its repetition gets through: acknowledged and echoed";
}

TEST_F(RadioTest, FailingCommandIsNeverAcknowledgedUntilANewConnection) {
  RadioFaults f;
  f.fail_command = 2;
  connected(2, f);
  command("sdp a\n");
  EXPECT_TRUE(type(std::string("sdp b\n") + '\0').empty());
  host.tseq = host.tseq - 7;
  EXPECT_TRUE(type(std::string("sdp b\n") + '\0').empty()) << "the repetition fails too";
  EXPECT_TRUE(deliver(host_frame(PDU_DISCONNECT, SESSION_CONNECTED)).empty());
  EXPECT_EQ(radio.state, LinkState::idle);
  // The next pass sets the connection up again and the command goes through.
  connect();
  ack();
  screen.clear();
  command("sdp b\n");
  EXPECT_EQ(screen, "sdp b\r\nOK\r\nMast> ");
}

TEST_F(RadioTest, NthCommandAnsweredWithRestoreOrError) {
  RadioFaults f;
  f.restore_at = 2;
  f.error_at = 1;
  connected(2, f);
  type("x\r");
  auto seen = ack();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header.pdu, PDU_ERROR);
  EXPECT_EQ(seen[0].payload, bytes(std::string("Command failed: x") + '\0'));
  EXPECT_EQ(seen[1].text(), "Mast> ");
  ack();
  type("y\r");
  seen = ack();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header.pdu, PDU_RESTORE);
  EXPECT_EQ(seen[0].header.nbytes, 0u);
  // The program answers a restore with a new connection.
  EXPECT_EQ(connect(CID + 1).size(), 2u);
  EXPECT_EQ(radio.cid, CID + 1);
}

TEST_F(RadioTest, AnswersOfTheCommandLine) {
  RadioFaults escapes;
  escapes.escapes = true;
  struct Case {
    RadioFaults faults;
    std::string typed;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {{}, "sdp fw.bin\r", "sdp fw.bin\r\nOK\r\nMast> "},
      {{}, "sdp\r", "sdp\r\nUsage: sdp NAME\r\nMast> "},
      {{}, "download a\r", "download a\r\nUsage: download SRC DST\r\nMast> "},
      {{}, "download a ..\r", "download a ..\r\nInvalid destination name: ..\r\nMast> "},
      {{}, "reboot now\r", "reboot now\r\nUnknown command: reboot\r\nMast> "},
      {{}, "  \r", "  \r\nMast> "},
      {{}, "ab\x7f" "c\r\n", "ab\b \bc\r\nUnknown command: ac\r\nMast> "},
      {{}, "xy\x03", "xy^C\r\nMast> "},
      {escapes, "sdp a\r", "sdp a\r\n\x1b[H\x1b[JOK\r\nMast> "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    connected(2, c.faults);
    command(c.typed);
    EXPECT_EQ(screen, c.shown);
  }
}

TEST_F(RadioTest, LogoutSaysByeThenDisconnects) {
  connected(2);
  type("logout\r");
  const auto seen = ack();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header.pdu, PDU_DISCONNECT);
  EXPECT_EQ(screen, "logout\r\nBye\r\n");
  EXPECT_EQ(radio.state, LinkState::idle);
  EXPECT_TRUE(type("x").empty()) << "no connection any more";
}

TEST_F(RadioTest, TaggedFramesMeetThePrograms802_1QHandling) {
  start(2);
  auto seen_frame = build_radio_frame(HOST, RADIO, PDU_ACK, CID, 7, 9, {});
  insert_vlan_tag(seen_frame, 0x0123);
  ASSERT_EQ(seen_frame.size(), 44u);
  EXPECT_EQ(get_be16(seen_frame.data() + 12), 0x8100);
  EXPECT_EQ(get_be16(seen_frame.data() + 14), 0x0123);
  EXPECT_EQ(get_be16(seen_frame.data() + 16), 40) << "the length field keeps its value";

  // The program's tagged frame, its tag removed by the radio, is understood.
  program_options().vlan_id = 5;
  host.cid = CID;
  host.tseq = 1;
  const auto request = build_connect_request("h", 2);
  auto tagged = host_frame(PDU_CONNECT_REQUEST, SESSION_FOUND, {request.begin(), request.end()});
  EXPECT_EQ(tagged.size(), 40u + 48u + 4u);
  EXPECT_TRUE(remove_vlan_tag(tagged));
  EXPECT_FALSE(remove_vlan_tag(tagged)) << "only one tag";
  EXPECT_EQ(deliver(tagged).size(), 2u);
}

struct Editing {
  std::string typed;
  std::string echo;
  std::vector<std::string> lines;
};

TEST(LineEditor, LineEndsErasureAndIgnoredBytes) {
  const std::vector<Editing> cases = {
      {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd", {"a", "b", "c"}},
      {std::string("x\n\0\0y\r", 6), "x\r\ny\r\n", {"x", "y"}},
      {"\r\n\r\n", "\r\n\r\n", {"", ""}},
      {"ab\b\bc\x7f\x7f\r", "ab\b \b\b \bc\b \b\r\n", {""}},
      {"a\x01\x1b\x10" "b\r", "ab\r\n", {"ab"}},
      {std::string(300, 'z') + "\r", std::string(MAX_COMMAND_LINE, 'z') + "\r\n", {std::string(MAX_COMMAND_LINE, 'z')}},
  };
  for (const auto& c : cases) {
    LineEditor editor;
    std::string echo;
    std::string completed;
    std::vector<std::string> lines;
    for (char ch : c.typed) {
      if (edit_byte(editor, static_cast<uint8_t>(ch), echo, completed) == EditEvent::line) lines.push_back(completed);
    }
    EXPECT_EQ(echo, c.echo);
    EXPECT_EQ(lines, c.lines);
  }
  LineEditor editor;
  const auto typed = bytes("a\r\nb\r  \rc");
  EXPECT_EQ(count_completed_lines(editor, typed.data(), typed.size()), 2) << "blank lines are no commands";
  EXPECT_TRUE(editor.line.empty()) << "counting changes nothing";
}

}  // namespace
}  // namespace orvex::sim
