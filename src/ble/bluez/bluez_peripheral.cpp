#include "ble/bluez/bluez_peripheral.h"

#include "ble/bluez/bluez_central_manager.h"
#include "ble/bluez/bluez_names.h"

namespace bluez {
namespace {

// Longer than the tool's own time limit: the limit bounds the run, not
// sd-bus's 25 s default.
constexpr std::uint64_t kCallTimeoutUsec = 90ULL * 1000 * 1000;

ble::Error errorOf(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return ble::Error{error && error->name ? error->name : "org.freedesktop.DBus.Error.Failed"};
}

}  // namespace

BluezPeripheral::BluezPeripheral(BluezCentralManager& manager, std::string path, const ble::Uuid& identifier)
    : manager_(&manager), path_(std::move(path)), identifier_(identifier) {}

int BluezPeripheral::callDevice(const char* member, SlotHandle* slot, sd_bus_message_handler_t callback) {
  MessageHandle call;
  int r = sd_bus_message_new_method_call(manager_->bus(), call.put(), names::kService, path_.c_str(),
                                         names::kDeviceInterface, member);
  if (r < 0) return r;
  if (!slot) return sd_bus_send(manager_->bus(), call.get(), nullptr);
  return sd_bus_call_async(manager_->bus(), slot->put(), call.get(), callback, this, kCallTimeoutUsec);
}

void BluezPeripheral::connect() {
  if (!manager_ || state_ != ble::PeripheralState::kDisconnected) return;
  auto self = shared_from_this();
  if (manager_->isConnected(path_)) {
    // Someone else's link: use it as it is.
    ownLink_ = false;
    state_ = ble::PeripheralState::kConnected;
    manager_->post([self] {
      if (self->manager_) self->manager_->delegate().centralManagerDidConnectPeripheral(*self->manager_, *self);
    });
    return;
  }
  ownLink_ = true;
  cancelRequested_ = false;
  state_ = ble::PeripheralState::kConnecting;
  if (callDevice("Connect", &connectCall_, &BluezPeripheral::onConnectReply) < 0) {
    state_ = ble::PeripheralState::kDisconnected;
    manager_->post([self] {
      if (self->manager_) {
        self->manager_->delegate().centralManagerDidFailToConnectPeripheral(*self->manager_, *self,
                                                                           ble::Error{"Connect not sent"});
      }
    });
  }
}

int BluezPeripheral::onConnectReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezPeripheral*>(userdata);
  if (!self->manager_ || self->state_ != ble::PeripheralState::kConnecting) return 0;
  bool failed = sd_bus_message_is_method_error(reply, nullptr);
  if (self->cancelRequested_) {
    // Our Disconnect follows this Connect on the bus: a refused attempt is the
    // released link; an accepted one goes down when Connected turns false.
    if (failed) {
      self->deliverDisconnection();
    } else {
      self->state_ = ble::PeripheralState::kDisconnecting;
    }
    return 0;
  }
  if (failed) {
    self->state_ = ble::PeripheralState::kDisconnected;
    self->manager_->delegate().centralManagerDidFailToConnectPeripheral(*self->manager_, *self, errorOf(reply));
    return 0;
  }
  self->state_ = ble::PeripheralState::kConnected;
  self->manager_->delegate().centralManagerDidConnectPeripheral(*self->manager_, *self);
  return 0;
}

void BluezPeripheral::cancel() {
  if (!manager_) return;
  switch (state_) {
    case ble::PeripheralState::kConnecting:
      // BlueZ aborts a pending Connect on Disconnect.
      cancelRequested_ = true;
      callDevice("Disconnect", nullptr, nullptr);
      return;
    case ble::PeripheralState::kConnected:
      if (ownLink_) {
        state_ = ble::PeripheralState::kDisconnecting;
        callDevice("Disconnect", nullptr, nullptr);
        return;
      }
      // Not our link to drop: releasing our use of it is the disconnection.
      state_ = ble::PeripheralState::kDisconnecting;
      manager_->post([self = shared_from_this()] {
        if (self->state_ == ble::PeripheralState::kDisconnecting) self->deliverDisconnection();
      });
      return;
    case ble::PeripheralState::kDisconnected:
    case ble::PeripheralState::kDisconnecting:
      return;
  }
}

void BluezPeripheral::onConnectedChanged(bool connected) {
  if (connected) return;
  if (state_ == ble::PeripheralState::kConnected || state_ == ble::PeripheralState::kDisconnecting) {
    deliverDisconnection();
  }
}

void BluezPeripheral::onLinkLost() {
  if (state_ != ble::PeripheralState::kDisconnected) deliverDisconnection();
}

void BluezPeripheral::deliverDisconnection() {
  state_ = ble::PeripheralState::kDisconnected;
  servicesRequested_ = false;
  connectCall_.reset();
  if (manager_) manager_->delegate().centralManagerDidDisconnectPeripheral(*manager_, *this, std::nullopt);
}

void BluezPeripheral::discoverServices(const std::vector<ble::Uuid>& /*serviceUuids*/) {
  if (!manager_) return;
  // GATT objects are trusted only once ServicesResolved is true: BlueZ keeps
  // a cached tree across disconnections.
  if (manager_->servicesResolved(path_)) {
    manager_->post([self = shared_from_this()] { self->deliverServices(); });
    return;
  }
  servicesRequested_ = true;
}

void BluezPeripheral::onServicesResolved(bool resolved) {
  if (!resolved || !servicesRequested_) return;
  servicesRequested_ = false;
  deliverServices();
}

void BluezPeripheral::deliverServices() {
  if (!manager_) return;
  Services services;
  for (auto& [path, uuid] : manager_->gattChildren(path_, true)) {
    services.push_back(std::make_shared<ble::Service>(uuid, path));
  }
  services_ = std::move(services);
  if (delegate_) delegate_->peripheralDidDiscoverServices(*this, std::nullopt);
}

void BluezPeripheral::discoverCharacteristicsForService(const std::vector<ble::Uuid>& /*characteristicUuids*/,
                                                        ble::Service& service) {
  if (!manager_) return;
  manager_->post([self = shared_from_this(), target = findService(service)] {
    if (!self->manager_ || !target) return;
    ble::Service::Characteristics characteristics;
    for (auto& [path, uuid] : self->manager_->gattChildren(target->handle(), false)) {
      characteristics.push_back(std::make_shared<ble::Characteristic>(uuid, path));
    }
    target->setCharacteristics(std::move(characteristics));
    if (self->delegate_) self->delegate_->peripheralDidDiscoverCharacteristicsForService(*self, *target, std::nullopt);
  });
}

void BluezPeripheral::readValueForCharacteristic(ble::Characteristic& characteristic) {
  if (!manager_) return;
  auto target = findCharacteristic(characteristic);
  if (!target) return;
  MessageHandle call;
  int r = sd_bus_message_new_method_call(manager_->bus(), call.put(), names::kService, target->handle().c_str(),
                                         names::kGattCharacteristicInterface, "ReadValue");
  if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
  if (r >= 0) r = sd_bus_call_async(manager_->bus(), readCall_.put(), call.get(), &BluezPeripheral::onReadReply, this,
                                    kCallTimeoutUsec);
  if (r < 0) {
    manager_->post([self = shared_from_this(), target] { self->deliverReadFailure(target, "ReadValue not sent"); });
    return;
  }
  pendingRead_ = target;
}

int BluezPeripheral::onReadReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezPeripheral*>(userdata);
  auto target = std::move(self->pendingRead_);
  if (!target) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->deliverReadFailure(target, errorOf(reply).name.c_str());
    return 0;
  }
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_read_array(reply, SD_BUS_TYPE_BYTE, &data, &size) < 0) {
    self->deliverReadFailure(target, "org.freedesktop.DBus.Error.InvalidArgs");
    return 0;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  target->setValue(std::vector<std::uint8_t>(bytes, bytes + size));
  if (self->delegate_) self->delegate_->peripheralDidUpdateValueForCharacteristic(*self, *target, std::nullopt);
  return 0;
}

void BluezPeripheral::deliverReadFailure(const std::shared_ptr<ble::Characteristic>& characteristic,
                                         const char* name) {
  if (delegate_) delegate_->peripheralDidUpdateValueForCharacteristic(*this, *characteristic, ble::Error{name});
}

std::shared_ptr<ble::Service> BluezPeripheral::findService(const ble::Service& service) const {
  if (!services_) return nullptr;
  for (const auto& candidate : *services_) {
    if (candidate.get() == &service) return candidate;
  }
  return nullptr;
}

std::shared_ptr<ble::Characteristic> BluezPeripheral::findCharacteristic(
    const ble::Characteristic& characteristic) const {
  if (!services_) return nullptr;
  for (const auto& service : *services_) {
    if (!service->characteristics()) continue;
    for (const auto& candidate : *service->characteristics()) {
      if (candidate.get() == &characteristic) return candidate;
    }
  }
  return nullptr;
}

}  // namespace bluez
