#include "identity/device_identity_reader.h"

#include <algorithm>

#include "app/error_code.h"
#include "identity/serial_number.h"

namespace identity {
namespace {

const ble::Uuid kDeviceInformationService = ble::Uuid::fromShort(0x180A);
const ble::Uuid kSerialNumberString = ble::Uuid::fromShort(0x2A25);

bool holdsLink(const ble::Peripheral& peripheral) {
  auto state = peripheral.state();
  return state == ble::PeripheralState::kConnected || state == ble::PeripheralState::kConnecting;
}

}  // namespace

DeviceIdentityReader::DeviceIdentityReader(const ble::Uuid& identifier, ble::CentralManagerFactory& factory,
                                           app::Clock& clock, app::Process& process)
    : identifier_(identifier),
      clock_(clock),
      process_(process),
      central_(factory.createCentralManager(*this, {.expectedPeripherals = {identifier}})) {
  // The limit runs from construction: it covers waiting for the adapter as
  // much as connecting, discovering and reading.
  timeout_ = clock_.scheduleAfter(kTimeLimit, [this] { finish(app::errorRecord(app::error_code::kIdentityTimeout)); });
}

void DeviceIdentityReader::stop() { finish(app::errorRecord(app::error_code::kIdentityCancelled)); }

void DeviceIdentityReader::centralManagerDidUpdateState(ble::CentralManager& central) {
  if (result_) return;
  switch (central.state()) {
    case ble::ManagerState::kPoweredOn:
      retrieveAndConnect(central);
      return;
    case ble::ManagerState::kUnauthorized:
      finish(app::errorRecord(app::error_code::kPermissionDenied));
      return;
    case ble::ManagerState::kUnsupported:
    case ble::ManagerState::kPoweredOff:
      finish(app::errorRecord(app::error_code::kAdapterUnavailable));
      return;
    case ble::ManagerState::kUnknown:
    case ble::ManagerState::kResetting:
      return;
  }
}

void DeviceIdentityReader::retrieveAndConnect(ble::CentralManager& central) {
  auto peripherals = central.retrievePeripheralsWithIdentifiers({identifier_});
  if (peripherals.empty() || peripherals.front()->identifier() != identifier_) {
    finish(app::errorRecord(app::error_code::kIdentityDeviceNotFound));
    return;
  }
  peripheral_ = peripherals.front();
  // The delegate must be in place before the connection can produce events.
  peripheral_->setDelegate(this);
  central.connectPeripheral(*peripheral_);
}

void DeviceIdentityReader::centralManagerDidConnectPeripheral(ble::CentralManager& /*central*/,
                                                              ble::Peripheral& peripheral) {
  if (result_) return;
  peripheral.discoverServices({kDeviceInformationService});
}

void DeviceIdentityReader::centralManagerDidFailToConnectPeripheral(ble::CentralManager& /*central*/,
                                                                    ble::Peripheral& /*peripheral*/,
                                                                    const std::optional<ble::Error>& /*error*/) {
  finish(app::errorRecord(app::error_code::kIdentityConnectFailed));
}

void DeviceIdentityReader::centralManagerDidDisconnectPeripheral(ble::CentralManager& /*central*/,
                                                                 ble::Peripheral& /*peripheral*/,
                                                                 const std::optional<ble::Error>& /*error*/) {
  if (!result_) {
    finish(app::errorRecord(app::error_code::kIdentityDisconnected));
    return;
  }
  // The link we released is gone: the fixed result can be reported now.
  reportAndExit();
}

void DeviceIdentityReader::peripheralDidDiscoverServices(ble::Peripheral& peripheral,
                                                         const std::optional<ble::Error>& error) {
  if (result_) return;
  if (error || !peripheral.services()) {
    finish(app::errorRecord(app::error_code::kIdentityServiceUnavailable));
    return;
  }
  if (!discoverSerialAfter(peripheral, nullptr)) finish(app::errorRecord(app::error_code::kIdentityServiceUnavailable));
}

// A peripheral may have several Device Information services: one that runs
// bluetoothd 5.55 exports bluetoothd's own (PnP ID only) before the
// application's (doc/bluez-behaviour.md, own-device-information). Each is
// asked in handle order until one has the serial number.
bool DeviceIdentityReader::discoverSerialAfter(ble::Peripheral& peripheral, const ble::Service* previous) {
  if (!peripheral.services()) return false;
  const auto& services = *peripheral.services();
  auto it = services.begin();
  if (previous) {
    it = std::find_if(services.begin(), services.end(), [&](const auto& s) { return s.get() == previous; });
    if (it != services.end()) ++it;
  }
  it = std::find_if(it, services.end(), [](const auto& s) { return s->uuid() == kDeviceInformationService; });
  if (it == services.end()) return false;
  peripheral.discoverCharacteristicsForService({kSerialNumberString}, **it);
  return true;
}

void DeviceIdentityReader::peripheralDidDiscoverCharacteristicsForService(ble::Peripheral& peripheral,
                                                                          ble::Service& service,
                                                                          const std::optional<ble::Error>& error) {
  if (result_) return;
  if (error || !service.characteristics()) {
    finish(app::errorRecord(app::error_code::kIdentitySerialUnavailable));
    return;
  }
  for (const auto& characteristic : *service.characteristics()) {
    if (characteristic->uuid() == kSerialNumberString) {
      peripheral.readValueForCharacteristic(*characteristic);
      return;
    }
  }
  if (!discoverSerialAfter(peripheral, &service)) finish(app::errorRecord(app::error_code::kIdentitySerialUnavailable));
}

void DeviceIdentityReader::peripheralDidUpdateValueForCharacteristic(ble::Peripheral& /*peripheral*/,
                                                                     ble::Characteristic& characteristic,
                                                                     const std::optional<ble::Error>& error) {
  if (result_) return;
  if (error || characteristic.uuid() != kSerialNumberString || !characteristic.value()) {
    finish(app::errorRecord(app::error_code::kIdentityReadFailed));
    return;
  }
  auto outcome = normalizeSerialNumber(*characteristic.value());
  if (std::holds_alternative<SerialDecodeFailure>(outcome)) {
    finish(app::errorRecord(app::error_code::kIdentityReadFailed));
    return;
  }
  if (std::holds_alternative<SerialFormFailure>(outcome)) {
    finish(app::errorRecord(app::error_code::kIdentityInvalidSerial));
    return;
  }
  finish({{"deviceId", identifier_.toString()}, {"serial", std::get<SerialNumber>(outcome).text}});
}

void DeviceIdentityReader::finish(app::Record record) {
  if (result_) return;
  result_ = std::move(record);
  timeout_.reset();

  if (peripheral_ && holdsLink(*peripheral_)) {
    // Release the link first and report once it is gone, or after the delay
    // if the stack never confirms the disconnection.
    central_->cancelPeripheralConnection(*peripheral_);
    deferredReport_ = clock_.scheduleAfter(kReportDelay, [this] { reportAndExit(); });
    return;
  }
  reportAndExit();
}

void DeviceIdentityReader::reportAndExit() {
  if (result_) process_.writeResultLine(*result_);
  process_.exit(0);
}

}  // namespace identity
