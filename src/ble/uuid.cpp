#include "ble/uuid.h"

#include <cstring>

namespace ble {
namespace {

constexpr Uuid::Bytes kBluetoothBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

// Every service-data key of every advertisement is parsed, so the digit
// lookup is a table rather than a chain of comparisons.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['a' + i] = static_cast<std::int8_t>(10 + i);
    table['A' + i] = static_cast<std::int8_t>(10 + i);
  }
  return table;
}();

int hexValue(char c) { return kHexValues[static_cast<unsigned char>(c)]; }

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
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  // Offsets of the 16 digit pairs in the 8-4-4-4-12 text.
  static constexpr std::uint8_t kPairs[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  Bytes bytes{};
  int invalid = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    int high = hexValue(text[kPairs[i]]);
    int low = hexValue(text[kPairs[i] + 1]);
    invalid |= high | low;
    bytes[i] = static_cast<std::uint8_t>((high << 4) | low);
  }
  if (invalid < 0) return std::nullopt;
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
