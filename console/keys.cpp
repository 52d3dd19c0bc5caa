#include "console/keys.hpp"

#include <cstring>
#include <string_view>

#include "os/terminal.hpp"

namespace orvex {

namespace {

constexpr uint8_t ESC = 27;
constexpr uint8_t DEL = 0x7F;

enum class KeyKind : uint8_t { FUNCTION, EDITING, CHARACTER };

struct SequenceKey {
  std::string_view text;  // what follows ESC [ or ESC O, modifier left out
  int code;
  KeyKind kind;
};

// ESC [ ... : xterm, VT220 and rxvt forms.
constexpr SequenceKey CSI_KEYS[] = {
    {"A", KEY_CODE_UP, KeyKind::EDITING},     {"B", KEY_CODE_DOWN, KeyKind::EDITING},
    {"C", KEY_CODE_RIGHT, KeyKind::EDITING},  {"D", KEY_CODE_LEFT, KeyKind::EDITING},
    {"H", KEY_CODE_HOME, KeyKind::EDITING},   {"F", KEY_CODE_END, KeyKind::EDITING},
    {"E", 0, KeyKind::EDITING},  // keypad centre
    {"1~", KEY_CODE_HOME, KeyKind::EDITING},  {"7~", KEY_CODE_HOME, KeyKind::EDITING},
    {"4~", KEY_CODE_END, KeyKind::EDITING},   {"8~", KEY_CODE_END, KeyKind::EDITING},
    {"2~", 0, KeyKind::EDITING},  // Insert
    {"3~", KEY_CODE_DELETE, KeyKind::EDITING},
    {"5~", 0, KeyKind::EDITING},  // Page Up
    {"6~", 0, KeyKind::EDITING},  // Page Down
    {"11~", KEY_F1, KeyKind::FUNCTION},       {"12~", KEY_F2, KeyKind::FUNCTION},
    {"13~", KEY_F3, KeyKind::FUNCTION},       {"14~", KEY_F4, KeyKind::FUNCTION},
    {"15~", KEY_F5, KeyKind::FUNCTION},       {"17~", KEY_F6, KeyKind::FUNCTION},
    // F1..F4 with a modifier: ESC [ 1 ; m P
    {"P", KEY_F1, KeyKind::FUNCTION},         {"Q", KEY_F2, KeyKind::FUNCTION},
    {"R", KEY_F3, KeyKind::FUNCTION},         {"S", KEY_F4, KeyKind::FUNCTION},
    // The Linux console's F1..F5: ESC [ [ A..E
    {"[A", KEY_F1, KeyKind::FUNCTION},        {"[B", KEY_F2, KeyKind::FUNCTION},
    {"[C", KEY_F3, KeyKind::FUNCTION},        {"[D", KEY_F4, KeyKind::FUNCTION},
    {"[E", KEY_F5, KeyKind::FUNCTION},
};

// ESC O ... : application cursor keys, F1..F4, and the application keypad,
// whose keys give the characters printed on them.
constexpr SequenceKey SS3_KEYS[] = {
    {"P", KEY_F1, KeyKind::FUNCTION},        {"Q", KEY_F2, KeyKind::FUNCTION},
    {"R", KEY_F3, KeyKind::FUNCTION},        {"S", KEY_F4, KeyKind::FUNCTION},
    {"A", KEY_CODE_UP, KeyKind::EDITING},    {"B", KEY_CODE_DOWN, KeyKind::EDITING},
    {"C", KEY_CODE_RIGHT, KeyKind::EDITING}, {"D", KEY_CODE_LEFT, KeyKind::EDITING},
    {"H", KEY_CODE_HOME, KeyKind::EDITING},  {"F", KEY_CODE_END, KeyKind::EDITING},
    {"E", 0, KeyKind::EDITING},
    {"M", '\r', KeyKind::CHARACTER},         {"X", '=', KeyKind::CHARACTER},
    {"j", '*', KeyKind::CHARACTER},          {"k", '+', KeyKind::CHARACTER},
    {"l", ',', KeyKind::CHARACTER},          {"m", '-', KeyKind::CHARACTER},
    {"n", '.', KeyKind::CHARACTER},          {"o", '/', KeyKind::CHARACTER},
    {"p", '0', KeyKind::CHARACTER},          {"q", '1', KeyKind::CHARACTER},
    {"r", '2', KeyKind::CHARACTER},          {"s", '3', KeyKind::CHARACTER},
    {"t", '4', KeyKind::CHARACTER},          {"u", '5', KeyKind::CHARACTER},
    {"v", '6', KeyKind::CHARACTER},          {"w", '7', KeyKind::CHARACTER},
    {"x", '8', KeyKind::CHARACTER},          {"y", '9', KeyKind::CHARACTER},
};

// Shift is bit 1: it changes nothing, so no test looks for it.
constexpr int MODIFIER_ALT = 2;
constexpr int MODIFIER_CTRL = 4;
constexpr int MODIFIER_META = 8;

template <size_t N>
const SequenceKey* find_key(const SequenceKey (&table)[N], std::string_view text) {
  for (const SequenceKey& key : table) {
    if (key.text == text) return &key;
  }
  return nullptr;
}

// A modifier changes what a key means the way the PC keyboard did: Shift
// leaves a cursor key as it is, Ctrl makes it an editing key the radio gets as
// 0, Alt (or any modifier on a function key) makes it a key acted on nowhere.
int apply_modifier(const SequenceKey* key, int modifier_bits) {
  if (key == nullptr) return KEY_OTHER_FUNCTION;
  if (modifier_bits == 0) return key->code;
  if (key->kind == KeyKind::FUNCTION || (modifier_bits & (MODIFIER_ALT | MODIFIER_META)) != 0) {
    return KEY_OTHER_FUNCTION;
  }
  if ((modifier_bits & MODIFIER_CTRL) != 0) return key->kind == KeyKind::EDITING ? 0 : key->code;
  return key->code;  // Shift alone
}

int parse_number(std::string_view digits) {
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || value > 1000) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// ESC [ params final: "15~", "A", "1;5A", "3;2~".
int lookup_csi(std::string_view body) {
  if (body.empty()) return KEY_OTHER_FUNCTION;
  const char final_byte = body.back();
  const std::string_view params = body.substr(0, body.size() - 1);
  const size_t semicolon = params.find(';');
  if (semicolon == std::string_view::npos) return apply_modifier(find_key(CSI_KEYS, body), 0);
  const std::string_view first = params.substr(0, semicolon);
  const int modifier = parse_number(params.substr(semicolon + 1));
  if (modifier < 1) return KEY_OTHER_FUNCTION;
  std::array<char, KeyDecoder::MAX_SEQUENCE + 1> base{};
  size_t n = 0;
  if (final_byte == '~') {
    for (char c : first) base[n++] = c;
  } else if (!(first.empty() || first == "1")) {
    return KEY_OTHER_FUNCTION;
  }
  base[n++] = final_byte;
  return apply_modifier(find_key(CSI_KEYS, std::string_view(base.data(), n)), modifier - 1);
}

// ESC O [digits] final: the digits, when present, are a modifier.
int lookup_ss3(std::string_view body) {
  const std::string_view digits = body.substr(0, body.size() - 1);
  const int modifier = digits.empty() ? 1 : parse_number(digits);
  if (modifier < 1) return KEY_OTHER_FUNCTION;
  return apply_modifier(find_key(SS3_KEYS, body.substr(body.size() - 1)), modifier - 1);
}

int finish(KeyDecoder& d, int code) {
  const bool alt = d.alt;
  d = KeyDecoder{};
  // Alt with any key (ESC ESC then a sequence) is acted on nowhere.
  return alt ? KEY_OTHER_FUNCTION : code;
}

void keep(KeyDecoder& d, uint8_t byte) {
  if (d.length < KeyDecoder::MAX_SEQUENCE) {
    d.text[static_cast<size_t>(d.length++)] = static_cast<char>(byte);
  } else {
    d.overflow = true;
  }
}

std::string_view kept(const KeyDecoder& d) { return {d.text.data(), static_cast<size_t>(d.length)}; }

}  // namespace

int decode_key_byte(KeyDecoder& d, uint8_t byte) {
  switch (d.state) {
    case KeyDecoderState::GROUND:
      if (byte == ESC) {
        d.state = KeyDecoderState::ESCAPE;
        return KEY_PENDING;
      }
      // Backspace sends DEL on these terminals; the radio knows it as BS.
      return byte == DEL ? KEY_CODE_BACKSPACE : byte;

    case KeyDecoderState::ESCAPE:
      if (byte == '[') {
        d.state = KeyDecoderState::CSI;
        return KEY_PENDING;
      }
      if (byte == 'O') {
        d.state = KeyDecoderState::SS3;
        return KEY_PENDING;
      }
      if (byte == ESC && !d.alt) {
        d.alt = true;  // Alt with the key that follows
        return KEY_PENDING;
      }
      return finish(d, KEY_OTHER_FUNCTION);  // Alt+key

    case KeyDecoderState::CSI:
      if (byte == '[' && d.length == 0) {
        d.state = KeyDecoderState::CSI_LINUX;
        return KEY_PENDING;
      }
      if (byte >= 0x20 && byte <= 0x3F) {
        keep(d, byte);
        return KEY_PENDING;
      }
      if (byte >= 0x40 && byte <= 0x7E) {
        keep(d, byte);
        const int code = d.overflow ? KEY_OTHER_FUNCTION : lookup_csi(kept(d));
        return finish(d, code);
      }
      return finish(d, KEY_OTHER_FUNCTION);  // not a sequence byte: give up on it

    case KeyDecoderState::CSI_LINUX: {
      const char text[2] = {'[', static_cast<char>(byte)};
      return finish(d, apply_modifier(find_key(CSI_KEYS, std::string_view(text, 2)), 0));
    }

    case KeyDecoderState::SS3:
      if (byte >= '0' && byte <= '9') {
        keep(d, byte);
        return KEY_PENDING;
      }
      keep(d, byte);
      return finish(d, d.overflow ? KEY_OTHER_FUNCTION : lookup_ss3(kept(d)));
  }
  return finish(d, KEY_OTHER_FUNCTION);
}

int decode_key_timeout(KeyDecoder& d) {
  switch (d.state) {
    case KeyDecoderState::GROUND: return KEY_PENDING;
    case KeyDecoderState::ESCAPE: return d.alt ? finish(d, KEY_OTHER_FUNCTION) : finish(d, KEY_ESC);
    default: return finish(d, KEY_OTHER_FUNCTION);
  }
}

int read_key(KeyDecoder& decoder) {
  for (;;) {
    const bool in_sequence = decoder.state != KeyDecoderState::GROUND;
    const int byte = read_terminal_byte(in_sequence ? ESC_SEQUENCE_WAIT_MS : -1);
    int code = KEY_PENDING;
    if (byte >= 0) {
      code = decode_key_byte(decoder, static_cast<uint8_t>(byte));
    } else if (byte == TERMINAL_TIMEOUT) {
      code = decode_key_timeout(decoder);
    } else if (byte == TERMINAL_END && in_sequence) {
      code = decode_key_timeout(decoder);  // the next read reports the end
    } else if (byte == TERMINAL_ERROR) {
      decoder = KeyDecoder{};
      return KEY_READ_ERROR;
    } else {
      decoder = KeyDecoder{};
      return KEY_INPUT_END;
    }
    if (code != KEY_PENDING) return code;
  }
}

}  // namespace orvex
