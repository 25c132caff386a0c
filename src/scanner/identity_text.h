#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace scanner {

// The identity a peripheral advertises, as last reported: an 8-character unit
// number or a 16-character serial. Held inline rather than in a std::string so
// that remembering a peripheral costs no heap block and comparing costs no
// allocation on the per-advertisement path.
class IdentityText {
 public:
  static constexpr std::size_t kCapacity = 16;

  IdentityText() = default;
  explicit IdentityText(std::string_view text) : size_(static_cast<std::uint8_t>(std::min(text.size(), kCapacity))) {
    std::copy_n(text.data(), size_, chars_);
  }

  std::string_view view() const { return {chars_, size_}; }

  friend bool operator==(const IdentityText& a, const IdentityText& b) { return a.view() == b.view(); }

 private:
  char chars_[kCapacity] = {};
  std::uint8_t size_ = 0;
};

}  // namespace scanner
