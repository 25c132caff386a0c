#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ble {

// A 128-bit UUID: both a peripheral identifier and a Bluetooth attribute UUID.
// Equality is by value, so a 16-bit UUID made from "180A" equals the 128-bit
// text BlueZ writes for it.
class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr Uuid() = default;
  constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // Parses the hyphenated 8-4-4-4-12 form, hexadecimal digits of either case.
  static std::optional<Uuid> parse(std::string_view text);

  // The Bluetooth constructor: 4 hex digits (16-bit), 8 hex digits (32-bit)
  // under the Bluetooth Base UUID, or the full 36-character form.
  static std::optional<Uuid> withString(std::string_view text);

  static Uuid fromShort(std::uint32_t shortValue);

  // Canonical text: 36 characters, upper-case hexadecimal, hyphenated.
  std::string toString() const;

  const Bytes& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  Bytes bytes_{};
};

struct UuidHash {
  std::size_t operator()(const Uuid& uuid) const noexcept;
};

}  // namespace ble
