#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string_view>
#include <vector>

#include "ble/advertisement_data.h"
#include "ble/uuid.h"

namespace bluez {

// What an org.bluez.Device1 property dictionary carried. Views point into the
// message being read.
struct DeviceProperties {
  std::optional<std::string_view> address;
  std::optional<bool> connected;
  std::optional<bool> servicesResolved;
  // ServiceData was present with its documented type a{sv}; its well-formed
  // entries (a UUID key and a byte-array value) are in the caller's buffer.
  bool hasServiceData = false;
};

// What an org.bluez.Adapter1 property dictionary carried.
struct AdapterProperties {
  std::optional<bool> powered;
  std::optional<bool> discovering;
};

// Readers of BlueZ property dictionaries (a{sv}) at the message's current
// position. A property of an unexpected D-Bus type is skipped as if absent;
// a negative return means the message could not be read at all.
class PropertyReader {
 public:
  static int readDevice(sd_bus_message* m, DeviceProperties& out, std::vector<ble::ServiceDataEntry>& serviceData);
  static int readAdapter(sd_bus_message* m, AdapterProperties& out);
  static int readGattAttribute(sd_bus_message* m, std::optional<ble::Uuid>& uuid);

  // Skips one value of the given signature.
  static int skip(sd_bus_message* m, const char* signature) { return sd_bus_message_skip(m, signature); }
};

}  // namespace bluez
