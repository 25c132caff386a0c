#pragma once

#include "ble/bluez/bluez_central_manager.h"
#include "ble/bluez/link_release_tracker.h"
#include "ble/central_manager_factory.h"

namespace bluez {

class BluezCentralManagerFactory final : public ble::CentralManagerFactory {
 public:
  BluezCentralManagerFactory(sd_bus* bus, sd_event* event) : bus_(bus), event_(event) {}

  std::unique_ptr<ble::CentralManager> createCentralManager(ble::CentralManagerDelegate& delegate,
                                                           const ble::CentralManagerOptions& options) override {
    return std::make_unique<BluezCentralManager>(bus_, event_, delegate, options, releases_);
  }

  // The links of ours that BlueZ has not yet confirmed down, across every
  // manager this factory made.
  LinkReleaseTracker& releases() { return releases_; }

 private:
  sd_bus* bus_;
  sd_event* event_;
  LinkReleaseTracker releases_;
};

}  // namespace bluez
