#include "scanner/advertisement_decoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using scanner::AdvertisementDecoder;

const ble::Uuid kPeripheral = *ble::Uuid::parse("00000000-0000-0000-0000-AABBCCDDEEFF");

Bytes text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

// What one payload turns into: the record's values beside deviceId, or
// nothing at all.
std::optional<app::Record> decode(bool firmwareDfu, const Bytes& payload) {
  AdvertisementDecoder decoder(firmwareDfu);
  auto identity = decoder.decodeIdentity(payload);
  if (!identity) return std::nullopt;
  auto record = decoder.makeRecord(kPeripheral, *identity, payload);
  EXPECT_EQ(record.at("deviceId"), "00000000-0000-0000-0000-AABBCCDDEEFF");
  record.erase("deviceId");
  return record;
}

TEST(AdvertisementDecoderTest, UnitNumbers) {
  struct Case {
    const char* name;
    Bytes payload;
    std::optional<std::string> unitNumber;
  };
  const Case cases[] = {
      {"unit number", text("1234-567"), "1234-567"},
      {"all zeros", text("0000-000"), "0000-000"},
      {"7 bytes", text("1234-56"), std::nullopt},
      {"9 bytes", text("1234-5678"), std::nullopt},
      {"empty", Bytes{}, std::nullopt},
      {"letter for a digit", text("12a4-567"), std::nullopt},
      {"space for the hyphen", text("1234 567"), std::nullopt},
      {"underscore for the hyphen", text("1234_567"), std::nullopt},
      {"eight digits", text("12345678"), std::nullopt},
      {"hyphen moved", text("123-4567"), std::nullopt},
      {"byte above 0x7F", Bytes{'1', '2', '3', '4', '-', '5', '6', 0xB7}, std::nullopt},
      {"NUL byte", Bytes{'1', '2', '3', '4', '-', '5', '6', 0x00}, std::nullopt},
      {"digit plus 0x80", Bytes{0xB1, '2', '3', '4', '-', '5', '6', '7'}, std::nullopt},
      {"trailing newline", text("234-567\n"), std::nullopt},
  };
  for (const auto& c : cases) {
    auto record = decode(false, c.payload);
    if (!c.unitNumber) {
      EXPECT_FALSE(record) << c.name;
      continue;
    }
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(*record, (app::Record{{"unitNumber", *c.unitNumber}})) << c.name;
  }
}

TEST(AdvertisementDecoderTest, FirmwareUpdateRecords) {
  struct Case {
    const char* name;
    Bytes payload;
    std::optional<std::pair<std::string, std::string>> serialAndHex;
  };
  const Case cases[] = {
      {"words are little-endian", Bytes{1, 2, 3, 4, 5, 6, 7, 8}, {{"0403020108070605", "0102030405060708"}}},
      {"zeros are reported", Bytes(8, 0), {{"0000000000000000", "0000000000000000"}}},
      {"upper case", Bytes(8, 0xFF), {{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF"}}},
      {"mixed", Bytes{0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89},
       {{"01EFCDAB89674523", "ABCDEF0123456789"}}},
      {"content is not checked", text("1234-567"), {{"343332313736352D", "313233342D353637"}}},
      {"7 bytes", Bytes(7, 1), std::nullopt},
      {"9 bytes", Bytes(9, 1), std::nullopt},
  };
  for (const auto& c : cases) {
    auto record = decode(true, c.payload);
    if (!c.serialAndHex) {
      EXPECT_FALSE(record) << c.name;
      continue;
    }
    ASSERT_TRUE(record) << c.name;
    EXPECT_EQ(*record, (app::Record{{"serial", c.serialAndHex->first},
                                    {"serviceDataHex", c.serialAndHex->second},
                                    {"serviceUuid", "FE59"}}))
        << c.name;
  }
}

TEST(AdvertisementDecoderTest, PayloadIsFoundByServiceUuidValue) {
  Bytes unit = text("1234-567");
  Bytes other = text("9999-999");
  const ble::ServiceDataEntry entries[] = {
      {*ble::Uuid::withString("0000fe59-0000-1000-8000-00805f9b34fb"), other},
      {*ble::Uuid::withString("00001523-0000-1000-8000-00805F9B34FB"), unit},
  };
  ble::AdvertisementData data{entries};

  auto normal = AdvertisementDecoder(false).findPayload(data);
  ASSERT_TRUE(normal);
  EXPECT_EQ(normal->data(), unit.data());
  auto dfu = AdvertisementDecoder(true).findPayload(data);
  ASSERT_TRUE(dfu);
  EXPECT_EQ(dfu->data(), other.data());
  EXPECT_FALSE(AdvertisementDecoder(false).findPayload(ble::AdvertisementData{}));
}

}  // namespace
