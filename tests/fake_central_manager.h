#pragma once

#include <memory>
#include <vector>

#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/central_manager_factory.h"

namespace testing_support {

// The central manager's fake twin: records the modes' requests; the test
// plays the platform by setting the state and raising events.
class FakeCentralManager final : public ble::CentralManager {
 public:
  explicit FakeCentralManager(ble::CentralManagerDelegate& receiver) : delegate(receiver) {}

  ble::ManagerState state() const override { return currentState; }
  void scanForPeripheralsWithServices(const std::vector<ble::Uuid>& serviceUuids,
                                      const ble::ScanOptions& options) override;
  void stopScan() override { ++stopScanCalls; }
  std::vector<std::shared_ptr<ble::Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<ble::Uuid>& identifiers) override;
  void connectPeripheral(ble::Peripheral& peripheral) override { connectCalls.push_back(&peripheral); }
  void cancelPeripheralConnection(ble::Peripheral& peripheral) override { cancelCalls.push_back(&peripheral); }

  // Sets the state and reports it, as the platform does.
  void updateState(ble::ManagerState state);

  ble::CentralManagerDelegate& delegate;
  ble::ManagerState currentState = ble::ManagerState::kUnknown;
  struct ScanRequest {
    std::vector<ble::Uuid> serviceUuids;
    ble::ScanOptions options;
  };
  std::vector<ScanRequest> scanRequests;
  int stopScanCalls = 0;
  std::vector<std::vector<ble::Uuid>> retrieveCalls;
  std::vector<std::shared_ptr<ble::Peripheral>> knownPeripherals;  // what retrieval answers
  std::vector<ble::Peripheral*> connectCalls;
  std::vector<ble::Peripheral*> cancelCalls;
};

class FakeCentralManagerFactory final : public ble::CentralManagerFactory {
 public:
  std::unique_ptr<ble::CentralManager> createCentralManager(ble::CentralManagerDelegate& delegate,
                                                           const ble::CentralManagerOptions& options) override {
    auto manager = std::make_unique<FakeCentralManager>(delegate);
    created = manager.get();
    createdWith = options;
    return manager;
  }

  FakeCentralManager* created = nullptr;
  ble::CentralManagerOptions createdWith;
};

}  // namespace testing_support
