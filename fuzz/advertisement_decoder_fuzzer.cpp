// Advertisement decoding. Input: one byte whose bit 0 selects --dfu, then
// service-data entries, each a 16-bit UUID (big-endian), a length byte and
// the data. The payload is the first entry under the scanned service; an
// identity is decoded from exactly the payloads the mode reports, and the
// identity and record encode the payload back.
#include <algorithm>

#include "fuzz_support.h"
#include "scanner/advertisement_decoder.h"

namespace {

bool isUnitNumber(std::string_view text) {
  if (text.size() != 8) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 4 ? text[i] != '-' : text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool dfu = size > 0 && (data[0] & 1) != 0;
  std::vector<ble::ServiceDataEntry> entries;
  for (std::size_t at = 1; at + 3 <= size;) {
    auto uuid = ble::Uuid::fromShort(static_cast<std::uint32_t>(data[at] << 8 | data[at + 1]));
    std::size_t length = std::min<std::size_t>(data[at + 2], size - at - 3);
    entries.push_back({uuid, std::span(data + at + 3, length)});
    at += 3 + length;
  }

  const scanner::AdvertisementDecoder decoder(dfu);
  auto payload = decoder.findPayload(ble::AdvertisementData{entries});
  auto first = std::ranges::find(entries, decoder.scanServiceUuid(), &ble::ServiceDataEntry::uuid);
  FUZZ_CHECK(payload.has_value() == (first != entries.end()));
  if (!payload) return 0;
  FUZZ_CHECK(payload->data() == first->data.data() && payload->size() == first->data.size());

  const std::string bytes(payload->begin(), payload->end());
  auto identity = decoder.decodeIdentity(*payload);
  FUZZ_CHECK(identity.has_value() == (dfu ? bytes.size() == 8 : isUnitNumber(bytes)));
  if (!identity) return 0;

  const auto peripheral = ble::Uuid::fromShort(0xD43F7A10);
  const app::Record record = decoder.makeRecord(peripheral, *identity, *payload);
  const std::string text(identity->view());
  if (!dfu) {
    FUZZ_CHECK(text == bytes);
    FUZZ_CHECK((record == app::Record{{"deviceId", peripheral.toString()}, {"unitNumber", bytes}}));
    return 0;
  }
  // The serial is two little-endian 32-bit words: read back, each group of
  // four bytes comes out reversed.
  auto serial = fuzz::hexDecode(text);
  FUZZ_CHECK(serial && serial->size() == 8);
  for (std::size_t i = 0; i < 8; ++i) FUZZ_CHECK((*serial)[i] == bytes[i / 4 * 4 + 3 - i % 4]);
  FUZZ_CHECK(record.size() == 4 && record.at("deviceId") == peripheral.toString() && record.at("serial") == text &&
             record.at("serviceUuid") == "FE59" && fuzz::hexDecode(record.at("serviceDataHex")) == bytes);
  return 0;
}
