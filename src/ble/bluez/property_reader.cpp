#include "ble/bluez/property_reader.h"

#include <cstring>
#include <string>

namespace bluez {
namespace {

// Calls `onProperty(name)` for each entry of an a{sv} dictionary, positioned
// at the entry's variant. It returns true when it consumed the variant;
// otherwise the variant is skipped here.
template <typename OnProperty>
int forEachProperty(sd_bus_message* m, OnProperty&& onProperty) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* name = nullptr;
    r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &name);
    if (r < 0) return r;
    r = onProperty(std::string_view(name));
    if (r < 0) return r;
    if (r == 0 && (r = sd_bus_message_skip(m, "v")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// Enters the variant at the current position if it holds `contents`.
// Returns 1 when entered, 0 when the type differs (nothing consumed).
int enterVariantOf(sd_bus_message* m, const char* contents) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents);
  return r == -ENXIO ? 0 : r;
}

template <typename T>
int readBasicVariant(sd_bus_message* m, char type, const char* contents, T& value) {
  int r = enterVariantOf(m, contents);
  if (r <= 0) return r;
  if ((r = sd_bus_message_read_basic(m, type, &value)) < 0) return r;
  if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  return 1;
}

int readBoolVariant(sd_bus_message* m, std::optional<bool>& out) {
  int value = 0;
  int r = readBasicVariant(m, SD_BUS_TYPE_BOOLEAN, "b", value);
  if (r > 0) out = value != 0;
  return r;
}

int readStringVariant(sd_bus_message* m, std::optional<std::string_view>& out) {
  const char* value = nullptr;
  int r = readBasicVariant(m, SD_BUS_TYPE_STRING, "s", value);
  if (r > 0) out = std::string_view(value);
  return r;
}

// An advertiser sends the same one or two service UUIDs in every report:
// parsing the last key again would cost more than the comparison.
std::optional<ble::Uuid> serviceDataKey(std::string_view text) {
  static std::string lastText;
  static std::optional<ble::Uuid> lastUuid;
  if (text != lastText) {
    lastUuid = ble::Uuid::withString(text);
    lastText.assign(text);
  }
  return lastUuid;
}

// ServiceData: a{sv}, each key a 128-bit UUID string, each value a byte array.
// Entries of any other shape are dropped; the others are still used.
int readServiceData(sd_bus_message* m, bool& present, std::vector<ble::ServiceDataEntry>& entries) {
  int r = enterVariantOf(m, "a{sv}");
  if (r <= 0) return r;
  entries.clear();
  r = forEachProperty(m, [&](std::string_view key) -> int {
    auto uuid = serviceDataKey(key);
    if (!uuid) return 0;
    int entered = enterVariantOf(m, "ay");
    if (entered <= 0) return entered;
    const void* data = nullptr;
    std::size_t size = 0;
    int read = sd_bus_message_read_array(m, SD_BUS_TYPE_BYTE, &data, &size);
    if (read < 0) return read;
    if ((read = sd_bus_message_exit_container(m)) < 0) return read;
    entries.push_back({*uuid, std::span(static_cast<const std::uint8_t*>(data), size)});
    return 1;
  });
  if (r < 0) return r;
  present = true;
  if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  return 1;
}

}  // namespace

int PropertyReader::readDevice(sd_bus_message* m, DeviceProperties& out,
                               std::vector<ble::ServiceDataEntry>& serviceData) {
  return forEachProperty(m, [&](std::string_view name) -> int {
    if (name == "ServiceData") return readServiceData(m, out.hasServiceData, serviceData);
    if (name == "Address") return readStringVariant(m, out.address);
    if (name == "Connected") return readBoolVariant(m, out.connected);
    if (name == "ServicesResolved") return readBoolVariant(m, out.servicesResolved);
    return 0;
  });
}

int PropertyReader::readAdapter(sd_bus_message* m, AdapterProperties& out) {
  return forEachProperty(m, [&](std::string_view name) -> int {
    if (name == "Powered") return readBoolVariant(m, out.powered);
    if (name == "Discovering") return readBoolVariant(m, out.discovering);
    return 0;
  });
}

int PropertyReader::readGattAttribute(sd_bus_message* m, std::optional<ble::Uuid>& uuid) {
  return forEachProperty(m, [&](std::string_view name) -> int {
    if (name != "UUID") return 0;
    std::optional<std::string_view> text;
    int r = readStringVariant(m, text);
    if (r > 0 && text) uuid = ble::Uuid::withString(*text);
    return r;
  });
}

}  // namespace bluez
