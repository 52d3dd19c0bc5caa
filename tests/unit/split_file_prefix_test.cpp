#include <gtest/gtest.h>

#include <string>

#include "protocol/transfer.hpp"

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

}  // namespace
}  // namespace orvex
