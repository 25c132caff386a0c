#include "ble/uuid.h"

#include <cstring>

namespace ble {
namespace {

constexpr Uuid::Bytes kBluetoothBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint32_t> parseHexWord(std::string_view text) {
  std::uint32_t value = 0;
  for (char c : text) {
    int digit = hexValue(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

}  // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  std::size_t out = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int high = hexValue(text[i]);
    int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[out++] = static_cast<std::uint8_t>((high << 4) | low);
    i += 2;
  }
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::withString(std::string_view text) {
  if (text.size() == 4 || text.size() == 8) {
    auto value = parseHexWord(text);
    if (!value) return std::nullopt;
    return fromShort(*value);
  }
  return parse(text);
}

Uuid Uuid::fromShort(std::uint32_t shortValue) {
  Bytes bytes = kBluetoothBase;
  bytes[0] = static_cast<std::uint8_t>(shortValue >> 24);
  bytes[1] = static_cast<std::uint8_t>(shortValue >> 16);
  bytes[2] = static_cast<std::uint8_t>(shortValue >> 8);
  bytes[3] = static_cast<std::uint8_t>(shortValue);
  return Uuid(bytes);
}

std::string Uuid::toString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes_[i] >> 4]);
    text.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return text;
}

std::size_t UuidHash::operator()(const Uuid& uuid) const noexcept {
  // Peripheral identifiers differ mostly in their last bytes (the device
  // address), so mix both halves.
  std::uint64_t high;
  std::uint64_t low;
  std::memcpy(&high, uuid.bytes().data(), sizeof high);
  std::memcpy(&low, uuid.bytes().data() + 8, sizeof low);
  std::uint64_t h = high * 0x9E3779B97F4A7C15ULL ^ low;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  return static_cast<std::size_t>(h);
}

}  // namespace ble
