#include "ble/bluez/bluez_central_manager.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "ble/bluez/bluez_error.h"
#include "ble/bluez/bluez_names.h"
#include "ble/bluez/bluez_peripheral.h"
#include "ble/bluez/device_address.h"
#include "ble/bluez/object_tree_reader.h"

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

BluezCentralManager::BluezCentralManager(sd_bus* bus, sd_event* event, ble::CentralManagerDelegate& delegate,
                                         const ble::CentralManagerOptions& options, TeardownTracker& teardown)
    : bus_(bus),
      event_(event),
      delegate_(delegate),
      teardown_(teardown),
      expected_(options.expectedPeripherals),
      graceTimer_(event),
      searchTimer_(event),
      discoveryCheck_(event) {
  // The run may end during a search with no time left to wait for answers
  // (SIGTERM while the exit already waits): the discovery it started must
  // not outlive it. This runs as the loop exits; what it sends is flushed
  // when the connection is closed on the way out.
  if (event_ && sd_event_add_exit(event_, exitSource_.put(), &BluezCentralManager::onLoopExit, this) >= 0) {
    sd_event_source_set_priority(exitSource_.get(), SD_EVENT_PRIORITY_IMPORTANT);
  }
  teardown_.addWrapUp(this, [this] {
    if (abandonSearch()) stopDiscovery();
  });
  if (bus_) {
    subscribe();
    // Sent after the AddMatch calls on the same connection, so the bus applies
    // the rules first and no change between the snapshot and the rules is lost.
    if (sd_bus_call_method_async(bus_, managedObjectsCall_.put(), names::kService, "/", names::kObjectManagerInterface,
                                 "GetManagedObjects", &BluezCentralManager::onManagedObjects, this, "") >= 0) {
      return;
    }
  }
  // The first state event comes from the loop, never from the constructor.
  post([this] { setState(ble::ManagerState::kUnsupported); });
}

BluezCentralManager::~BluezCentralManager() {
  teardown_.removeWrapUp(this);
  for (auto& [path, peripheral] : peripherals_) peripheral->detach();
}

void BluezCentralManager::subscribe() {
  struct Rule {
    const char* match;
    sd_bus_message_handler_t callback;
  };
  const Rule rules[] = {
      {kNameOwnerRule, &BluezCentralManager::onNameOwnerChanged},
      {kInterfacesAddedRule, &BluezCentralManager::onInterfacesAdded},
      {kInterfacesRemovedRule, &BluezCentralManager::onInterfacesRemoved},
  };
  for (const Rule& rule : rules) {
    SlotHandle slot;
    if (sd_bus_add_match_async(bus_, slot.put(), rule.match, rule.callback, &BluezCentralManager::onMatchInstalled,
                               this) >= 0) {
      slots_.push_back(std::move(slot));
    }
  }
  // Every advertisement is a PropertiesChanged signal. Its rules go to the bus
  // only, and a filter takes the signals: sd-bus's own matching of an arg0
  // rule reads and validates the message's first string, then rewinds it, on
  // top of our reading it, and walks its match tree for every message.
  for (const char* rule : {kAdapterPropertiesRule, kDevicePropertiesRule}) {
    SlotHandle slot;
    if (sd_bus_call_method_async(bus_, slot.put(), names::kBusDriver, "/org/freedesktop/DBus", names::kBusDriver,
                                 "AddMatch", &BluezCentralManager::onMatchInstalled, this, "s", rule) >= 0) {
      slots_.push_back(std::move(slot));
    }
  }
  SlotHandle filter;
  if (sd_bus_add_filter(bus_, filter.put(), &BluezCentralManager::onPropertiesChanged, this) >= 0) {
    slots_.push_back(std::move(filter));
  }
  // The connection dropping reaches us as sd-bus's own Disconnected signal.
  // A match on the local interface stays inside sd-bus (no rule on the bus),
  // and unlike a filter it costs nothing for every other message.
  SlotHandle disconnected;
  if (sd_bus_add_match_async(bus_, disconnected.put(), kDisconnectedRule, &BluezCentralManager::onDisconnected, nullptr,
                             this) >= 0) {
    slots_.push_back(std::move(disconnected));
  }
}

int BluezCentralManager::onLoopExit(sd_event_source* /*source*/, void* userdata) {
  // Too late to wait for answers: what is still to send goes out in one go.
  auto* self = static_cast<BluezCentralManager*>(userdata);
  bool clear = static_cast<bool>(self->stopCall_);
  if (self->abandonSearch()) {
    self->sendStopDiscovery(nullptr);
    clear = true;
  }
  if (clear) self->sendClearFilter();
  return 0;
}

void BluezCentralManager::post(std::function<void()> task) {
  posted_.push_back(std::move(task));
  if (!postSource_ && sd_event_add_defer(event_, postSource_.put(), &BluezCentralManager::onPosted, this) < 0) {
    return;
  }
  sd_event_source_set_enabled(postSource_.get(), SD_EVENT_ONESHOT);
}

int BluezCentralManager::onPosted(sd_event_source* /*source*/, void* userdata) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (self->posted_.empty()) return 0;
  // One task per dispatch: if it ends the run, the loop stops before the next.
  auto task = std::move(self->posted_.front());
  self->posted_.pop_front();
  if (!self->posted_.empty()) sd_event_source_set_enabled(self->postSource_.get(), SD_EVENT_ONESHOT);
  task();
  return 0;
}

void BluezCentralManager::holdLinkEnd(std::function<void()> task) {
  heldLinkEnds_.push_back(std::move(task));
  // The grace runs from the latest link end, so each gets all of it.
  auto deliver = [this] {
    // One at a time, in order; each may end the run, which stops the loop
    // before the next would matter.
    while (!heldLinkEnds_.empty()) {
      auto next = std::move(heldLinkEnds_.front());
      heldLinkEnds_.pop_front();
      next();
    }
  };
  if (!graceTimer_.start(kAdapterGrace, deliver)) post(deliver);
}

bool BluezCentralManager::fromBluez(sd_bus_message* m) const {
  // The bus lets anyone send us a signal that looks like BlueZ's; only the
  // current owner of org.bluez speaks for it.
  const char* sender = sd_bus_message_get_sender(m);
  return sender != nullptr && !owner_.empty() && owner_ == sender;
}

bool BluezCentralManager::isUnderAdapter(std::string_view path) const {
  return !devicePrefix_.empty() && path.size() > devicePrefix_.size() &&
         path.substr(0, devicePrefix_.size()) == devicePrefix_;
}

void BluezCentralManager::setState(ble::ManagerState state) {
  if (state == state_) return;
  state_ = state;
  delegate_.centralManagerDidUpdateState(*this);
}

void BluezCentralManager::fail(const sd_bus_error* error) { setState(stateForError(error)); }

int BluezCentralManager::onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  // Without its rules the manager would wait forever for events that never
  // come; better to say the adapter cannot be used.
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    static_cast<BluezCentralManager*>(userdata)->fail(sd_bus_message_get_error(reply));
  }
  return 0;
}

int BluezCentralManager::onManagedObjects(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->fail(sd_bus_message_get_error(reply));
    return 0;
  }
  const char* sender = sd_bus_message_get_sender(reply);
  self->owner_ = sender ? sender : "";
  self->readManagedObjects(reply);
  return 0;
}

void BluezCentralManager::readManagedObjects(sd_bus_message* reply) {
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
    setState(ble::ManagerState::kUnsupported);
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
  discovering_ = adapter->properties.discovering;
  if (!adapter->properties.powered.value_or(false)) {
    setState(ble::ManagerState::kPoweredOff);
    return;
  }
  // BlueZ drops a device it only saw while discovering some 30 s after its
  // last advertisement (TemporaryTimeout). The identifier holds the address,
  // so a peripheral it has forgotten can be looked for; the adapter is
  // reported on once the search has ended, found or not, so that retrieval
  // answers at once as usual.
  bool known = std::any_of(devices_.begin(), devices_.end(), [&](const auto& entry) { return isExpected(entry.second); });
  bool findable = std::any_of(expected_.begin(), expected_.end(), namesAnAddress);
  if (!known && findable) {
    searching_ = true;
    if (!searchTimer_.start(kSearchTime, [this] { endSearch(); }) || startDiscovery(false) < 0) {
      abandonSearch();
      setState(ble::ManagerState::kUnsupported);
    }
    return;
  }
  setState(ble::ManagerState::kPoweredOn);
}

bool BluezCentralManager::isExpected(const Device& device) const {
  return device.hasIdentifier && std::find(expected_.begin(), expected_.end(), device.identifier) != expected_.end();
}

bool BluezCentralManager::abandonSearch() {
  if (!searching_) return false;
  searching_ = false;
  searchTimer_.cancel();
  return true;
}

void BluezCentralManager::endSearch() {
  if (!abandonSearch()) return;
  // The adapter is reported on once the discovery is stopped: a run that
  // then finds nothing exits with it stopped, one that connects does so
  // with the radio to itself.
  afterStop_ = [this] { setState(ble::ManagerState::kPoweredOn); };
  stopDiscovery();
}

int BluezCentralManager::replaceAttributes(const std::string& devicePath, sd_bus_message* reply) {
  std::string prefix = devicePath + "/";
  for (auto* attributes : {&gattServices_, &gattCharacteristics_}) {
    auto it = attributes->lower_bound(prefix);
    while (it != attributes->end() && it->first.starts_with(prefix)) it = attributes->erase(it);
  }
  return readObjectTree(reply, attributeVisitor(prefix));
}

ObjectTreeVisitor BluezCentralManager::attributeVisitor(std::string_view under) {
  ObjectTreeVisitor visitor;
  visitor.service = [this, under](std::string_view path, const ble::Uuid& uuid) {
    if (path.starts_with(under)) gattServices_.insert_or_assign(std::string(path), uuid);
  };
  visitor.characteristic = [this, under](std::string_view path, const ble::Uuid& uuid) {
    if (path.starts_with(under)) gattCharacteristics_.insert_or_assign(std::string(path), uuid);
  };
  return visitor;
}

void BluezCentralManager::readInterfaces(sd_bus_message* m, std::string_view path, bool announced) {
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}") < 0) return;
  while (sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}") > 0) {
    const char* interface = nullptr;
    if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) < 0) return;
    int r = 0;
    if (std::strcmp(interface, names::kDeviceInterface) == 0 && isDirectChild(path, devicePrefix_)) {
      DeviceProperties properties;
      r = PropertyReader::readDevice(m, properties, serviceData_);
      if (r >= 0) addDevice(path, properties, announced);
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

void BluezCentralManager::addDevice(std::string_view path, const DeviceProperties& properties, bool announced) {
  auto [it, inserted] = devices_.try_emplace(std::string(path));
  if (!inserted) it->second = Device{};
  updateDevice(it->second, properties);
  if (searching_ && isExpected(it->second)) post([this] { endSearch(); });
  // What BlueZ had cached before our scan is not an advertisement; a device
  // announced while we scan is one.
  if (announced) reportAdvertisement(it->second, properties);
}

void BluezCentralManager::updateDevice(Device& device, const DeviceProperties& properties) {
  if (properties.address) {
    auto identifier = identifierForAddress(*properties.address);
    device.hasIdentifier = identifier.has_value();
    if (identifier) device.identifier = *identifier;
  }
  if (properties.connected) device.connected = *properties.connected;
  if (properties.servicesResolved) device.servicesResolved = *properties.servicesResolved;
}

void BluezCentralManager::reportAdvertisement(const Device& device, const DeviceProperties& properties) {
  if (properties.hasServiceData && discoveryRequested_ && device.hasIdentifier) {
    delegate_.centralManagerDidDiscoverPeripheral(*this, device.identifier, ble::AdvertisementData{serviceData_});
  }
}

int BluezCentralManager::onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  const char* sender = sd_bus_message_get_sender(m);
  if (!sender || std::strcmp(sender, names::kBusDriver) != 0) return 0;
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  if (std::strcmp(name, names::kService) != 0) return 0;
  if (!self->owner_.empty() && self->owner_ == oldOwner) {
    self->owner_.clear();
    self->adapterLost(ble::ManagerState::kUnsupported);
  }
  return 0;
}

void BluezCentralManager::adapterLost(ble::ManagerState state) {
  discoveryRequested_ = false;
  abandonSearch();
  discoveryCheck_.cancel();
  afterStop_ = nullptr;
  // No link survives the adapter, whatever BlueZ has signalled of them yet
  // (a pending Connect may never be answered). The adapter's fate is
  // reported first: the links' ends are only its consequence.
  for (auto& [path, peripheral] : peripherals_) peripheral->onAdapterLost();
  setState(state);
}

int BluezCentralManager::onInterfacesAdded(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (!self->fromBluez(m)) return 0;
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path) < 0) return 0;
  if (!self->isUnderAdapter(path)) return 0;
  self->readInterfaces(m, path, true);
  return 0;
}

int BluezCentralManager::onInterfacesRemoved(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (!self->fromBluez(m)) return 0;
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path) < 0) return 0;
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s") < 0) return 0;
  const char* interface = nullptr;
  while (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) > 0) self->removeObject(path, interface);
  return 0;
}

void BluezCentralManager::removeObject(std::string_view path, std::string_view interface) {
  if (interface == names::kAdapterInterface) {
    if (path != adapterPath_) return;
    adapterLost(ble::ManagerState::kUnsupported);
  } else if (interface == names::kDeviceInterface) {
    if (auto it = devices_.find(path); it != devices_.end()) devices_.erase(it);
    reportDisconnection(std::string(path));
  } else if (interface == names::kGattServiceInterface) {
    if (auto it = gattServices_.find(path); it != gattServices_.end()) gattServices_.erase(it);
  } else if (interface == names::kGattCharacteristicInterface) {
    if (auto it = gattCharacteristics_.find(path); it != gattCharacteristics_.end()) gattCharacteristics_.erase(it);
  }
}

void BluezCentralManager::reportDisconnection(const std::string& devicePath) {
  if (auto it = peripherals_.find(devicePath); it != peripherals_.end()) it->second->onLinkEnded();
}

int BluezCentralManager::onAdapterPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (!self->fromBluez(m)) return 0;
  const char* path = sd_bus_message_get_path(m);
  if (!path || self->adapterPath_ != path) return 0;
  if (sd_bus_message_skip(m, "s") < 0) return 0;
  AdapterProperties properties;
  if (PropertyReader::readAdapter(m, properties) < 0) return 0;
  if (properties.discovering) self->discovering_ = properties.discovering;
  if (properties.powered) {
    if (!*properties.powered) {
      self->adapterLost(ble::ManagerState::kPoweredOff);
      return 0;
    }
    // Powered on again in the middle of a search is still the search.
    if (!self->searching_) self->setState(ble::ManagerState::kPoweredOn);
  }
  if (properties.discovering) self->onDiscoveringChanged();
  return 0;
}

int BluezCentralManager::onPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) {
  // Every message of the connection passes through here, and every
  // advertisement of every device is one of them.
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (!sd_bus_message_is_signal(m, names::kPropertiesInterface, "PropertiesChanged") || !self->fromBluez(m)) return 0;
  const char* interface = nullptr;
  if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) < 0) return 1;
  if (std::strcmp(interface, names::kDeviceInterface) == 0) {
    self->devicePropertiesChanged(m);
  } else if (std::strcmp(interface, names::kAdapterInterface) == 0 && sd_bus_message_rewind(m, true) >= 0) {
    onAdapterPropertiesChanged(m, self, nullptr);
  }
  return 1;
}

void BluezCentralManager::devicePropertiesChanged(sd_bus_message* m) {
  const char* path = sd_bus_message_get_path(m);
  if (!path) return;
  auto it = devices_.find(std::string_view(path));
  if (it == devices_.end()) return;
  DeviceProperties properties;
  if (PropertyReader::readDevice(m, properties, serviceData_) < 0) return;

  updateDevice(it->second, properties);
  reportAdvertisement(it->second, properties);
  if (!properties.connected && !properties.servicesResolved) return;
  auto peripheral = peripherals_.find(std::string_view(path));
  if (peripheral == peripherals_.end()) return;
  auto keep = peripheral->second;
  if (properties.connected) keep->onConnectedChanged(*properties.connected);
  if (properties.servicesResolved) keep->onServicesResolved(*properties.servicesResolved);
}

int BluezCentralManager::onDisconnected(sd_bus_message* /*m*/, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->owner_.clear();
  self->adapterLost(ble::ManagerState::kUnsupported);
  return 0;
}

void BluezCentralManager::scanForPeripheralsWithServices(const std::vector<ble::Uuid>& /*serviceUuids*/,
                                                         const ble::ScanOptions& options) {
  if (!bus_ || adapterPath_.empty()) return;
  duplicates_ = options.allowDuplicates;
  discoveryRequested_ = true;
  discoveryRestarts_ = 0;
  if (startDiscovery(false) < 0) post([this] { setState(ble::ManagerState::kUnsupported); });
}

int BluezCentralManager::startDiscovery(bool restart) {
  int r = 0;
  if (restart) {
    // bluetoothd still counts us as discovering when a discovery ended under
    // us, and would answer StartDiscovery with InProgress: leave first. The
    // answer does not matter ("No discovery started" is fine too).
    r = sendStopDiscovery(nullptr);
  }
  // No UUIDs in the filter: BlueZ matches them only against the advertised
  // service-UUID lists, never against service-data keys, so it would hide
  // the very peripherals we look for. The service is filtered here instead.
  // No Pattern either when searching: bluetoothd 5.66 applies one client's
  // pattern to what every client's discovery reports.
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, scanCalls_[0].put(), names::kService, adapterPath_.c_str(),
                                 names::kAdapterInterface, "SetDiscoveryFilter", &BluezCentralManager::onScanReply,
                                 this, "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                                 static_cast<int>(duplicates_));
  }
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, scanCalls_[1].put(), names::kService, adapterPath_.c_str(),
                                 names::kAdapterInterface, "StartDiscovery", &BluezCentralManager::onStartReply, this,
                                 "");
  }
  return r;
}

int BluezCentralManager::onStartReply(sd_bus_message* reply, void* userdata, sd_bus_error* error) {
  // The answer to StartDiscovery comes just before Discovering turns true;
  // make sure that it does.
  if (!sd_bus_message_is_method_error(reply, nullptr)) {
    static_cast<BluezCentralManager*>(userdata)->checkDiscovering();
    return 0;
  }
  return onScanReply(reply, userdata, error);
}

int BluezCentralManager::onScanReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezCentralManager*>(userdata);
  if (!sd_bus_message_is_method_error(reply, nullptr)) return 0;
  // A scan BlueZ refused must not look like a scan that found nothing.
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (isInProgress(error)) return 0;
  self->abandonSearch();
  self->fail(error);
  return 0;
}

void BluezCentralManager::onDiscoveringChanged() {
  if (discovering_.value_or(false)) {
    discoveryRestarts_ = 0;
    return;
  }
  checkDiscovering();
}

void BluezCentralManager::checkDiscovering() {
  if (!discoveryRequested_ || state_ != ble::ManagerState::kPoweredOn) return;
  // bluetoothd 5.66 ends every client's discovery when a client that stopped
  // with a filter set leaves the bus, and keeps the others registered. Give
  // BlueZ a moment (Discovering also goes false just before Powered does),
  // then start again; a scan must never go deaf in silence.
  discoveryCheck_.start(kAdapterGrace, [this] {
    if (!discoveryRequested_ || state_ != ble::ManagerState::kPoweredOn || discovering_.value_or(false)) return;
    if (++discoveryRestarts_ > kMaxDiscoveryRestarts || startDiscovery(true) < 0) {
      discoveryRequested_ = false;
      setState(ble::ManagerState::kUnsupported);
    }
  });
}

void BluezCentralManager::stopScan() {
  if (!bus_ || !discoveryRequested_ || adapterPath_.empty()) return;
  discoveryRequested_ = false;
  discoveryCheck_.cancel();
  stopDiscovery();
}

void BluezCentralManager::stopDiscovery() {
  if (stopCall_) return;
  // bluetoothd 5.66 keeps a client that stops with a filter set, and when
  // that client leaves the bus it ends the discovery of every other program.
  // Once the stop is answered the filter is cleared, which lets bluetoothd
  // forget us; clearing it while still discovering would make it restart
  // the other programs' scan. The run does not end before the answer.
  teardown_.begin();
  if (sendStopDiscovery(&stopCall_) < 0) {
    teardown_.end();
    if (afterStop_) post(std::exchange(afterStop_, nullptr));
  }
}

int BluezCentralManager::sendStopDiscovery(SlotHandle* slot) {
  return sd_bus_call_method_async(bus_, slot ? slot->put() : nullptr, names::kService, adapterPath_.c_str(),
                                  names::kAdapterInterface, "StopDiscovery",
                                  slot ? &BluezCentralManager::onStopReply : nullptr, this, "");
}

void BluezCentralManager::sendClearFilter() {
  sd_bus_call_method_async(bus_, nullptr, names::kService, adapterPath_.c_str(), names::kAdapterInterface,
                           "SetDiscoveryFilter", nullptr, nullptr, "a{sv}", 0);
}

int BluezCentralManager::onStopReply(sd_bus_message* /*reply*/, void* userdata, sd_bus_error* /*error*/) {
  // Whatever the answer ("No discovery started" after a power cycle, say),
  // there is nothing more to stop.
  auto* self = static_cast<BluezCentralManager*>(userdata);
  self->sendClearFilter();
  self->stopCall_.reset();
  auto then = std::move(self->afterStop_);
  self->afterStop_ = nullptr;
  if (then) then();
  self->teardown_.end();
  return 0;
}

std::vector<std::shared_ptr<ble::Peripheral>> BluezCentralManager::retrievePeripheralsWithIdentifiers(
    const std::vector<ble::Uuid>& identifiers) {
  std::vector<std::shared_ptr<ble::Peripheral>> found;
  for (const auto& [path, device] : devices_) {
    if (!device.hasIdentifier ||
        std::find(identifiers.begin(), identifiers.end(), device.identifier) == identifiers.end()) {
      continue;
    }
    // One object per device, so its connection state survives a repeated
    // retrieval and a second Connect is never sent.
    auto& peripheral = peripherals_[path];
    if (!peripheral) peripheral = std::make_shared<BluezPeripheral>(*this, path, device.identifier);
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

bool BluezCentralManager::isConnected(const std::string& devicePath) const {
  auto it = devices_.find(devicePath);
  return it != devices_.end() && it->second.connected;
}

bool BluezCentralManager::servicesResolved(const std::string& devicePath) const {
  auto it = devices_.find(devicePath);
  return it != devices_.end() && it->second.servicesResolved;
}

std::vector<std::pair<std::string, ble::Uuid>> BluezCentralManager::gattChildren(const std::string& parentPath,
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
