#pragma once

#include <memory>
#include <vector>

#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/uuid.h"

namespace ble {

struct CentralManagerOptions {
  // The peripherals the mode will ask to retrieve. A system that forgets
  // peripherals it has not heard from for a while may look for these before
  // it reports the adapter as ready, so that retrieval can still answer at
  // once.
  std::vector<Uuid> expectedPeripherals;
};

// How a mode creates its own central manager, with itself as the delegate.
class CentralManagerFactory {
 public:
  virtual std::unique_ptr<CentralManager> createCentralManager(CentralManagerDelegate& delegate,
                                                               const CentralManagerOptions& options) = 0;

 protected:
  ~CentralManagerFactory() = default;
};

}  // namespace ble
