// Identifier parsing: text is accepted exactly when it has the 8-4-4-4-12
// hexadecimal form (either case), or 4 or 8 hexadecimal digits for the
// Bluetooth constructor, and what is accepted prints back as its input.
#include <algorithm>

#include "ble/uuid.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string upper = fuzz::upperCase(text);

  auto parsed = ble::Uuid::parse(text);
  FUZZ_CHECK(parsed.has_value() == fuzz::isUuidText(upper));
  FUZZ_CHECK(!parsed || parsed->toString() == upper);

  auto bluetooth = ble::Uuid::withString(text);
  if (size != 4 && size != 8) {
    FUZZ_CHECK(bluetooth == parsed);
    return 0;
  }
  FUZZ_CHECK(bluetooth.has_value() == std::ranges::all_of(upper, fuzz::isUpperHexDigit));
  FUZZ_CHECK(!bluetooth ||
             bluetooth->toString() == std::string(8 - size, '0') + upper + "-0000-1000-8000-00805F9B34FB");
  return 0;
}
