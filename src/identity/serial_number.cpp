#include "identity/serial_number.h"

#include <algorithm>

namespace identity {
namespace {

bool isAsciiWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

SerialOutcome normalizeSerialNumber(std::span<const std::uint8_t> value) {
  if (std::any_of(value.begin(), value.end(), [](std::uint8_t byte) { return byte >= 0x80; })) {
    return SerialDecodeFailure{};
  }
  std::string text(value.begin(), value.end());

  auto first = std::find_if_not(text.begin(), text.end(), isAsciiWhiteSpace);
  auto last = std::find_if_not(text.rbegin(), std::make_reverse_iterator(first), isAsciiWhiteSpace).base();
  text = std::string(first, last);

  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (text.size() != 16 || !std::all_of(text.begin(), text.end(), isUpperHexDigit)) return SerialFormFailure{};
  return SerialNumber{std::move(text)};
}

}  // namespace identity
