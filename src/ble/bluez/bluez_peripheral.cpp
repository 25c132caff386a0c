#include "ble/bluez/bluez_peripheral.h"

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/bluez_object_mirror.h"
#include "ble/bluez/link_end_grace.h"
#include "ble/bluez/task_queue.h"
#include "ble/bluez/teardown_tracker.h"

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

BluezPeripheral::BluezPeripheral(const PeripheralContext& context, std::string path, const ble::Uuid& identifier)
    : context_(&context), teardown_(context.teardown), path_(std::move(path)), identifier_(identifier) {}

int BluezPeripheral::callDevice(const char* member, sd::SlotHandle& slot, sd_bus_message_handler_t callback) {
  sd::MessageHandle call;
  int r = sd_bus_message_new_method_call(context_->bus, call.put(), names::kService, path_.c_str(),
                                         names::kDeviceInterface, member);
  if (r < 0) return r;
  return sd_bus_call_async(context_->bus, slot.put(), call.get(), callback, this, kCallTimeoutUsec);
}

void BluezPeripheral::connect() {
  if (!context_ || state_ != ble::PeripheralState::kDisconnected) return;
  auto self = shared_from_this();
  if (context_->mirror.isConnected(path_)) {
    // Someone else's link: use it as it is.
    ownLink_ = false;
    state_ = ble::PeripheralState::kConnected;
    context_->tasks.post([self] {
      if (self->context_) self->context_->delegate.centralManagerDidConnectPeripheral(self->context_->central, *self);
    });
    return;
  }
  ownLink_ = true;
  cancelRequested_ = false;
  state_ = ble::PeripheralState::kConnecting;
  if (callDevice("Connect", connectCall_, &BluezPeripheral::onConnectReply) < 0) {
    state_ = ble::PeripheralState::kDisconnected;
    context_->tasks.post([self] {
      if (self->context_) {
        self->context_->delegate.centralManagerDidFailToConnectPeripheral(self->context_->central, *self,
                                                                           ble::Error{"Connect not sent"});
      }
    });
  }
}

int BluezPeripheral::onConnectReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezPeripheral*>(userdata);
  if (!self->context_ || self->state_ != ble::PeripheralState::kConnecting) return 0;
  bool failed = sd_bus_message_is_method_error(reply, nullptr);
  if (self->cancelRequested_) {
    // Our Disconnect follows this Connect on the bus: a refused attempt is the
    // released link; an accepted one goes down when BlueZ confirms it.
    if (failed) {
      self->disconnectedAsAsked();
    } else {
      self->state_ = ble::PeripheralState::kDisconnecting;
    }
    return 0;
  }
  if (failed) {
    // A failure may be the first sign of the adapter going off.
    self->state_ = ble::PeripheralState::kDisconnected;
    self->context_->grace.hold([self = self->shared_from_this(), error = errorOf(reply)] {
      if (self->context_) {
        self->context_->delegate.centralManagerDidFailToConnectPeripheral(self->context_->central, *self, error);
      }
    });
    return 0;
  }
  self->state_ = ble::PeripheralState::kConnected;
  self->context_->delegate.centralManagerDidConnectPeripheral(self->context_->central, *self);
  return 0;
}

void BluezPeripheral::cancel() {
  if (!context_) return;
  switch (state_) {
    case ble::PeripheralState::kConnecting:
      // BlueZ aborts a pending Connect on Disconnect.
      cancelRequested_ = true;
      release();
      return;
    case ble::PeripheralState::kConnected:
      state_ = ble::PeripheralState::kDisconnecting;
      if (ownLink_) {
        release();
        return;
      }
      // Not our link to drop: releasing our use of it is the disconnection.
      context_->tasks.post([self = shared_from_this()] {
        if (self->state_ == ble::PeripheralState::kDisconnecting) self->disconnectedAsAsked();
      });
      return;
    case ble::PeripheralState::kDisconnected:
    case ble::PeripheralState::kDisconnecting:
      return;
  }
}

void BluezPeripheral::release() {
  if (!releasing_) {
    releasing_ = true;
    teardown_.begin();
  }
  // BlueZ answers Disconnect once the link is really down
  // (doc/bluez-behaviour.md, slow-disconnect).
  if (callDevice("Disconnect", disconnectCall_, &BluezPeripheral::onDisconnectReply) < 0) releaseSettled();
}

void BluezPeripheral::releaseSettled() {
  if (!releasing_) return;
  releasing_ = false;
  teardown_.end();
}

int BluezPeripheral::onDisconnectReply(sd_bus_message* /*reply*/, void* userdata, sd_bus_error* /*error*/) {
  // Answered or refused, the link is no longer up.
  auto* self = static_cast<BluezPeripheral*>(userdata);
  if (self->state_ == ble::PeripheralState::kDisconnecting ||
      (self->state_ == ble::PeripheralState::kConnecting && self->cancelRequested_)) {
    self->disconnectedAsAsked();
    return 0;
  }
  self->releaseSettled();
  return 0;
}

void BluezPeripheral::onConnectedChanged(bool connected) {
  if (connected) return;
  if (state_ == ble::PeripheralState::kDisconnecting) {
    disconnectedAsAsked();
  } else if (state_ == ble::PeripheralState::kConnected) {
    disconnectedUnasked();
  }
}

void BluezPeripheral::onDeviceRemoved() {
  if (state_ == ble::PeripheralState::kDisconnecting ||
      (state_ == ble::PeripheralState::kConnecting && cancelRequested_)) {
    disconnectedAsAsked();
  } else if (state_ != ble::PeripheralState::kDisconnected) {
    disconnectedUnasked();
  }
}

void BluezPeripheral::onAdapterLost() {
  releaseSettled();
  if (state_ == ble::PeripheralState::kDisconnected) return;
  // Down now, so that the adapter's own event finds no link to release; the
  // disconnection event follows it from the loop.
  clearLinkState();
  readCall_.reset();
  pendingRead_.reset();
  if (context_) context_->tasks.post([self = shared_from_this()] { self->reportDisconnection(); });
}

void BluezPeripheral::disconnectedAsAsked() {
  releaseSettled();
  clearLinkState();
  reportDisconnection();
}

void BluezPeripheral::disconnectedUnasked() {
  // The peripheral went away, the device was removed, or the adapter is
  // going off. The state changes now, the event waits for the adapter's fate.
  clearLinkState();
  if (context_) context_->grace.hold([self = shared_from_this()] { self->reportDisconnection(); });
}

void BluezPeripheral::clearLinkState() {
  state_ = ble::PeripheralState::kDisconnected;
  servicesRequested_ = false;
  connectCall_.reset();
  objectsCall_.reset();
}

void BluezPeripheral::reportDisconnection() {
  if (context_) context_->delegate.centralManagerDidDisconnectPeripheral(context_->central, *this, std::nullopt);
}

void BluezPeripheral::discoverServices(const std::vector<ble::Uuid>& /*serviceUuids*/) {
  if (!context_) return;
  // GATT objects are trusted only once ServicesResolved is true: BlueZ keeps
  // a cached tree across disconnections.
  servicesRequested_ = true;
  if (context_->mirror.servicesResolved(path_)) fetchServices();
}

void BluezPeripheral::onServicesResolved(bool resolved) {
  if (resolved && servicesRequested_) fetchServices();
}

void BluezPeripheral::fetchServices() {
  servicesRequested_ = false;
  // bluetoothd can signal ServicesResolved before the InterfacesAdded of the
  // service objects (seen after a link cut during discovery), but it
  // registers the objects first: asking for the tree now lists them all.
  int r = sd_bus_call_method_async(context_->bus, objectsCall_.put(), names::kService, "/",
                                   names::kObjectManagerInterface, "GetManagedObjects",
                                   &BluezPeripheral::onObjectsReply, this, "");
  if (r < 0) {
    context_->tasks.post([self = shared_from_this()] { self->deliverServices(ble::Error{"GetManagedObjects not sent"}); });
  }
}

int BluezPeripheral::onObjectsReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezPeripheral*>(userdata);
  if (!self->context_ || self->state_ != ble::PeripheralState::kConnected) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->deliverServices(errorOf(reply));
  } else if (self->context_->mirror.replaceAttributes(self->path_, reply) < 0) {
    self->deliverServices(ble::Error{"org.freedesktop.DBus.Error.InvalidArgs"});
  } else {
    self->deliverServices(std::nullopt);
  }
  return 0;
}

void BluezPeripheral::deliverServices(std::optional<ble::Error> error) {
  if (!context_) return;
  if (!error) {
    Services services;
    for (auto& [path, uuid] : context_->mirror.gattChildren(path_, true)) {
      services.push_back(std::make_shared<ble::Service>(uuid, path));
    }
    services_ = std::move(services);
  }
  if (delegate_) delegate_->peripheralDidDiscoverServices(*this, error);
}

void BluezPeripheral::discoverCharacteristicsForService(const std::vector<ble::Uuid>& /*characteristicUuids*/,
                                                        ble::Service& service) {
  if (!context_) return;
  context_->tasks.post([self = shared_from_this(), target = findService(service)] {
    if (!self->context_ || !target) return;
    ble::Service::Characteristics characteristics;
    for (auto& [path, uuid] : self->context_->mirror.gattChildren(target->handle(), false)) {
      characteristics.push_back(std::make_shared<ble::Characteristic>(uuid, path));
    }
    target->setCharacteristics(std::move(characteristics));
    if (self->delegate_) self->delegate_->peripheralDidDiscoverCharacteristicsForService(*self, *target, std::nullopt);
  });
}

void BluezPeripheral::readValueForCharacteristic(ble::Characteristic& characteristic) {
  if (!context_) return;
  auto target = findCharacteristic(characteristic);
  if (!target) return;
  sd::MessageHandle call;
  int r = sd_bus_message_new_method_call(context_->bus, call.put(), names::kService, target->handle().c_str(),
                                         names::kGattCharacteristicInterface, "ReadValue");
  if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
  if (r >= 0) r = sd_bus_call_async(context_->bus, readCall_.put(), call.get(), &BluezPeripheral::onReadReply, this,
                                    kCallTimeoutUsec);
  if (r < 0) {
    context_->tasks.post(
        [self = shared_from_this(), target] { self->deliverReadFailure(target, ble::Error{"ReadValue not sent"}); });
    return;
  }
  pendingRead_ = target;
}

int BluezPeripheral::onReadReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezPeripheral*>(userdata);
  auto target = std::move(self->pendingRead_);
  if (!target) return 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!self->context_) return 0;
    // bluetoothd can answer a read that the link's end killed before it
    // signals that end; the end, or the adapter's, is then what happened.
    self->context_->grace.hold([self = self->shared_from_this(), target, error = errorOf(reply)] {
      if (self->state_ == ble::PeripheralState::kConnected) self->deliverReadFailure(target, error);
    });
    return 0;
  }
  const void* data = nullptr;
  std::size_t size = 0;
  if (sd_bus_message_read_array(reply, SD_BUS_TYPE_BYTE, &data, &size) < 0) {
    self->deliverReadFailure(target, ble::Error{"org.freedesktop.DBus.Error.InvalidArgs"});
    return 0;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  target->setValue(std::vector<std::uint8_t>(bytes, bytes + size));
  if (self->delegate_) self->delegate_->peripheralDidUpdateValueForCharacteristic(*self, *target, std::nullopt);
  return 0;
}

void BluezPeripheral::deliverReadFailure(const std::shared_ptr<ble::Characteristic>& characteristic,
                                         ble::Error error) {
  if (delegate_) delegate_->peripheralDidUpdateValueForCharacteristic(*this, *characteristic, error);
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
