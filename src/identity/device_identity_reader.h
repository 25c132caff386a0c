#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "app/clock.h"
#include "app/process.h"
#include "app/record.h"
#include "app/timer.h"
#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/central_manager_factory.h"
#include "ble/peripheral.h"
#include "ble/peripheral_delegate.h"
#include "ble/uuid.h"

namespace identity {

// Identity mode: connects to one known peripheral, reads the Serial Number
// String of its Device Information service and reports exactly one line.
// Every way the run can end goes through finish(); the first record wins.
class DeviceIdentityReader final : public ble::CentralManagerDelegate, public ble::PeripheralDelegate {
 public:
  static constexpr std::chrono::seconds kTimeLimit{60};
  static constexpr std::chrono::milliseconds kReportDelay{1000};

  DeviceIdentityReader(const ble::Uuid& identifier, ble::CentralManagerFactory& factory, app::Clock& clock,
                       app::Process& process);

  // Ends the run with "identity-cancelled" unless a result is already fixed.
  void stop();

  void centralManagerDidUpdateState(ble::CentralManager& central) override;
  void centralManagerDidConnectPeripheral(ble::CentralManager& central, ble::Peripheral& peripheral) override;
  void centralManagerDidFailToConnectPeripheral(ble::CentralManager& central, ble::Peripheral& peripheral,
                                                const std::optional<ble::Error>& error) override;
  void centralManagerDidDisconnectPeripheral(ble::CentralManager& central, ble::Peripheral& peripheral,
                                             const std::optional<ble::Error>& error) override;

  void peripheralDidDiscoverServices(ble::Peripheral& peripheral, const std::optional<ble::Error>& error) override;
  void peripheralDidDiscoverCharacteristicsForService(ble::Peripheral& peripheral, ble::Service& service,
                                                      const std::optional<ble::Error>& error) override;
  void peripheralDidUpdateValueForCharacteristic(ble::Peripheral& peripheral, ble::Characteristic& characteristic,
                                                 const std::optional<ble::Error>& error) override;

 private:
  // Asks for the serial number in the next Device Information service after
  // `previous` (the first with nullptr); false when there is none.
  bool discoverSerialAfter(ble::Peripheral& peripheral, const ble::Service* previous);
  void retrieveAndConnect(ble::CentralManager& central);
  void finish(app::Record record);
  void reportAndExit();

  const ble::Uuid identifier_;
  app::Clock& clock_;
  app::Process& process_;
  std::unique_ptr<ble::CentralManager> central_;
  std::shared_ptr<ble::Peripheral> peripheral_;
  std::optional<app::Record> result_;
  std::unique_ptr<app::Timer> timeout_;
  // Held only so the pending report is not cancelled; nothing cancels it.
  std::unique_ptr<app::Timer> deferredReport_;
};

}  // namespace identity
