#include "fake_peripheral.h"

namespace testing_support {

void FakePeripheral::discoverServices(const std::vector<ble::Uuid>& serviceUuids) {
  discoverServicesCalls.push_back(serviceUuids);
}

void FakePeripheral::discoverCharacteristicsForService(const std::vector<ble::Uuid>& characteristicUuids,
                                                       ble::Service& service) {
  discoverCharacteristicsCalls.emplace_back(characteristicUuids, &service);
}

void FakePeripheral::readValueForCharacteristic(ble::Characteristic& characteristic) {
  readCalls.push_back(&characteristic);
}

}  // namespace testing_support
