#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ble/advertisement_data.h"
#include "ble/bluez/event_timer.h"
#include "ble/bluez/teardown_tracker.h"
#include "ble/bluez/object_tree_reader.h"
#include "ble/bluez/property_reader.h"
#include "ble/bluez/sd_handle.h"
#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/central_manager_factory.h"

namespace bluez {

class BluezPeripheral;

// The central manager on BlueZ's D-Bus API. It mirrors the part of BlueZ's
// object tree that the modes need (the adapter, its devices and their GATT
// attributes) from GetManagedObjects and the ObjectManager signals, and turns
// BlueZ's signals and replies into delegate events on the event loop.
class BluezCentralManager final : public ble::CentralManager {
 public:
  // How long BlueZ may take to look up a peripheral it has forgotten: one
  // advertisement at the slowest legacy interval (10.24 s), with margin.
  static constexpr std::chrono::seconds kSearchTime{15};
  // bluetoothd ends every link before it signals that the adapter is off or
  // gone; a link's end is held this long to tell the two apart.
  static constexpr std::chrono::milliseconds kAdapterGrace{500};
  // Restarts of a discovery that BlueZ ended under us, before giving up.
  static constexpr int kMaxDiscoveryRestarts = 3;

  // `bus` may be null when the system bus could not be reached: the manager
  // then reports the adapter as unsupported.
  BluezCentralManager(sd_bus* bus, sd_event* event, ble::CentralManagerDelegate& delegate,
                      const ble::CentralManagerOptions& options, TeardownTracker& teardown);
  ~BluezCentralManager() override;

  ble::ManagerState state() const override { return state_; }
  void scanForPeripheralsWithServices(const std::vector<ble::Uuid>& serviceUuids,
                                      const ble::ScanOptions& options) override;
  void stopScan() override;
  std::vector<std::shared_ptr<ble::Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<ble::Uuid>& identifiers) override;
  void connectPeripheral(ble::Peripheral& peripheral) override;
  void cancelPeripheralConnection(ble::Peripheral& peripheral) override;

  // For BluezPeripheral.
  sd_bus* bus() const { return bus_; }
  ble::CentralManagerDelegate& delegate() const { return delegate_; }
  TeardownTracker& teardown() const { return teardown_; }
  // Runs `task` from the event loop, after the current handler has returned.
  void post(std::function<void()> task);
  // Runs `task` once the adapter grace has passed, unless the adapter turns
  // out to be off or gone first: that is then reported instead, before it.
  void holdLinkEnd(std::function<void()> task);
  bool isConnected(const std::string& devicePath) const;
  bool servicesResolved(const std::string& devicePath) const;
  // Replaces what is known of the GATT attributes under `devicePath` by what
  // a GetManagedObjects reply lists. Negative when the reply is unreadable.
  int replaceAttributes(const std::string& devicePath, sd_bus_message* reply);
  // Direct GATT children of `parentPath` with `interface`, in handle order.
  std::vector<std::pair<std::string, ble::Uuid>> gattChildren(const std::string& parentPath, bool services) const;

 private:
  struct Device {
    ble::Uuid identifier;
    bool hasIdentifier = false;
    bool connected = false;
    bool servicesResolved = false;
  };
  // Device paths differ only in their last 17 characters (dev_XX_XX_XX_XX_XX_XX):
  // hashing those 16 bytes as two words costs a few instructions per
  // advertisement where a hash of the whole path costs over a hundred.
  struct DevicePathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const noexcept {
      if (path.size() < 16) return std::hash<std::string_view>{}(path);
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, path.data() + path.size() - 16, 8);
      std::memcpy(&b, path.data() + path.size() - 8, 8);
      std::uint64_t h = (a ^ path.size()) * 0x9E3779B97F4A7C15ull ^ b * 0xC2B2AE3D27D4EB4Full;
      return static_cast<std::size_t>(h ^ (h >> 29));
    }
  };
  using DeviceMap = std::unordered_map<std::string, Device, DevicePathHash, std::equal_to<>>;

  static int onManagedObjects(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onAdapterPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onScanReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onStartReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onStopReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onPosted(sd_event_source* source, void* userdata);
  static int onLoopExit(sd_event_source* source, void* userdata);

  void subscribe();
  void readManagedObjects(sd_bus_message* reply);
  // Stores the GATT attributes a reply lists under `under` (a string that outlives the read).
  ObjectTreeVisitor attributeVisitor(std::string_view under);
  bool fromBluez(sd_bus_message* m) const;
  bool isUnderAdapter(std::string_view path) const;
  void readInterfaces(sd_bus_message* m, std::string_view path, bool announced);
  void devicePropertiesChanged(sd_bus_message* m);
  void addDevice(std::string_view path, const DeviceProperties& properties, bool announced);
  void updateDevice(Device& device, const DeviceProperties& properties);
  void reportAdvertisement(const Device& device, const DeviceProperties& properties);
  void removeObject(std::string_view path, std::string_view interface);
  void setState(ble::ManagerState state);
  void fail(const sd_bus_error* error);
  void adapterLost(ble::ManagerState state);
  void reportDisconnection(const std::string& devicePath);
  BluezPeripheral* asBluez(ble::Peripheral& peripheral) const;

  // Discovery, for a scan or for the search of a forgotten peripheral.
  int startDiscovery(bool restart);
  void stopDiscovery();
  int sendStopDiscovery(SlotHandle* slot);
  void sendClearFilter();
  void onDiscoveringChanged();
  void checkDiscovering();
  bool isExpected(const Device& device) const;
  // Ends the search without a word to BlueZ; false if none was under way.
  bool abandonSearch();
  void endSearch();

  sd_bus* bus_;
  sd_event* event_;
  ble::CentralManagerDelegate& delegate_;
  TeardownTracker& teardown_;
  ble::ManagerState state_ = ble::ManagerState::kUnknown;

  std::string owner_;  // unique bus name of bluetoothd; empty until known
  std::string adapterPath_;
  std::string devicePrefix_;  // adapterPath_ + "/"
  std::optional<bool> discovering_;  // the adapter's Discovering property
  bool discoveryRequested_ = false;  // a scan runs: advertisements are reported
  bool duplicates_ = false;
  std::vector<ble::Uuid> expected_;
  bool searching_ = false;  // looking for an expected peripheral BlueZ has forgotten
  int discoveryRestarts_ = 0;
  DeviceMap devices_;
  std::map<std::string, ble::Uuid, std::less<>> gattServices_;
  std::map<std::string, ble::Uuid, std::less<>> gattCharacteristics_;
  std::map<std::string, std::shared_ptr<BluezPeripheral>, std::less<>> peripherals_;
  // Reused for every advertisement so that the hot path does not allocate.
  std::vector<ble::ServiceDataEntry> serviceData_;

  std::vector<SlotHandle> slots_;
  SlotHandle managedObjectsCall_;
  SlotHandle scanCalls_[2];
  SlotHandle stopCall_;
  std::function<void()> afterStop_;
  std::deque<std::function<void()>> posted_;
  EventSourceHandle postSource_;
  EventSourceHandle exitSource_;
  std::deque<std::function<void()>> heldLinkEnds_;
  EventTimer graceTimer_;
  EventTimer searchTimer_;
  EventTimer discoveryCheck_;
};

}  // namespace bluez
