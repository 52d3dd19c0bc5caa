// Key decoding from the bytes terminals send, in both cursor/keypad modes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "console/keys.hpp"
#include "os/terminal.hpp"
#include "tests/support/key_input.hpp"
#include "tests/support/test_state.hpp"

namespace orvex {
namespace {

// Feeds every byte, then (if the decoder still holds a sequence) the pause
// after it; returns the keys that came out.
std::vector<int> decode_all(const std::string& bytes, bool pause_after = true) {
  KeyDecoder d;
  std::vector<int> keys;
  for (char c : bytes) {
    const int k = decode_key_byte(d, static_cast<uint8_t>(c));
    if (k != KEY_PENDING) keys.push_back(k);
  }
  if (pause_after) {
    const int k = decode_key_timeout(d);
    if (k != KEY_PENDING) keys.push_back(k);
  }
  return keys;
}

struct KeyCase {
  const char* name;
  std::string bytes;
  int code;
};

const KeyCase KEY_CASES[] = {
    // Function keys: VT220/xterm, SS3 (application mode), Linux console forms.
    {"F1 ss3", "\x1bOP", KEY_F1},      {"F2 ss3", "\x1bOQ", KEY_F2},
    {"F3 ss3", "\x1bOR", KEY_F3},      {"F4 ss3", "\x1bOS", KEY_F4},
    {"F1 vt", "\x1b[11~", KEY_F1},     {"F2 vt", "\x1b[12~", KEY_F2},
    {"F3 vt", "\x1b[13~", KEY_F3},     {"F4 vt", "\x1b[14~", KEY_F4},
    {"F5", "\x1b[15~", KEY_F5},        {"F6", "\x1b[17~", KEY_F6},
    {"F1 linux", "\x1b[[A", KEY_F1},   {"F5 linux", "\x1b[[E", KEY_F5},
    {"F7", "\x1b[18~", KEY_OTHER_FUNCTION},
    {"F12", "\x1b[24~", KEY_OTHER_FUNCTION},
    {"shift F1", "\x1b[1;2P", KEY_OTHER_FUNCTION},
    {"ctrl F5", "\x1b[15;5~", KEY_OTHER_FUNCTION},
    {"shift F1 old", "\x1bO2P", KEY_OTHER_FUNCTION},
    // Cursor keys, normal (CSI) and application (SS3) modes alike.
    {"up", "\x1b[A", 0x10},            {"up app", "\x1bOA", 0x10},
    {"down", "\x1b[B", 0x0E},          {"down app", "\x1bOB", 0x0E},
    {"right", "\x1b[C", 0x06},         {"right app", "\x1bOC", 0x06},
    {"left", "\x1b[D", 0x02},          {"left app", "\x1bOD", 0x02},
    {"home", "\x1b[H", 0x01},          {"home app", "\x1bOH", 0x01},
    {"home vt", "\x1b[1~", 0x01},      {"home rxvt", "\x1b[7~", 0x01},
    {"end", "\x1b[F", 0x05},           {"end app", "\x1bOF", 0x05},
    {"end vt", "\x1b[4~", 0x05},       {"end rxvt", "\x1b[8~", 0x05},
    {"delete", "\x1b[3~", 0x04},
    {"insert", "\x1b[2~", 0},          {"page up", "\x1b[5~", 0},
    {"page down", "\x1b[6~", 0},       {"keypad centre", "\x1b[E", 0},
    {"shift up", "\x1b[1;2A", 0x10},   {"ctrl up", "\x1b[1;5A", 0},
    {"alt up", "\x1b[1;3A", KEY_OTHER_FUNCTION},
    {"ctrl delete", "\x1b[3;5~", 0},
    // The application keypad gives the characters on its keys.
    {"keypad enter", "\x1bOM", '\r'},  {"keypad 0", "\x1bOp", '0'},
    {"keypad 9", "\x1bOy", '9'},       {"keypad star", "\x1bOj", '*'},
    {"keypad minus", "\x1bOm", '-'},   {"keypad dot", "\x1bOn", '.'},
    // Esc alone, Alt+key, and what is not a known key.
    {"esc alone", "\x1b", KEY_ESC},
    {"alt x", "\x1bx", KEY_OTHER_FUNCTION},
    {"alt esc", "\x1b\x1b", KEY_OTHER_FUNCTION},
    {"alt up rxvt", "\x1b\x1b[A", KEY_OTHER_FUNCTION},
    {"esc [ cut short", "\x1b[", KEY_OTHER_FUNCTION},
    {"esc O cut short", "\x1bO", KEY_OTHER_FUNCTION},
    {"unknown csi", "\x1b[99z", KEY_OTHER_FUNCTION},
    {"unknown ss3", "\x1bOz", KEY_OTHER_FUNCTION},
    {"overlong", "\x1b[1;2;3;4;5;6;7;8;9;10A", KEY_OTHER_FUNCTION},
    // Plain bytes.
    {"ctrl c", "\x03", 3},             {"ctrl r", "\x12", 18},
    {"letter", "a", 'a'},              {"enter", "\r", '\r'},
    {"backspace", "\x7f", 0x08},       {"nul", std::string(1, '\0'), 0},
    {"high byte", "\xe9", 0xE9},
};

TEST(KeyDecoding, EachSequenceGivesOneKey) {
  for (const KeyCase& c : KEY_CASES) {
    EXPECT_EQ(decode_all(c.bytes), std::vector<int>{c.code}) << c.name;
  }
}

TEST(KeyDecoding, EscStartingASequenceIsNeverEsc) {
  // The whole sequence arrives without a pause: one key, no Esc.
  EXPECT_EQ(decode_all("\x1b[A", false), std::vector<int>{0x10});
  // Esc, a pause, then a letter: Esc and the letter.
  KeyDecoder d;
  EXPECT_EQ(decode_key_byte(d, 27), KEY_PENDING);
  EXPECT_EQ(decode_key_timeout(d), KEY_ESC);
  EXPECT_EQ(decode_key_byte(d, 'A'), 'A');
  // Keys back to back keep their order.
  EXPECT_EQ(decode_all("a\x1bOPb\x1b[3~"), (std::vector<int>{'a', KEY_F1, 'b', 0x04}));
  // A pause between keys with nothing begun gives nothing.
  EXPECT_EQ(decode_key_timeout(d), KEY_PENDING);
}

class ReadKeyTest : public test::OrvexTest {};

TEST_F(ReadKeyTest, EscAloneWaitsBrieflyThenIsEsc) {
  test::KeyPipe keys;
  keys.type("\x1b");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_key(), KEY_ESC);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(ESC_SEQUENCE_WAIT_MS - 5));
  EXPECT_LT(waited, std::chrono::seconds(2));
}

TEST_F(ReadKeyTest, SequencesAndEndOfInput) {
  test::KeyPipe keys;
  keys.type("\x1b[15~x\x1bOA\x03");
  EXPECT_EQ(read_key(), KEY_F5);
  EXPECT_EQ(read_key(), 'x');
  EXPECT_EQ(read_key(), 0x10);
  EXPECT_EQ(read_key(), 3);
  keys.type("\x1b[");  // cut short by the end of input
  keys.close_input();
  EXPECT_EQ(read_key(), KEY_OTHER_FUNCTION);
  EXPECT_EQ(read_key(), KEY_INPUT_END);
  EXPECT_EQ(read_key(), KEY_INPUT_END);  // ended for good, no spinning
}

TEST_F(ReadKeyTest, NoInputAtAllIsTheEndOfInputNotAnError) {
  // A descriptor that is not open, as when the program runs with standard
  // input closed.
  set_terminal_input_fd(999);
  EXPECT_EQ(read_key(), KEY_INPUT_END);
  set_terminal_input_fd(0);
}

}  // namespace
}  // namespace orvex
