#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace identity {

// What a Serial Number String value turns into.
struct SerialNumber {
  std::string text;  // 16 characters of 0-9 and A-F
};
struct SerialDecodeFailure {};  // a byte of 0x80 or above: not ASCII
struct SerialFormFailure {};    // ASCII, but not 16 hexadecimal digits

using SerialOutcome = std::variant<SerialNumber, SerialDecodeFailure, SerialFormFailure>;

// Decodes the value as ASCII, trims ASCII white space at both ends, upper-cases
// it and checks it is exactly 16 hexadecimal digits. NUL and other control
// characters are not white space and so fail the form check.
SerialOutcome normalizeSerialNumber(std::span<const std::uint8_t> value);

}  // namespace identity
