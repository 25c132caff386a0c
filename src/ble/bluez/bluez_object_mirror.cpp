#include "ble/bluez/bluez_object_mirror.h"

#include <climits>
#include <cstring>
#include <optional>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/device_address.h"

namespace bluez {
namespace {

// A constant handful of match rules for the whole run. One rule per device
// would hit the bus's per-connection limit (512 on Debian) and silently stop
// delivering devices past it.
constexpr const char* kNameOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
constexpr const char* kInterfacesAddedRule =
    "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',"
    "member='InterfacesAdded'";
constexpr const char* kInterfacesRemovedRule =
    "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',"
    "member='InterfacesRemoved'";
constexpr const char* kAdapterPropertiesRule =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
    "path_namespace='/org/bluez',arg0='org.bluez.Adapter1'";
constexpr const char* kDevicePropertiesRule =
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
    "path_namespace='/org/bluez',arg0='org.bluez.Device1'";

constexpr const char* kDisconnectedRule =
    "type='signal',path='/org/freedesktop/DBus/Local',interface='org.freedesktop.DBus.Local',member='Disconnected'";

// hci0 before hci1 before hci10; paths of any other shape after all of them.
unsigned long adapterIndex(std::string_view path) {
  auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.size() <= 3 || name.substr(0, 3) != "hci" || name.size() > 12) return ULONG_MAX;
  unsigned long index = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return ULONG_MAX;
    index = index * 10 + static_cast<unsigned long>(c - '0');
  }
  return index;
}

bool isDirectChild(std::string_view path, std::string_view prefix) {
  return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix &&
         path.find('/', prefix.size()) == std::string_view::npos;
}

}  // namespace

bool BluezObjectMirror::load() {
  if (!bus_) return false;
  subscribe();
  // Sent after the AddMatch calls on the same connection, so the bus applies
  // the rules first and no change between the snapshot and the rules is lost.
  return sd_bus_call_method_async(bus_, managedObjectsCall_.put(), names::kService, "/",
                                  names::kObjectManagerInterface, "GetManagedObjects",
                                  &BluezObjectMirror::onManagedObjects, this, "") >= 0;
}

void BluezObjectMirror::subscribe() {
  struct Rule {
    const char* match;
    sd_bus_message_handler_t callback;
  };
  const Rule rules[] = {
      {kNameOwnerRule, &BluezObjectMirror::onNameOwnerChanged},
      {kInterfacesAddedRule, &BluezObjectMirror::onInterfacesAdded},
      {kInterfacesRemovedRule, &BluezObjectMirror::onInterfacesRemoved},
  };
  for (const Rule& rule : rules) {
    sd::SlotHandle slot;
    if (sd_bus_add_match_async(bus_, slot.put(), rule.match, rule.callback, &BluezObjectMirror::onMatchInstalled,
                               this) >= 0) {
      slots_.push_back(std::move(slot));
    }
  }
  // Every advertisement is a PropertiesChanged signal. Its rules go to the bus
  // only, and a filter takes the signals: sd-bus's own matching of an arg0
  // rule reads and validates the message's first string, then rewinds it, on
  // top of our reading it, and walks its match tree for every message.
  for (const char* rule : {kAdapterPropertiesRule, kDevicePropertiesRule}) {
    sd::SlotHandle slot;
    if (sd_bus_call_method_async(bus_, slot.put(), names::kBusDriver, "/org/freedesktop/DBus", names::kBusDriver,
                                 "AddMatch", &BluezObjectMirror::onMatchInstalled, this, "s", rule) >= 0) {
      slots_.push_back(std::move(slot));
    }
  }
  sd::SlotHandle filter;
  if (sd_bus_add_filter(bus_, filter.put(), &BluezObjectMirror::onPropertiesChanged, this) >= 0) {
    slots_.push_back(std::move(filter));
  }
  // The connection dropping reaches us as sd-bus's own Disconnected signal.
  // A match on the local interface stays inside sd-bus (no rule on the bus),
  // and unlike a filter it costs nothing for every other message.
  sd::SlotHandle disconnected;
  if (sd_bus_add_match_async(bus_, disconnected.put(), kDisconnectedRule, &BluezObjectMirror::onDisconnected, nullptr,
                             this) >= 0) {
    slots_.push_back(std::move(disconnected));
  }
}

bool BluezObjectMirror::fromBluez(sd_bus_message* m) const {
  // The bus lets anyone send us a signal that looks like BlueZ's; only the
  // current owner of org.bluez speaks for it.
  const char* sender = sd_bus_message_get_sender(m);
  return sender != nullptr && !owner_.empty() && owner_ == sender;
}

bool BluezObjectMirror::isUnderAdapter(std::string_view path) const {
  return !devicePrefix_.empty() && path.size() > devicePrefix_.size() &&
         path.substr(0, devicePrefix_.size()) == devicePrefix_;
}

int BluezObjectMirror::onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  // Without its rules the mirror would wait forever for changes that never
  // come; better to say the adapter cannot be used.
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    static_cast<BluezObjectMirror*>(userdata)->observer_.mirrorDidFail(sd_bus_message_get_error(reply));
  }
  return 0;
}

int BluezObjectMirror::onManagedObjects(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezObjectMirror*>(userdata);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->observer_.mirrorDidFail(sd_bus_message_get_error(reply));
    return 0;
  }
  const char* sender = sd_bus_message_get_sender(reply);
  self->owner_ = sender ? sender : "";
  self->readManagedObjects(reply);
  return 0;
}

void BluezObjectMirror::readManagedObjects(sd_bus_message* reply) {
  // First pass: the adapter. Devices and attributes are kept only under it.
  struct Chosen {
    std::string path;
    AdapterProperties properties;
  };
  std::optional<Chosen> adapter;
  ObjectTreeVisitor adapters;
  adapters.adapter = [&](std::string_view path, const AdapterProperties& properties) {
    if (!adapter || adapterIndex(path) < adapterIndex(adapter->path) ||
        (adapterIndex(path) == adapterIndex(adapter->path) && path < adapter->path)) {
      adapter = Chosen{std::string(path), properties};
    }
  };
  if (readObjectTree(reply, adapters) < 0 || !adapter) {
    observer_.mirrorDidFail(nullptr);
    return;
  }
  adapterPath_ = adapter->path;
  devicePrefix_ = adapter->path + "/";

  // Second pass: what BlueZ already knows under that adapter.
  if (sd_bus_message_rewind(reply, true) >= 0) {
    ObjectTreeVisitor known = attributeVisitor(devicePrefix_);
    known.device = [this](std::string_view path, const DeviceProperties& properties) {
      if (isDirectChild(path, devicePrefix_)) addDevice(path, properties, false);
    };
    readObjectTree(reply, known);
  }
  observer_.mirrorDidLoad(adapter->properties);
}

ObjectTreeVisitor BluezObjectMirror::attributeVisitor(std::string_view under) {
  ObjectTreeVisitor visitor;
  visitor.service = [this, under](std::string_view path, const ble::Uuid& uuid) {
    if (path.starts_with(under)) gattServices_.insert_or_assign(std::string(path), uuid);
  };
  visitor.characteristic = [this, under](std::string_view path, const ble::Uuid& uuid) {
    if (path.starts_with(under)) gattCharacteristics_.insert_or_assign(std::string(path), uuid);
  };
  return visitor;
}

int BluezObjectMirror::onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezObjectMirror*>(userdata);
  if (!self->fromBluez(m)) return 0;
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path) < 0) return 0;
  if (!self->isUnderAdapter(path)) return 0;
  self->readInterfaces(m, path);
  return 0;
}

void BluezObjectMirror::readInterfaces(sd_bus_message* m, std::string_view path) {
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}") < 0) return;
  while (sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}") > 0) {
    const char* interface = nullptr;
    if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) < 0) return;
    int r = 0;
    if (std::strcmp(interface, names::kDeviceInterface) == 0 && isDirectChild(path, devicePrefix_)) {
      DeviceProperties properties;
      r = PropertyReader::readDevice(m, properties, serviceData_);
      if (r >= 0) addDevice(path, properties, true);
    } else if (bool isService = std::strcmp(interface, names::kGattServiceInterface) == 0;
               isService || std::strcmp(interface, names::kGattCharacteristicInterface) == 0) {
      std::optional<ble::Uuid> uuid;
      r = PropertyReader::readGattAttribute(m, uuid);
      auto& attributes = isService ? gattServices_ : gattCharacteristics_;
      if (r >= 0 && uuid) attributes.insert_or_assign(std::string(path), *uuid);
    } else {
      r = PropertyReader::skip(m, "a{sv}");
    }
    if (r < 0 || sd_bus_message_exit_container(m) < 0) return;
  }
  sd_bus_message_exit_container(m);
}

void BluezObjectMirror::addDevice(std::string_view path, const DeviceProperties& properties, bool announced) {
  auto [it, inserted] = devices_.try_emplace(std::string(path));
  if (!inserted) it->second = Device{};
  updateDevice(it->second, properties);
  observer_.deviceDidAppear(it->second);
  // What BlueZ had cached before we asked is not an advertisement; a device
  // announced since is one.
  if (announced && properties.hasServiceData && it->second.hasIdentifier) {
    observer_.deviceDidAdvertise(it->second, serviceData_);
  }
}

void BluezObjectMirror::updateDevice(Device& device, const DeviceProperties& properties) {
  if (properties.address) {
    auto identifier = identifierForAddress(*properties.address);
    device.hasIdentifier = identifier.has_value();
    if (identifier) device.identifier = *identifier;
  }
  if (properties.connected) device.connected = *properties.connected;
  if (properties.servicesResolved) device.servicesResolved = *properties.servicesResolved;
}

int BluezObjectMirror::onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezObjectMirror*>(userdata);
  if (!self->fromBluez(m)) return 0;
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path) < 0) return 0;
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s") < 0) return 0;
  const char* interface = nullptr;
  while (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) > 0) self->removeObject(path, interface);
  return 0;
}

void BluezObjectMirror::removeObject(std::string_view path, std::string_view interface) {
  if (interface == names::kAdapterInterface) {
    if (path != adapterPath_) return;
    observer_.adapterDidGo();
  } else if (interface == names::kDeviceInterface) {
    if (auto it = findDevice(path); it != devices_.end()) devices_.erase(it);
    observer_.deviceDidGo(std::string(path));
  } else if (interface == names::kGattServiceInterface) {
    if (auto it = gattServices_.find(path); it != gattServices_.end()) gattServices_.erase(it);
  } else if (interface == names::kGattCharacteristicInterface) {
    if (auto it = gattCharacteristics_.find(path); it != gattCharacteristics_.end()) gattCharacteristics_.erase(it);
  }
}

int BluezObjectMirror::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezObjectMirror*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  if (!sender || std::strcmp(sender, names::kBusDriver) != 0) return 0;
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (std::strcmp(name, names::kService) != 0) return 0;
  if (!self->owner_.empty() && self->owner_ == oldOwner) self->bluezGone();
  return 0;
}

int BluezObjectMirror::onDisconnected(sd_bus_message* /*m*/, void* userdata, sd_bus_error* /*error*/) {
  static_cast<BluezObjectMirror*>(userdata)->bluezGone();
  return 0;
}

void BluezObjectMirror::bluezGone() {
  owner_.clear();
  observer_.adapterDidGo();
}

int BluezObjectMirror::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  // Every message of the connection passes through here, and every
  // advertisement of every device is one of them.
  auto* self = static_cast<BluezObjectMirror*>(userdata);
  if (!sd_bus_message_is_signal(m, names::kPropertiesInterface, "PropertiesChanged") || !self->fromBluez(m)) return 0;
  const char* interface = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) < 0) return 1;
  if (std::strcmp(interface, names::kDeviceInterface) == 0) {
    self->devicePropertiesChanged(m);
  } else if (std::strcmp(interface, names::kAdapterInterface) == 0) {
    self->adapterPropertiesChanged(m);
  }
  return 1;
}

void BluezObjectMirror::adapterPropertiesChanged(sd_bus_message* m) {
  const char* path = sd_bus_message_get_path(m);
  if (!path || adapterPath_ != path) return;
  AdapterProperties properties;
  if (PropertyReader::readAdapter(m, properties) < 0) return;
  observer_.adapterDidChange(properties);
}

void BluezObjectMirror::devicePropertiesChanged(sd_bus_message* m) {
  const char* path = sd_bus_message_get_path(m);
  if (!path) return;
  auto it = findDevice(path);
  if (it == devices_.end()) return;
  DeviceProperties properties;
  if (PropertyReader::readDevice(m, properties, serviceData_) < 0) return;

  updateDevice(it->second, properties);
  if (properties.hasServiceData && it->second.hasIdentifier) observer_.deviceDidAdvertise(it->second, serviceData_);
  if (properties.connected || properties.servicesResolved) observer_.deviceDidChange(path, properties);
}

BluezObjectMirror::DeviceMap::iterator BluezObjectMirror::findDevice(std::string_view path) {
  deviceKey_.assign(path);
  return devices_.find(deviceKey_);
}

bool BluezObjectMirror::isConnected(const std::string& devicePath) const {
  auto it = devices_.find(devicePath);
  return it != devices_.end() && it->second.connected;
}

bool BluezObjectMirror::servicesResolved(const std::string& devicePath) const {
  auto it = devices_.find(devicePath);
  return it != devices_.end() && it->second.servicesResolved;
}

int BluezObjectMirror::replaceAttributes(const std::string& devicePath, sd_bus_message* reply) {
  std::string prefix = devicePath + "/";
  for (auto* attributes : {&gattServices_, &gattCharacteristics_}) {
    auto it = attributes->lower_bound(prefix);
    while (it != attributes->end() && it->first.starts_with(prefix)) it = attributes->erase(it);
  }
  return readObjectTree(reply, attributeVisitor(prefix));
}

std::vector<std::pair<std::string, ble::Uuid>> BluezObjectMirror::gattChildren(const std::string& parentPath,
                                                                               bool services) const {
  const auto& attributes = services ? gattServices_ : gattCharacteristics_;
  std::string prefix = parentPath + "/";
  std::vector<std::pair<std::string, ble::Uuid>> children;
  // BlueZ names attributes by zero-padded hexadecimal handle, so path order
  // is handle order.
  for (auto it = attributes.lower_bound(prefix); it != attributes.end() && it->first.starts_with(prefix); ++it) {
    if (isDirectChild(it->first, prefix)) children.emplace_back(it->first, it->second);
  }
  return children;
}

}  // namespace bluez
