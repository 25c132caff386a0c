#pragma once

// What every fuzz target needs: a check that fails loudly, and small text
// predicates written independently of the code under test.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition) ((condition) ? void(0) : ::fuzz::fail(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

inline std::string upperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

inline bool isUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// 00000000-0000-0000-0000-AABBCCDDEEFF, upper case only.
inline bool isUuidText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !isUpperHexDigit(text[i])) return false;
  }
  return true;
}

// The bytes of an upper-case hexadecimal text, or nothing.
inline std::optional<std::string> hexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    if (!isUpperHexDigit(text[i]) || !isUpperHexDigit(text[i + 1])) return std::nullopt;
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    bytes.push_back(static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1])));
  }
  return bytes;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
inline bool isUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t continuation = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
    if (lead < 0x80) {
      continuation = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      continuation = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuation = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuation = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i - 1 < continuation) return false;
    for (std::size_t k = 1; k <= continuation; ++k) {
      unsigned char c = byte(i + k);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += continuation + 1;
  }
  return true;
}

}  // namespace fuzz
