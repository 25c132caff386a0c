#pragma once

#include <string>

namespace ble {

// A failure reported by the Bluetooth stack. The modes only test for its
// presence; the name is kept for debugging and for the fake's assertions.
struct Error {
  std::string name;
};

}  // namespace ble
