#include "ble/bluez/object_tree_reader.h"

#include <cstring>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/property_reader.h"

namespace bluez {
namespace {

int readInterface(sd_bus_message* m, const char* path, const char* interface, const ObjectTreeVisitor& visitor,
                  std::vector<ble::ServiceDataEntry>& serviceData) {
  if (std::strcmp(interface, names::kAdapterInterface) == 0 && visitor.adapter) {
    AdapterProperties properties;
    int r = PropertyReader::readAdapter(m, properties);
    if (r >= 0) visitor.adapter(path, properties);
    return r;
  }
  if (std::strcmp(interface, names::kDeviceInterface) == 0 && visitor.device) {
    DeviceProperties properties;
    int r = PropertyReader::readDevice(m, properties, serviceData);
    if (r >= 0) visitor.device(path, properties);
    return r;
  }
  bool isService = std::strcmp(interface, names::kGattServiceInterface) == 0;
  const auto& onAttribute = isService ? visitor.service
                            : std::strcmp(interface, names::kGattCharacteristicInterface) == 0 ? visitor.characteristic
                                                                                              : nullptr;
  if (onAttribute) {
    std::optional<ble::Uuid> uuid;
    int r = PropertyReader::readGattAttribute(m, uuid);
    if (r >= 0 && uuid) onAttribute(path, *uuid);
    return r;
  }
  return PropertyReader::skip(m, "a{sv}");
}

int readInterfaces(sd_bus_message* m, const char* path, const ObjectTreeVisitor& visitor,
                   std::vector<ble::ServiceDataEntry>& serviceData) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
    const char* interface = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface)) < 0) return r;
    if ((r = readInterface(m, path, interface, visitor, serviceData)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

int readObjectTree(sd_bus_message* reply, const ObjectTreeVisitor& visitor) {
  // Cached advertisement data is read past; one buffer serves every device.
  std::vector<ble::ServiceDataEntry> serviceData;
  int r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if ((r = sd_bus_message_read_basic(reply, SD_BUS_TYPE_OBJECT_PATH, &path)) < 0) return r;
    if ((r = readInterfaces(reply, path, visitor, serviceData)) < 0) return r;
    if ((r = sd_bus_message_exit_container(reply)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(reply);
}

int readObjectTree(sd_bus_message* reply, ObjectTree& tree) {
  ObjectTreeVisitor visitor;
  visitor.adapter = [&](std::string_view path, const AdapterProperties& properties) {
    tree.adapters.push_back({std::string(path), properties.powered, properties.discovering});
  };
  visitor.device = [&](std::string_view path, const DeviceProperties& properties) {
    ObjectTree::Device device{std::string(path), std::nullopt, properties.connected, properties.servicesResolved};
    if (properties.address) device.address = std::string(*properties.address);
    tree.devices.push_back(std::move(device));
  };
  visitor.service = [&](std::string_view path, const ble::Uuid& uuid) { tree.services.push_back({std::string(path), uuid}); };
  visitor.characteristic = [&](std::string_view path, const ble::Uuid& uuid) {
    tree.characteristics.push_back({std::string(path), uuid});
  };
  return readObjectTree(reply, visitor);
}

}  // namespace bluez
