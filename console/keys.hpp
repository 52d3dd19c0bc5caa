// Keys from the terminal, turned into the codes the keyboard step acts on:
// bytes 0..255 are sent to the radio, the codes from KEY_ESC up are acted on
// here. Terminals send cursor and function keys as escape sequences (CSI and
// SS3 forms, normal and application keypad alike); a small state machine
// turns each into one code.
#pragma once

#include <array>
#include <cstdint>

namespace orvex {

constexpr int KEY_F1 = 8080;
constexpr int KEY_F2 = 8081;
constexpr int KEY_F3 = 8082;
constexpr int KEY_F4 = 8083;
constexpr int KEY_F5 = 8084;
constexpr int KEY_F6 = 8085;
constexpr int KEY_ESC = 8027;
constexpr int KEY_OTHER_FUNCTION = 8099;

// read_key results that are not keys.
constexpr int KEY_INPUT_END = -1;   // input ended or the session is stopping
constexpr int KEY_READ_ERROR = -2;  // the input could not be read

// Cursor and editing keys become the control bytes the radio's line editor
// takes.
constexpr int KEY_CODE_HOME = 0x01;    // Ctrl+A
constexpr int KEY_CODE_UP = 0x10;      // Ctrl+P
constexpr int KEY_CODE_LEFT = 0x02;    // Ctrl+B
constexpr int KEY_CODE_RIGHT = 0x06;   // Ctrl+F
constexpr int KEY_CODE_END = 0x05;     // Ctrl+E
constexpr int KEY_CODE_DOWN = 0x0E;    // Ctrl+N
constexpr int KEY_CODE_DELETE = 0x04;  // Ctrl+D
constexpr int KEY_CODE_BACKSPACE = 0x08;

// How long a lone Esc waits for the rest of a sequence.
constexpr int ESC_SEQUENCE_WAIT_MS = 50;

// No key finished yet: the decoder wants more bytes.
constexpr int KEY_PENDING = -100;

enum class KeyDecoderState : uint8_t {
  GROUND,      // between keys
  ESCAPE,      // after ESC
  CSI,         // after ESC [ : parameters until a final byte
  CSI_LINUX,   // after ESC [ [ : one more byte (Linux console F1..F5)
  SS3,         // after ESC O : optional digits, then one byte
};

// The decoder between bytes. The sequence text kept is bounded; a longer
// sequence is read to its end and reported as KEY_OTHER_FUNCTION.
struct KeyDecoder {
  static constexpr int MAX_SEQUENCE = 16;
  KeyDecoderState state = KeyDecoderState::GROUND;
  std::array<char, MAX_SEQUENCE + 1> text{};
  int length = 0;
  bool overflow = false;
  bool alt = false;  // ESC ESC: Alt held with the key that follows
};

// Feeds one input byte: a key code when a key is complete, else KEY_PENDING.
int decode_key_byte(KeyDecoder& decoder, uint8_t byte);
// No further byte came within ESC_SEQUENCE_WAIT_MS: what was begun is a key
// (ESC alone is KEY_ESC; ESC with a partial sequence is Alt+key, never Esc).
// KEY_PENDING when nothing was begun.
int decode_key_timeout(KeyDecoder& decoder);

// The next key from the terminal input (raw mode is the caller's), or
// KEY_INPUT_END / KEY_READ_ERROR.
int read_key(KeyDecoder& decoder);


}  // namespace orvex
