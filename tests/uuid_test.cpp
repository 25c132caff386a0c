#include "ble/uuid.h"

#include <gtest/gtest.h>

namespace {

using ble::Uuid;

TEST(UuidTest, BluetoothFormsCompareByValue) {
  struct Case {
    const char* shortForm;
    const char* longForm;
  };
  const Case cases[] = {
      {"1523", "00001523-0000-1000-8000-00805f9b34fb"},
      {"FE59", "0000fe59-0000-1000-8000-00805f9b34fb"},
      {"180a", "0000180A-0000-1000-8000-00805F9B34FB"},
      {"2A25", "00002a25-0000-1000-8000-00805f9b34fb"},
      {"0000180A", "0000180a-0000-1000-8000-00805f9b34fb"},
  };
  for (const auto& c : cases) {
    auto a = Uuid::withString(c.shortForm);
    auto b = Uuid::withString(c.longForm);
    ASSERT_TRUE(a && b) << c.shortForm;
    EXPECT_EQ(*a, *b) << c.shortForm;
  }
  EXPECT_NE(Uuid::fromShort(0x1523), Uuid::fromShort(0xFE59));
  // A 128-bit UUID outside the Bluetooth base is not the 16-bit one.
  EXPECT_NE(*Uuid::withString("00001523-1212-efde-1523-785feabcd123"), Uuid::fromShort(0x1523));
}

TEST(UuidTest, RejectsMalformedText) {
  for (const char* text : {"", "152", "15233", "XYZW", "00001523-0000-1000-8000-00805f9b34f",
                           "00001523-0000-1000-8000_00805f9b34fb", "00001523000010008000-00805f9b34fbaa",
                           "g0001523-0000-1000-8000-00805f9b34fb"}) {
    EXPECT_FALSE(Uuid::withString(text)) << text;
  }
}

TEST(UuidTest, CanonicalTextIsUpperCaseAndRoundTrips) {
  auto uuid = Uuid::parse("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
  ASSERT_TRUE(uuid);
  EXPECT_EQ(uuid->toString(), "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
  EXPECT_EQ(Uuid::parse(uuid->toString()), uuid);
}

}  // namespace
