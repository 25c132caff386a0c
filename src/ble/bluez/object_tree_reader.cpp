#include "ble/bluez/object_tree_reader.h"

#include <cstring>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/property_reader.h"

namespace bluez {
namespace {

int readInterface(sd_bus_message* m, const char* path, const char* interface, ObjectTree& tree) {
  if (std::strcmp(interface, names::kAdapterInterface) == 0) {
    AdapterProperties properties;
    int r = PropertyReader::readAdapter(m, properties);
    if (r >= 0) tree.adapters.push_back({path, properties.powered, properties.discovering});
    return r;
  }
  if (std::strcmp(interface, names::kDeviceInterface) == 0) {
    DeviceProperties properties;
    std::vector<ble::ServiceDataEntry> ignored;
    int r = PropertyReader::readDevice(m, properties, ignored);
    if (r < 0) return r;
    ObjectTree::Device device{path, std::nullopt, properties.connected, properties.servicesResolved};
    if (properties.address) device.address = std::string(*properties.address);
    tree.devices.push_back(std::move(device));
    return r;
  }
  bool isService = std::strcmp(interface, names::kGattServiceInterface) == 0;
  if (isService || std::strcmp(interface, names::kGattCharacteristicInterface) == 0) {
    std::optional<ble::Uuid> uuid;
    int r = PropertyReader::readGattAttribute(m, uuid);
    if (r >= 0 && uuid) (isService ? tree.services : tree.characteristics).push_back({path, *uuid});
    return r;
  }
  return PropertyReader::skip(m, "a{sv}");
}

int readInterfaces(sd_bus_message* m, const char* path, ObjectTree& tree) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
    const char* interface = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface)) < 0) return r;
    if ((r = readInterface(m, path, interface, tree)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

int readObjectTree(sd_bus_message* reply, ObjectTree& tree) {
  int r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if ((r = sd_bus_message_read_basic(reply, SD_BUS_TYPE_OBJECT_PATH, &path)) < 0) return r;
    if ((r = readInterfaces(reply, path, tree)) < 0) return r;
    if ((r = sd_bus_message_exit_container(reply)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(reply);
}

}  // namespace bluez
