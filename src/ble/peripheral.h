#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ble/characteristic.h"
#include "ble/peripheral_delegate.h"
#include "ble/peripheral_state.h"
#include "ble/service.h"
#include "ble/uuid.h"

namespace ble {

// A remote peripheral known to the central. Requests answer later through the
// delegate; none of them calls the delegate before returning.
class Peripheral {
 public:
  using Services = std::vector<std::shared_ptr<Service>>;

  virtual ~Peripheral() = default;

  virtual const Uuid& identifier() const = 0;
  virtual PeripheralState state() const = 0;
  virtual void setDelegate(PeripheralDelegate* delegate) = 0;

  // Absent until services have been discovered.
  virtual const std::optional<Services>& services() const = 0;

  virtual void discoverServices(const std::vector<Uuid>& serviceUuids) = 0;
  virtual void discoverCharacteristicsForService(const std::vector<Uuid>& characteristicUuids,
                                                 Service& service) = 0;
  virtual void readValueForCharacteristic(Characteristic& characteristic) = 0;
};

}  // namespace ble
