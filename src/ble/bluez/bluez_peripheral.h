#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/peripheral_context.h"
#include "ble/peripheral.h"
#include "sd/sd_handle.h"

namespace bluez {

class TeardownTracker;

// One org.bluez.Device1 as a peripheral. Its connection state is the tool's
// own view: BlueZ 5.66 often sends no Connected=true after a successful
// Connect (doc/bluez-behaviour.md, connected_at_start), so the Connect
// reply, not the property, marks the link as up.
class BluezPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<BluezPeripheral> {
 public:
  BluezPeripheral(const PeripheralContext& context, std::string path, const ble::Uuid& identifier);

  const ble::Uuid& identifier() const override { return identifier_; }
  ble::PeripheralState state() const override { return state_; }
  void setDelegate(ble::PeripheralDelegate* delegate) override { delegate_ = delegate; }
  const std::optional<Services>& services() const override { return services_; }
  void discoverServices(const std::vector<ble::Uuid>& serviceUuids) override;
  void discoverCharacteristicsForService(const std::vector<ble::Uuid>& characteristicUuids,
                                         ble::Service& service) override;
  void readValueForCharacteristic(ble::Characteristic& characteristic) override;

  // Driven by the central manager.
  const std::string& path() const { return path_; }
  void connect();
  void cancel();
  void onConnectedChanged(bool connected);
  void onServicesResolved(bool resolved);
  // BlueZ removed the device object (another program removed the device, or
  // the adapter is going): whatever link it had is over.
  void onDeviceRemoved();
  // The adapter is off or gone, or BlueZ itself went away; already reported.
  void onAdapterLost();
  // The central manager is going: nothing more is sent or reported.
  void detach() { context_ = nullptr; }

 private:
  static int onConnectReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onDisconnectReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onObjectsReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onReadReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

  int callDevice(const char* member, sd::SlotHandle& slot, sd_bus_message_handler_t callback);
  // Sends Disconnect; the run waits for the link to go until releaseSettled().
  void release();
  // Nothing more to wait for from our Disconnect: the link is down, BlueZ
  // answered, the adapter went, or the call never went out.
  void releaseSettled();
  // The end we asked for (our released link, our cancelled attempt, our use
  // of another program's link), reported at once.
  void disconnectedAsAsked();
  // An end BlueZ reports that we did not ask for.
  void disconnectedUnasked();
  void clearLinkState();
  void reportDisconnection();
  void fetchServices();
  void deliverServices(std::optional<ble::Error> error);
  void deliverReadFailure(const std::shared_ptr<ble::Characteristic>& characteristic, ble::Error error);
  std::shared_ptr<ble::Service> findService(const ble::Service& service) const;
  std::shared_ptr<ble::Characteristic> findCharacteristic(const ble::Characteristic& characteristic) const;

  const PeripheralContext* context_;
  TeardownTracker& teardown_;
  const std::string path_;
  const ble::Uuid identifier_;
  ble::PeripheralState state_ = ble::PeripheralState::kDisconnected;
  ble::PeripheralDelegate* delegate_ = nullptr;
  std::optional<Services> services_;

  // We brought the link up ourselves. A link another program made is never
  // torn down: Disconnect would drop it for every program, not just us.
  bool ownLink_ = false;
  bool cancelRequested_ = false;
  bool servicesRequested_ = false;
  // Our Disconnect is out and BlueZ has not yet confirmed the link down.
  bool releasing_ = false;
  sd::SlotHandle connectCall_;
  sd::SlotHandle disconnectCall_;
  sd::SlotHandle objectsCall_;
  sd::SlotHandle readCall_;
  std::shared_ptr<ble::Characteristic> pendingRead_;
};

}  // namespace bluez
