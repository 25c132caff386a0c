// The GetManagedObjects reader against object trees of any content, and
// replies that are no object tree at all. It visits every adapter and device
// object with the properties of their documented type (the last one wins),
// and every service and characteristic whose UUID reads, of the kinds the
// visitor asks for; it reads past the others.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "ble/bluez/bluez_names.h"
#include "ble/bluez/object_tree_reader.h"
#include "fuzz_support.h"
#include "message_builder.h"

namespace {

using bluez::ObjectTree;
using fuzz::lastProperty;
using fuzz::Value;

std::optional<bool> expectedBool(const Value& properties, std::string_view name) {
  const Value* found = lastProperty(properties, name, "b");
  return found ? std::optional(found->bits != 0) : std::nullopt;
}

// Which of the visitor's handlers are set, one bit each.
enum Kind : unsigned { kAdapters = 1, kDevices = 2, kServices = 4, kCharacteristics = 8, kAll = 15 };

// A visitor with the handlers of `kinds` that collects into `tree`.
bluez::ObjectTreeVisitor collector(ObjectTree& tree, unsigned kinds) {
  bluez::ObjectTreeVisitor visitor;
  if (kinds & kAdapters) {
    visitor.adapter = [&](std::string_view path, const bluez::AdapterProperties& properties) {
      tree.adapters.push_back({std::string(path), properties.powered, properties.discovering});
    };
  }
  if (kinds & kDevices) {
    visitor.device = [&](std::string_view path, const bluez::DeviceProperties& properties) {
      auto address = properties.address ? std::optional<std::string>(*properties.address) : std::nullopt;
      tree.devices.push_back({std::string(path), address, properties.connected, properties.servicesResolved});
    };
  }
  if (kinds & kServices) {
    visitor.service = [&](std::string_view path, const ble::Uuid& uuid) {
      tree.services.push_back({std::string(path), uuid});
    };
  }
  if (kinds & kCharacteristics) {
    visitor.characteristic = [&](std::string_view path, const ble::Uuid& uuid) {
      tree.characteristics.push_back({std::string(path), uuid});
    };
  }
  return visitor;
}

ObjectTree expectedTree(const Value& body, unsigned kinds) {
  namespace names = bluez::names;
  ObjectTree tree;
  for (const Value& object : body.items) {
    const std::string& path = object.items[0].text;
    for (const Value& interface : object.items[1].items) {
      const std::string& name = interface.items[0].text;
      const Value& properties = interface.items[1];
      if (name == names::kAdapterInterface && (kinds & kAdapters)) {
        tree.adapters.push_back({path, expectedBool(properties, "Powered"), expectedBool(properties, "Discovering")});
      } else if (name == names::kDeviceInterface && (kinds & kDevices)) {
        const Value* address = lastProperty(properties, "Address", "s");
        tree.devices.push_back({path, address ? std::optional(address->text) : std::nullopt,
                                expectedBool(properties, "Connected"), expectedBool(properties, "ServicesResolved")});
      } else if ((name == names::kGattServiceInterface && (kinds & kServices)) ||
                 (name == names::kGattCharacteristicInterface && (kinds & kCharacteristics))) {
        const Value* text = lastProperty(properties, "UUID", "s");
        auto uuid = text ? ble::Uuid::withString(text->text) : std::nullopt;
        if (uuid)
          (name == names::kGattServiceInterface ? tree.services : tree.characteristics).push_back({path, *uuid});
      }
    }
  }
  return tree;
}

bool sameTree(const ObjectTree& a, const ObjectTree& b) {
  auto adapter = [](const ObjectTree::Adapter& x) { return std::tie(x.path, x.powered, x.discovering); };
  auto device = [](const ObjectTree::Device& x) {
    return std::tie(x.path, x.address, x.connected, x.servicesResolved);
  };
  auto attribute = [](const ObjectTree::Attribute& x) { return std::tie(x.path, x.uuid); };
  return std::ranges::equal(a.adapters, b.adapters, {}, adapter, adapter) &&
         std::ranges::equal(a.devices, b.devices, {}, device, device) &&
         std::ranges::equal(a.services, b.services, {}, attribute, attribute) &&
         std::ranges::equal(a.characteristics, b.characteristics, {}, attribute, attribute);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  fuzz::MessageBuilder builder(input);
  const Value body = builder.value(builder.typeOr("a{oa{sa{sv}}}"));
  auto message = fuzz::MessageBuilder::message(body);
  if (!message) return -1;

  // What is left of the input picks the visitor's handlers; all of them is
  // the collecting reader.
  const unsigned kinds = kAll ^ input.ConsumeIntegralInRange(0u, 15u);
  ObjectTree tree;
  int r = kinds == kAll ? bluez::readObjectTree(message.get(), tree)
                        : bluez::readObjectTree(message.get(), collector(tree, kinds));
  if (body.type != "a{oa{sa{sv}}}") {
    FUZZ_CHECK(r < 0 && sameTree(tree, ObjectTree{}));
    return 0;
  }
  FUZZ_CHECK(r >= 0 && fuzz::MessageBuilder::atEnd(message.get()));
  FUZZ_CHECK(sameTree(tree, expectedTree(body, kinds)));
  return 0;
}
