#include <gtest/gtest.h>

#include <string>

#include "engine/transfer.hpp"

namespace orvex {
namespace {

TEST(SplitFilePrefix, AcceptsTmpAndFlashAndNamesWithoutASeparator) {
  struct Case {
    std::string name;
    int result;
    const char* prefix;
    const char* rest;
  } cases[] = {
      {"tmp/fw", 0, "tmp", "fw"},
      {"flash/fw", 0, "flash", "fw"},
      {"tmp\\fw", 0, "tmp", "fw"},
      {"flash/dir/fw.bin", 0, "flash", "dir/fw.bin"},
      {"fw", 0, "fw", "fw"},
      {"tmp/", 0, "tmp", ""},
      {"boot/fw", 1, "boot", ""},
      {"/fw", 1, "", ""},
      {"TMP/fw", 1, "TMP", ""},
      {"tmpx/fw", 1, "tmpx", ""},
      // Only 128 characters of a name are looked at.
      {"tmp/" + std::string(200, 'a'), 0, "tmp", nullptr},
  };
  for (const Case& c : cases) {
    char prefix[129] = {};
    char rest[129] = {};
    EXPECT_EQ(split_file_prefix(c.name.c_str(), prefix, rest), c.result) << c.name;
    EXPECT_STREQ(prefix, c.prefix) << c.name;
    if (c.rest != nullptr) {
      EXPECT_STREQ(rest, c.rest) << c.name;
    } else {
      EXPECT_EQ(std::string(rest), std::string(124, 'a')) << c.name;
    }
  }
}

TEST(ProgressPercent, DividesByTheSizePlusOneWithoutOverflow) {
  struct Case {
    int32_t sent;
    int64_t total;
    int percent;
  } cases[] = {
      {1350, 2701, 49},       {2700, 2701, 99},          {0, 1, 0},
      {21474837, 21474838, 99},  // beyond 21474836 bytes: 100 times it needs more than 32 bits
      {1073741824, 2147483648, 50}, {2147483647, 2147483648, 99},
  };
  for (const Case& c : cases) EXPECT_EQ(progress_percent(c.sent, c.total), c.percent) << c.sent;
}

}  // namespace
}  // namespace orvex
