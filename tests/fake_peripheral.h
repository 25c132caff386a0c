#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "ble/peripheral.h"

namespace testing_support {

// A peripheral whose GATT answers are played by the test through the
// delegate it was given.
class FakePeripheral final : public ble::Peripheral {
 public:
  explicit FakePeripheral(const ble::Uuid& identifier) : identifier_(identifier) {}

  const ble::Uuid& identifier() const override { return identifier_; }
  ble::PeripheralState state() const override { return currentState; }
  void setDelegate(ble::PeripheralDelegate* newDelegate) override { delegate = newDelegate; }
  const std::optional<Services>& services() const override { return services_; }
  void discoverServices(const std::vector<ble::Uuid>& serviceUuids) override;
  void discoverCharacteristicsForService(const std::vector<ble::Uuid>& characteristicUuids,
                                         ble::Service& service) override;
  void readValueForCharacteristic(ble::Characteristic& characteristic) override;

  void setServices(std::optional<Services> services) { services_ = std::move(services); }

  ble::PeripheralState currentState = ble::PeripheralState::kDisconnected;
  ble::PeripheralDelegate* delegate = nullptr;
  std::vector<std::vector<ble::Uuid>> discoverServicesCalls;
  std::vector<std::pair<std::vector<ble::Uuid>, ble::Service*>> discoverCharacteristicsCalls;
  std::vector<ble::Characteristic*> readCalls;

 private:
  ble::Uuid identifier_;
  std::optional<Services> services_;
};

}  // namespace testing_support
