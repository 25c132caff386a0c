#include "fake_central_manager.h"

namespace testing_support {

void FakeCentralManager::scanForPeripheralsWithServices(const std::vector<ble::Uuid>& serviceUuids,
                                                        const ble::ScanOptions& options) {
  scanRequests.push_back({serviceUuids, options});
}

std::vector<std::shared_ptr<ble::Peripheral>> FakeCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<ble::Uuid>& identifiers) {
  retrieveCalls.push_back(identifiers);
  return knownPeripherals;
}

void FakeCentralManager::updateState(ble::ManagerState state) {
  currentState = state;
  delegate.centralManagerDidUpdateState(*this);
}

}  // namespace testing_support
