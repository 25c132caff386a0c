#pragma once

#include <optional>

#include "ble/advertisement_data.h"
#include "ble/error.h"
#include "ble/uuid.h"

namespace ble {

class CentralManager;
class Peripheral;

// Receiver of a central manager's events, all delivered from the event loop.
// A mode overrides the events it uses.
class CentralManagerDelegate {
 public:
  virtual void centralManagerDidUpdateState(CentralManager& central) = 0;

  virtual void centralManagerDidDiscoverPeripheral(CentralManager& /*central*/,
                                                   const Uuid& /*identifier*/,
                                                   const AdvertisementData& /*advertisementData*/) {}
  virtual void centralManagerDidConnectPeripheral(CentralManager& /*central*/,
                                                  Peripheral& /*peripheral*/) {}
  virtual void centralManagerDidFailToConnectPeripheral(CentralManager& /*central*/,
                                                        Peripheral& /*peripheral*/,
                                                        const std::optional<Error>& /*error*/) {}
  virtual void centralManagerDidDisconnectPeripheral(CentralManager& /*central*/,
                                                     Peripheral& /*peripheral*/,
                                                     const std::optional<Error>& /*error*/) {}

 protected:
  ~CentralManagerDelegate() = default;
};

}  // namespace ble
