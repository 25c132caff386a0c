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

  // The links of ours that BlueZ has not yet confirmed down, across every
  // manager this factory made.
  TeardownTracker& teardown() { return teardown_; }

 private:
  sd_bus* bus_;
  sd_event* event_;
  TeardownTracker teardown_;
};

}  // namespace bluez
