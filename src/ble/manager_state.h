#pragma once

namespace ble {

// Adapter state as the central manager reports it. The raw values are part
// of the contract with the modes: unknown values are tolerated and ignored.
enum class ManagerState : int {
  kUnknown = 0,
  kResetting = 1,
  kUnsupported = 2,
  kUnauthorized = 3,
  kPoweredOff = 4,
  kPoweredOn = 5,
};

}  // namespace ble
