#pragma once

#include <memory>

#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"

namespace ble {

// How a mode creates its own central manager, with itself as the delegate.
class CentralManagerFactory {
 public:
  virtual std::unique_ptr<CentralManager> createCentralManager(CentralManagerDelegate& delegate) = 0;

 protected:
  ~CentralManagerFactory() = default;
};

}  // namespace ble
