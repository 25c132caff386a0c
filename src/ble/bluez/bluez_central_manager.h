#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/bluez_discovery.h"
#include "ble/bluez/bluez_object_mirror.h"
#include "ble/bluez/link_end_grace.h"
#include "ble/bluez/peripheral_context.h"
#include "ble/bluez/task_queue.h"
#include "ble/bluez/teardown_tracker.h"
#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/central_manager_factory.h"

namespace bluez {

class BluezPeripheral;

// The central manager on BlueZ's D-Bus API. What BlueZ says exists comes
// from the mirror and discovering from the discovery; this class turns them
// into the adapter's state, retrieval, connections and delegate events, all
// delivered from the event loop.
class BluezCentralManager final : public ble::CentralManager,
                                  private BluezObjectMirror::Observer,
                                  private BluezDiscovery::Delegate {
 public:
  // `bus` may be null when the system bus could not be reached: the manager
  // then reports the adapter as unsupported.
  BluezCentralManager(sd_bus* bus, sd_event* event, ble::CentralManagerDelegate& delegate,
                      const ble::CentralManagerOptions& options, TeardownTracker& teardown);
  ~BluezCentralManager() override;

  ble::ManagerState state() const override { return state_; }
  // The UUIDs that a scan, or a peripheral's discovery of services and
  // characteristics, asks for are not used: a UUID discovery filter would
  // hide the peripherals that carry the service in their service data alone
  // (see BluezDiscovery), and BlueZ resolves every service of a connected
  // device by itself, with no request per service. All is reported; the
  // modes pick what they asked for.
  void scanForPeripheralsWithServices(const std::vector<ble::Uuid>& serviceUuids,
                                      const ble::ScanOptions& options) override;
  void stopScan() override;
  std::vector<std::shared_ptr<ble::Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<ble::Uuid>& identifiers) override;
  void connectPeripheral(ble::Peripheral& peripheral) override;
  void cancelPeripheralConnection(ble::Peripheral& peripheral) override;

 private:
  // BluezObjectMirror::Observer
  void mirrorDidLoad(const AdapterProperties& adapter) override;
  void mirrorDidFail(const sd_bus_error* error) override;
  void adapterDidChange(const AdapterProperties& changed) override;
  void adapterDidGo() override;
  void deviceDidAppear(const BluezObjectMirror::Device& device) override;
  void deviceDidAdvertise(const BluezObjectMirror::Device& device,
                          const std::vector<ble::ServiceDataEntry>& serviceData) override;
  void deviceDidChange(std::string_view path, const DeviceProperties& changed) override;
  void deviceDidGo(const std::string& path) override;

  // BluezDiscovery::Delegate
  bool discoveryMayRestart() const override { return state_ == ble::ManagerState::kPoweredOn; }
  void discoveryWasRefused(const sd_bus_error* error) override { fail(error); }
  void discoveryDidGiveUp() override { setState(ble::ManagerState::kUnsupported); }
  void searchDidEnd() override { setState(ble::ManagerState::kPoweredOn); }

  void setState(ble::ManagerState state);
  void fail(const sd_bus_error* error);
  void adapterLost(ble::ManagerState state);
  bool isExpected(const BluezObjectMirror::Device& device) const;
  BluezPeripheral* asBluez(ble::Peripheral& peripheral) const;

  ble::CentralManagerDelegate& delegate_;
  ble::ManagerState state_ = ble::ManagerState::kUnknown;
  std::vector<ble::Uuid> expected_;
  TaskQueue tasks_;
  LinkEndGrace grace_;
  BluezObjectMirror mirror_;
  BluezDiscovery discovery_;
  PeripheralContext context_;
  std::map<std::string, std::shared_ptr<BluezPeripheral>, std::less<>> peripherals_;
};

}  // namespace bluez
