#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ble/advertisement_data.h"
#include "ble/bluez/object_tree_reader.h"
#include "ble/bluez/property_reader.h"
#include "ble/uuid.h"
#include "sd/sd_handle.h"

namespace bluez {

// What BlueZ says exists: the adapter the tool uses, the devices under it and
// their GATT attributes, kept from one GetManagedObjects call and the
// ObjectManager and PropertiesChanged signals that follow it. Only the
// current owner of org.bluez is believed. It tells its observer what changed;
// what that means for a scan, a search or a link is not its business.
class BluezObjectMirror {
 public:
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
  using DeviceMap = std::unordered_map<std::string, Device, DevicePathHash>;

  // Every call comes from the event loop. The mirror is up to date for each,
  // except deviceDidAppear during the first snapshot: it comes for each
  // device as it is read, before mirrorDidLoad, while devices() holds only
  // those read so far and the GATT attributes may be incomplete.
  class Observer {
   public:
    // The first snapshot is in: devices are known, the adapter's properties
    // are as it reported them.
    virtual void mirrorDidLoad(const AdapterProperties& adapter) = 0;
    // BlueZ could not be read or watched, or lists no adapter (null error).
    virtual void mirrorDidFail(const sd_bus_error* error) = 0;
    virtual void adapterDidChange(const AdapterProperties& changed) = 0;
    // The adapter was removed, org.bluez lost its owner, or the bus went away.
    virtual void adapterDidGo() = 0;
    // A device object appeared, or was listed again with new properties.
    virtual void deviceDidAppear(const Device& device) = 0;
    // A device announced or changed service data; `serviceData` holds it
    // only for the duration of the call.
    virtual void deviceDidAdvertise(const Device& device, const std::vector<ble::ServiceDataEntry>& serviceData) = 0;
    // Connected or ServicesResolved changed on a known device.
    virtual void deviceDidChange(std::string_view path, const DeviceProperties& changed) = 0;
    virtual void deviceDidGo(const std::string& path) = 0;

   protected:
    ~Observer() = default;
  };

  BluezObjectMirror(sd_bus* bus, Observer& observer) : bus_(bus), observer_(observer) {}
  BluezObjectMirror(const BluezObjectMirror&) = delete;
  BluezObjectMirror& operator=(const BluezObjectMirror&) = delete;

  // Subscribes to BlueZ's signals, then asks for the snapshot. False when
  // there is no bus or the request could not be sent.
  bool load();

  const std::string& adapterPath() const { return adapterPath_; }
  const DeviceMap& devices() const { return devices_; }
  bool isConnected(const std::string& devicePath) const;
  bool servicesResolved(const std::string& devicePath) const;
  // Replaces what is known of the GATT attributes under `devicePath` by what
  // a GetManagedObjects reply lists. Negative when the reply is unreadable.
  int replaceAttributes(const std::string& devicePath, sd_bus_message* reply);
  // Direct GATT children of `parentPath`, services or characteristics, in handle order.
  std::vector<std::pair<std::string, ble::Uuid>> gattChildren(const std::string& parentPath, bool services) const;

 private:
  static int onManagedObjects(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onDisconnected(sd_bus_message* m, void* userdata, sd_bus_error* error);

  void subscribe();
  void readManagedObjects(sd_bus_message* reply);
  // Stores the GATT attributes a reply lists under `under` (a string that outlives the read).
  ObjectTreeVisitor attributeVisitor(std::string_view under);
  bool fromBluez(sd_bus_message* m) const;
  bool isUnderAdapter(std::string_view path) const;
  void readInterfaces(sd_bus_message* m, std::string_view path);
  void adapterPropertiesChanged(sd_bus_message* m);
  void devicePropertiesChanged(sd_bus_message* m);
  void addDevice(std::string_view path, const DeviceProperties& properties, bool announced);
  DeviceMap::iterator findDevice(std::string_view path);
  static void updateDevice(Device& device, const DeviceProperties& properties);
  void removeObject(std::string_view path, std::string_view interface);
  void bluezGone();

  sd_bus* bus_;
  Observer& observer_;
  std::string owner_;  // unique bus name of bluetoothd; empty until known
  std::string adapterPath_;
  std::string devicePrefix_;  // adapterPath_ + "/"
  DeviceMap devices_;
  // GCC 10's library (Debian 11) has no lookup of an unordered_map by a
  // string_view: a path is looked up through this key, whose buffer is
  // reused, so that an advertisement's lookup does not allocate.
  std::string deviceKey_;
  std::map<std::string, ble::Uuid, std::less<>> gattServices_;
  std::map<std::string, ble::Uuid, std::less<>> gattCharacteristics_;
  // Reused for every advertisement so that the hot path does not allocate.
  std::vector<ble::ServiceDataEntry> serviceData_;

  std::vector<sd::SlotHandle> slots_;
  sd::SlotHandle managedObjectsCall_;
};

}  // namespace bluez
