#pragma once

#include "ble/bluez/bluez_central_manager.h"
#include "ble/bluez/teardown_tracker.h"
#include "ble/central_manager_factory.h"

namespace bluez {

class BluezCentralManagerFactory final : public ble::CentralManagerFactory {
 public:
  BluezCentralManagerFactory(sd_bus* bus, sd_event* event) : bus_(bus), event_(event) {}

  std::unique_ptr<ble::CentralManager> createCentralManager(ble::CentralManagerDelegate& delegate,
                                                           const ble::CentralManagerOptions& options) override {
    return std::make_unique<BluezCentralManager>(bus_, event_, delegate, options, teardown_);
  }

  // What every manager this factory made must see finished before the
  // process ends.
  TeardownTracker& teardown() { return teardown_; }

 private:
  sd_bus* bus_;
  sd_event* event_;
  TeardownTracker teardown_;
};

}  // namespace bluez
