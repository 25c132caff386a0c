#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

using app::CommandLine;
using app::parseCommandLine;

constexpr char kId[] = "00000000-0000-0000-0000-AABBCCDDEEFF";

TEST(CommandLineTest, RefusedForms) {
  const std::vector<std::vector<std::string>> refused = {
      {"--dfu", "--dfu"},
      {"--dfu", "x"},
      {"x", "--dfu"},
      {"--dfu", "--identity", kId},
      {"--DFU"},
      {"-dfu"},
      {"--dfu="},
      {""},
      {"scan"},
      {"--identity"},
      {"--identity", kId, kId},
      {"--identity", kId, "--dfu"},
      {"--identity", "00000000-0000-0000-0000-aabbccddeeff"},
      {"--identity", "00000000-0000-0000-0000-AaBBCCDDEEFF"},
      {"--identity", "not-a-uuid"},
      {"--identity", ""},
      {"--identity", "000000000000000000000000AABBCCDDEEFF"},
      {"--identity", "{00000000-0000-0000-0000-AABBCCDDEEFF}"},
      {"--identity", "00000000-0000-0000-0000-AABBCCDDEEFF "},
      {"--identity", "00000000-0000-0000-0000-AABBCCDDEEFG"},
      {"--identity", "0000000-00000-0000-0000-AABBCCDDEEFF"},
      {kId, "--identity"},
      {"--dfu", "--identity"},
      {"--identity=00000000-0000-0000-0000-AABBCCDDEEFF"},
  };
  for (const auto& arguments : refused) {
    std::string shown;
    for (const auto& a : arguments) shown += "[" + a + "] ";
    EXPECT_FALSE(parseCommandLine(arguments)) << shown;
  }
}

TEST(CommandLineTest, AcceptedForms) {
  auto scanning = parseCommandLine({});
  ASSERT_TRUE(scanning);
  EXPECT_EQ(scanning->mode, CommandLine::Mode::kScanning);
  EXPECT_FALSE(scanning->firmwareDfu);

  auto dfu = parseCommandLine({"--dfu"});
  ASSERT_TRUE(dfu);
  EXPECT_EQ(dfu->mode, CommandLine::Mode::kScanning);
  EXPECT_TRUE(dfu->firmwareDfu);

  auto identity = parseCommandLine({"--identity", kId});
  ASSERT_TRUE(identity);
  EXPECT_EQ(identity->mode, CommandLine::Mode::kIdentity);
  EXPECT_EQ(identity->identifier.toString(), kId);
  EXPECT_FALSE(identity->firmwareDfu);
}

}  // namespace
