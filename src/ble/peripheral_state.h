#pragma once

namespace ble {

enum class PeripheralState : int {
  kDisconnected = 0,
  kConnecting = 1,
  kConnected = 2,
  kDisconnecting = 3,
};

}  // namespace ble
