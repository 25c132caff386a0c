#include "identity/serial_number.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using identity::normalizeSerialNumber;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

enum class Outcome { kSerial, kReadFailed, kInvalid };

TEST(SerialNumberTest, Normalization) {
  struct Case {
    const char* name;
    Bytes value;
    Outcome outcome;
    const char* serial = "";
  };
  const Case cases[] = {
      {"upper case", text("0123456789ABCDEF"), Outcome::kSerial, "0123456789ABCDEF"},
      {"lower case is upper-cased", text("0123456789abcdef"), Outcome::kSerial, "0123456789ABCDEF"},
      {"white space trimmed", text(" 0123456789abcdef\r\n"), Outcome::kSerial, "0123456789ABCDEF"},
      {"tabs and form feeds trimmed", text("\t\v\f0123456789ABCDEF\t"), Outcome::kSerial, "0123456789ABCDEF"},
      {"trailing NUL", text(std::string_view("0123456789ABCDEF\0", 17)), Outcome::kInvalid},
      {"NUL padding", text(std::string_view("\0\0" "0123456789ABCDEF\0\0", 20)), Outcome::kInvalid},
      {"15 digits", text("0123456789ABCDE"), Outcome::kInvalid},
      {"17 digits", text("0123456789ABCDEF0"), Outcome::kInvalid},
      {"space inside", text("01234567 9ABCDEF0"), Outcome::kInvalid},
      {"hyphen inside", text("01234567-9ABCDEF"), Outcome::kInvalid},
      {"not hexadecimal", text("0123456789ABCDEG"), Outcome::kInvalid},
      {"empty", Bytes{}, Outcome::kInvalid},
      {"only white space", text(" \r\n\t "), Outcome::kInvalid},
      {"control character is not trimmed", text("\x01" "0123456789ABCDEF"), Outcome::kInvalid},
      {"DEL is not trimmed", text("0123456789ABCDEF\x7F"), Outcome::kInvalid},
      {"UTF-8 lead byte", text("0123456789ABCDE\xC3"), Outcome::kReadFailed},
      {"0x80 alone", Bytes{0x80}, Outcome::kReadFailed},
      {"high byte beats a bad form", Bytes{'x', 0xFF}, Outcome::kReadFailed},
      {"long value", Bytes(600, 'A'), Outcome::kInvalid},
  };
  for (const auto& c : cases) {
    auto outcome = normalizeSerialNumber(c.value);
    switch (c.outcome) {
      case Outcome::kSerial:
        ASSERT_TRUE(std::holds_alternative<identity::SerialNumber>(outcome)) << c.name;
        EXPECT_EQ(std::get<identity::SerialNumber>(outcome).text, c.serial) << c.name;
        break;
      case Outcome::kReadFailed:
        EXPECT_TRUE(std::holds_alternative<identity::SerialDecodeFailure>(outcome)) << c.name;
        break;
      case Outcome::kInvalid:
        EXPECT_TRUE(std::holds_alternative<identity::SerialFormFailure>(outcome)) << c.name;
        break;
    }
  }
}

}  // namespace
