#pragma once

#include <optional>

#include "ble/characteristic.h"
#include "ble/error.h"
#include "ble/service.h"

namespace ble {

class Peripheral;

// Receiver of a peripheral's GATT events. Every event is delivered from the
// event loop, never from inside the request that caused it.
class PeripheralDelegate {
 public:
  virtual void peripheralDidDiscoverServices(Peripheral& peripheral,
                                             const std::optional<Error>& error) = 0;
  virtual void peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral,
                                                              Service& service,
                                                              const std::optional<Error>& error) = 0;
  virtual void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                         Characteristic& characteristic,
                                                         const std::optional<Error>& error) = 0;

 protected:
  ~PeripheralDelegate() = default;
};

}  // namespace ble
