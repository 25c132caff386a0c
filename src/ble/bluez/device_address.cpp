#include "ble/bluez/device_address.h"

namespace bluez {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<ble::Uuid> identifierForAddress(std::string_view address) {
  if (address.size() != 17) return std::nullopt;
  ble::Uuid::Bytes bytes{};
  for (std::size_t i = 0; i < 6; ++i) {
    std::size_t at = i * 3;
    if (i > 0 && address[at - 1] != ':') return std::nullopt;
    int high = hexValue(address[at]);
    int low = hexValue(address[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes[10 + i] = static_cast<std::uint8_t>((high << 4) | low);
  }
  return ble::Uuid(bytes);
}

bool namesAnAddress(const ble::Uuid& identifier) {
  const auto& bytes = identifier.bytes();
  for (std::size_t i = 0; i < 10; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace bluez
