#include "base/number_text.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace orvex {
namespace {

TEST(NumberTextTest, ReadsLenientlyAndNeverOverflows) {
  struct Case {
    const char* text;
    int64_t value;
    int as_int;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"abc", 0, 0},
      {"42", 42, 42},
      {"  \t-17x", -17, -17},
      {"+5", 5, 5},
      {"2x", 2, 2},
      {"- 3", 0, 0},
      {"99999999999", 99999999999, INT_MAX},
      {"-99999999999", -99999999999, INT_MIN},
      {"123456789012345678901234567890", INT64_MAX, INT_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_decimal(c.text), c.value) << c.text;
    EXPECT_EQ(read_decimal_int(c.text), c.as_int) << c.text;
  }
}

}  // namespace
}  // namespace orvex
