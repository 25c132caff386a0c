#pragma once

#include "ble/bluez/bluez_central_manager.h"
#include "ble/central_manager_factory.h"

namespace bluez {

class BluezCentralManagerFactory final : public ble::CentralManagerFactory {
 public:
  BluezCentralManagerFactory(sd_bus* bus, sd_event* event) : bus_(bus), event_(event) {}

  std::unique_ptr<ble::CentralManager> createCentralManager(ble::CentralManagerDelegate& delegate) override {
    return std::make_unique<BluezCentralManager>(bus_, event_, delegate);
  }

 private:
  sd_bus* bus_;
  sd_event* event_;
};

}  // namespace bluez
