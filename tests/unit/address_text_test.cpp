#include <gtest/gtest.h>

#include <string>

#include "base/address_text.hpp"

namespace orvex {
namespace {

TEST(AddressText, AcceptedAndRefusedForms) {
  const MacAddress expected{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}};
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"02:7a:42:00:2c:12", true},
      {"02:7A:42:00:2C:12", true},
      {"027A42002C12:::::", true},   // the colons may stand anywhere
      {":::::027a42002c12", true},
      {"02-7A-42-00-2C-12", false},  // hyphens are not colons
      {"02:7A:42:00:2C:1", false},   // 16 characters
      {"02:7A:42:00:2C:123", false}, // 18 characters
      {"027A42002C12::::G", false},
      {"027A42002C1::::::", false},  // eleven digits
      {"027A42002C12A::::", false},  // thirteen digits
      {"", false},
  };
  for (const Case& c : cases) {
    MacAddress out{{9, 9, 9, 9, 9, 9}};
    EXPECT_EQ(parse_mac_text(c.text, out), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(out, expected) << c.text;
    } else {
      EXPECT_EQ(out, (MacAddress{{9, 9, 9, 9, 9, 9}})) << "written on failure: " << c.text;
    }
  }
}

TEST(AddressText, FormattingAndSerialNumbers) {
  const MacAddress a{{0x02, 0x7A, 0x42, 0x00, 0x2C, 0x12}};
  const MacAddress b{{0x02, 0x7A, 0x42, 0x00, 0x00, 0x06}};
  const char* first = format_mac_text(a);
  const char* second = format_mac_text(b);
  EXPECT_STREQ(first, "02:7A:42:00:2C:12");  // still valid after the next call
  EXPECT_STREQ(second, "02:7A:42:00:00:06");
  const char* third = format_mac_text(b);
  EXPECT_EQ(third, first);  // the third call reuses the first buffer

  EXPECT_EQ(format_serial_text(a), "11282");
  EXPECT_EQ(format_serial_text(b), "6");
  EXPECT_EQ(format_serial_text(MacAddress{{0, 0, 0, 0xFF, 0xFF, 0xFF}}), "16777215");
  EXPECT_EQ(format_serial_text(MacAddress{}), "0");
}

}  // namespace
}  // namespace orvex
