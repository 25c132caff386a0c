#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ble/bluez/property_reader.h"
#include "ble/uuid.h"

namespace bluez {

// What one GetManagedObjects reply (a{oa{sa{sv}}}) says about the objects the
// tool uses. Advertisement data is left out on purpose: what BlueZ cached
// before a scan is not an advertisement.
struct ObjectTree {
  struct Adapter {
    std::string path;
    std::optional<bool> powered;
    std::optional<bool> discovering;
  };
  struct Device {
    std::string path;
    std::optional<std::string> address;
    std::optional<bool> connected;
    std::optional<bool> servicesResolved;
  };
  // A GattService1 or GattCharacteristic1 with a readable UUID.
  struct Attribute {
    std::string path;
    ble::Uuid uuid;
  };

  std::vector<Adapter> adapters;
  std::vector<Device> devices;
  std::vector<Attribute> services;
  std::vector<Attribute> characteristics;
};

// Told of each object of a reply as it is read, without copying the tree: a
// reply can list a hundred thousand devices. Views point into the message.
// An interface whose handler is empty is skipped unread.
struct ObjectTreeVisitor {
  std::function<void(std::string_view path, const AdapterProperties&)> adapter;
  std::function<void(std::string_view path, const DeviceProperties&)> device;
  std::function<void(std::string_view path, const ble::Uuid&)> service;
  std::function<void(std::string_view path, const ble::Uuid&)> characteristic;
};

// Reads a whole reply. Properties of an unexpected type count as absent,
// attributes without a UUID are left out. A negative return means the
// message could not be read to its end; what came before was visited.
int readObjectTree(sd_bus_message* reply, const ObjectTreeVisitor& visitor);
// The same, collected into `tree`.
int readObjectTree(sd_bus_message* reply, ObjectTree& tree);

}  // namespace bluez
