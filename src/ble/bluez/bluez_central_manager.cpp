#include "ble/bluez/bluez_central_manager.h"

#include <algorithm>

#include "ble/bluez/bluez_error.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/device_address.h"

namespace bluez {

BluezCentralManager::BluezCentralManager(sd_bus* bus, sd_event* event, ble::CentralManagerDelegate& delegate,
                                         const ble::CentralManagerOptions& options, TeardownTracker& teardown)
    : delegate_(delegate),
      expected_(options.expectedPeripherals),
      tasks_(event),
      grace_(event, tasks_),
      mirror_(bus, *this),
      discovery_(bus, event, tasks_, teardown, *this),
      context_{bus, mirror_, tasks_, grace_, teardown, *this, delegate} {
  // The first state event comes from the loop, never from the constructor.
  if (!mirror_.load()) tasks_.post([this] { setState(ble::ManagerState::kUnsupported); });
}

BluezCentralManager::~BluezCentralManager() {
  for (auto& [path, peripheral] : peripherals_) peripheral->detach();
}

void BluezCentralManager::setState(ble::ManagerState state) {
  if (state == state_) return;
  state_ = state;
  delegate_.centralManagerDidUpdateState(*this);
}

void BluezCentralManager::fail(const sd_bus_error* error) { setState(stateForError(error)); }

void BluezCentralManager::mirrorDidFail(const sd_bus_error* error) { fail(error); }

void BluezCentralManager::mirrorDidLoad(const AdapterProperties& adapter) {
  discovery_.useAdapter(mirror_.adapterPath());
  discovery_.setDiscovering(adapter.discovering.value_or(false));
  if (!adapter.powered.value_or(false)) {
    setState(ble::ManagerState::kPoweredOff);
    return;
  }
  // BlueZ drops a device it only saw while discovering some 30 s after its
  // last advertisement (TemporaryTimeout). The identifier holds the address,
  // so a peripheral it has forgotten can be looked for; the adapter is
  // reported on once the search has ended, found or not, so that retrieval
  // answers at once as usual.
  const auto& devices = mirror_.devices();
  bool known = std::any_of(devices.begin(), devices.end(), [&](const auto& entry) { return isExpected(entry.second); });
  bool findable = std::any_of(expected_.begin(), expected_.end(), namesAnAddress);
  if (!known && findable) {
    if (!discovery_.startSearch()) setState(ble::ManagerState::kUnsupported);
    return;
  }
  setState(ble::ManagerState::kPoweredOn);
}

void BluezCentralManager::adapterDidChange(const AdapterProperties& changed) {
  if (changed.discovering) discovery_.setDiscovering(*changed.discovering);
  if (changed.powered) {
    if (!*changed.powered) {
      adapterLost(ble::ManagerState::kPoweredOff);
      return;
    }
    // Powered on again in the middle of a search is still the search.
    if (!discovery_.searching()) setState(ble::ManagerState::kPoweredOn);
  }
  if (changed.discovering) discovery_.discoveringChanged();
}

void BluezCentralManager::adapterDidGo() { adapterLost(ble::ManagerState::kUnsupported); }

void BluezCentralManager::adapterLost(ble::ManagerState state) {
  discovery_.adapterLost();
  // No link survives the adapter, whatever BlueZ has signalled of them yet
  // (a pending Connect may never be answered). The adapter's fate is
  // reported first: the links' ends are only its consequence.
  for (auto& [path, peripheral] : peripherals_) peripheral->onAdapterLost();
  setState(state);
}

void BluezCentralManager::deviceDidAppear(const BluezObjectMirror::Device& device) {
  if (discovery_.searching() && isExpected(device)) tasks_.post([this] { discovery_.endSearch(); });
}

void BluezCentralManager::deviceDidAdvertise(const BluezObjectMirror::Device& device,
                                             const std::vector<ble::ServiceDataEntry>& serviceData) {
  if (discovery_.scanning()) {
    delegate_.centralManagerDidDiscoverPeripheral(*this, device.identifier, ble::AdvertisementData{serviceData});
  }
}

void BluezCentralManager::deviceDidChange(std::string_view path, const DeviceProperties& changed) {
  auto it = peripherals_.find(path);
  if (it == peripherals_.end()) return;
  auto keep = it->second;
  if (changed.connected) keep->onConnectedChanged(*changed.connected);
  if (changed.servicesResolved) keep->onServicesResolved(*changed.servicesResolved);
}

void BluezCentralManager::deviceDidGo(const std::string& path) {
  if (auto it = peripherals_.find(path); it != peripherals_.end()) it->second->onDeviceRemoved();
}

bool BluezCentralManager::isExpected(const BluezObjectMirror::Device& device) const {
  return device.hasIdentifier && std::find(expected_.begin(), expected_.end(), device.identifier) != expected_.end();
}

void BluezCentralManager::scanForPeripheralsWithServices(const std::vector<ble::Uuid>& /*serviceUuids*/,
                                                         const ble::ScanOptions& options) {
  if (mirror_.adapterPath().empty()) return;
  if (!discovery_.startScan(options.allowDuplicates)) {
    tasks_.post([this] { setState(ble::ManagerState::kUnsupported); });
  }
}

void BluezCentralManager::stopScan() { discovery_.stopScan(); }

std::vector<std::shared_ptr<ble::Peripheral>> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<ble::Uuid>& identifiers) {
  std::vector<std::shared_ptr<ble::Peripheral>> found;
  for (const auto& [path, device] : mirror_.devices()) {
    if (!device.hasIdentifier ||
        std::find(identifiers.begin(), identifiers.end(), device.identifier) == identifiers.end()) {
      continue;
    }
    // One object per device, so its connection state survives a repeated
    // retrieval and a second Connect is never sent.
    auto& peripheral = peripherals_[path];
    if (!peripheral) peripheral = std::make_shared<BluezPeripheral>(context_, path, device.identifier);
    found.push_back(peripheral);
  }
  return found;
}

BluezPeripheral* BluezCentralManager::asBluez(ble::Peripheral& peripheral) const {
  return dynamic_cast<BluezPeripheral*>(&peripheral);
}

void BluezCentralManager::connectPeripheral(ble::Peripheral& peripheral) {
  if (auto* bluez = asBluez(peripheral)) bluez->connect();
}

void BluezCentralManager::cancelPeripheralConnection(ble::Peripheral& peripheral) {
  if (auto* bluez = asBluez(peripheral)) bluez->cancel();
}

}  // namespace bluez
