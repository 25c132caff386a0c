#pragma once

#include <memory>
#include <vector>

#include "ble/manager_state.h"
#include "ble/peripheral.h"
#include "ble/uuid.h"

namespace ble {

struct ScanOptions {
  // Report every advertisement, not only the first one of each peripheral.
  bool allowDuplicates = false;
};

// The Bluetooth LE central the modes are written against. A manager reports
// the adapter state to its delegate after construction, from the event loop,
// and again whenever it changes.
class CentralManager {
 public:
  virtual ~CentralManager() = default;

  virtual ManagerState state() const = 0;

  virtual void scanForPeripheralsWithServices(const std::vector<Uuid>& serviceUuids,
                                              const ScanOptions& options) = 0;
  virtual void stopScan() = 0;

  // Answers at once with the peripherals the system already knows by these
  // identifiers (maybe none).
  virtual std::vector<std::shared_ptr<Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<Uuid>& identifiers) = 0;
  virtual void connectPeripheral(Peripheral& peripheral) = 0;
  virtual void cancelPeripheralConnection(Peripheral& peripheral) = 0;
};

}  // namespace ble
