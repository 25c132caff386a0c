#pragma once

namespace ble {

// Adapter state as the central manager reports it. A mode waits on a state
// it does not act on, a value it does not know included. The BlueZ backend
// never reports resetting (BlueZ has no such state: a power cycle is off,
// then on), nor unknown, its state before the first report.
enum class ManagerState : int {
  kUnknown = 0,
  kResetting = 1,
  kUnsupported = 2,
  kUnauthorized = 3,
  kPoweredOff = 4,
  kPoweredOn = 5,
};

}  // namespace ble
