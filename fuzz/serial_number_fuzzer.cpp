// Serial normalization: a value with a byte of 0x80 or above is not ASCII;
// otherwise, trimmed of ASCII white space, it is a serial exactly when it is
// 16 hexadecimal digits, and the serial is that text upper-cased.
#include <algorithm>

#include "fuzz_support.h"
#include "identity/serial_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto outcome = identity::normalizeSerialNumber(std::span(data, size));
  if (std::any_of(data, data + size, [](std::uint8_t byte) { return byte >= 0x80; })) {
    FUZZ_CHECK(std::holds_alternative<identity::SerialDecodeFailure>(outcome));
    return 0;
  }
  std::string_view trimmed(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
  trimmed.remove_prefix(std::min(trimmed.find_first_not_of(kWhiteSpace), trimmed.size()));
  trimmed.remove_suffix(trimmed.size() - std::min(trimmed.find_last_not_of(kWhiteSpace) + 1, trimmed.size()));
  const std::string upper = fuzz::upperCase(trimmed);

  auto* serial = std::get_if<identity::SerialNumber>(&outcome);
  const bool expected = upper.size() == 16 && fuzz::hexDecode(upper).has_value();
  FUZZ_CHECK(serial ? expected : !expected && std::holds_alternative<identity::SerialFormFailure>(outcome));
  FUZZ_CHECK(!serial || serial->text == upper);
  return 0;
}
