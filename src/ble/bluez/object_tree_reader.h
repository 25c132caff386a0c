#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>
#include <vector>

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

// Reads a whole reply into `tree`. Properties of an unexpected type count as
// absent, attributes without a UUID are left out. A negative return means the
// message could not be read to its end; `tree` then holds what came before.
int readObjectTree(sd_bus_message* reply, ObjectTree& tree);

}  // namespace bluez
