#include "scanner/advertisement_decoder.h"

#include <array>

namespace scanner {
namespace {

constexpr std::size_t kPayloadSize = 8;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isDigit(std::uint8_t byte) { return byte >= '0' && byte <= '9'; }

// "dddd-ddd": exactly the eight bytes an anchored ^[0-9]{4}-[0-9]{3}$ accepts.
bool isUnitNumber(std::span<const std::uint8_t> payload) {
  for (std::size_t i = 0; i < kPayloadSize; ++i) {
    bool ok = i == 4 ? payload[i] == '-' : isDigit(payload[i]);
    if (!ok) return false;
  }
  return true;
}

void appendHexByte(char*& out, std::uint8_t byte) {
  *out++ = kHexDigits[byte >> 4];
  *out++ = kHexDigits[byte & 0x0F];
}

// Two little-endian 32-bit words, each printed as %08X, first word first:
// every group of four bytes appears in reverse order.
IdentityText firmwareSerial(std::span<const std::uint8_t> payload) {
  std::array<char, 16> text;
  char* out = text.data();
  for (std::size_t word = 0; word < 2; ++word) {
    for (std::size_t i = 0; i < 4; ++i) appendHexByte(out, payload[word * 4 + 3 - i]);
  }
  return IdentityText(std::string_view(text.data(), text.size()));
}

std::string hexBytes(std::span<const std::uint8_t> payload) {
  std::string text(payload.size() * 2, '0');
  char* out = text.data();
  for (std::uint8_t byte : payload) appendHexByte(out, byte);
  return text;
}

}  // namespace

AdvertisementDecoder::AdvertisementDecoder(bool firmwareDfu)
    : firmwareDfu_(firmwareDfu), scanServiceUuid_(ble::Uuid::fromShort(firmwareDfu ? 0xFE59 : 0x1523)) {}

std::optional<std::span<const std::uint8_t>> AdvertisementDecoder::findPayload(
    const ble::AdvertisementData& data) const {
  for (const ble::ServiceDataEntry& entry : data.serviceData) {
    if (entry.uuid == scanServiceUuid_) return entry.data;
  }
  return std::nullopt;
}

std::optional<IdentityText> AdvertisementDecoder::decodeIdentity(std::span<const std::uint8_t> payload) const {
  if (payload.size() != kPayloadSize) return std::nullopt;
  if (firmwareDfu_) return firmwareSerial(payload);
  if (!isUnitNumber(payload)) return std::nullopt;
  return IdentityText(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
}

app::Record AdvertisementDecoder::makeRecord(const ble::Uuid& identifier, const IdentityText& identity,
                                             std::span<const std::uint8_t> payload) const {
  if (!firmwareDfu_) {
    return {{"deviceId", identifier.toString()}, {"unitNumber", std::string(identity.view())}};
  }
  return {{"deviceId", identifier.toString()},
          {"serial", std::string(identity.view())},
          {"serviceUuid", "FE59"},
          {"serviceDataHex", hexBytes(payload)}};
}

}  // namespace scanner
