// The BlueZ property readers against dictionaries of any content, and bodies
// that are no dictionary at all. A reader finds exactly the properties that
// hold their documented type (the last one wins, others count as absent) and
// leaves the message just past the dictionary.
#include <algorithm>

#include "ble/bluez/property_reader.h"
#include "fuzz_support.h"
#include "message_builder.h"

namespace {

using fuzz::lastProperty;
using fuzz::Value;

std::optional<bool> expectedBool(const Value& properties, std::string_view name) {
  const Value* found = lastProperty(properties, name, "b");
  return found ? std::optional(found->bits != 0) : std::nullopt;
}

void checkDevice(sd_bus_message* m, const Value& properties) {
  bluez::DeviceProperties device;
  std::vector<ble::ServiceDataEntry> serviceData;
  FUZZ_CHECK(bluez::PropertyReader::readDevice(m, device, serviceData) >= 0);

  const Value* address = lastProperty(properties, "Address", "s");
  FUZZ_CHECK(device.address.has_value() == (address != nullptr));
  FUZZ_CHECK(!address || *device.address == address->text);
  FUZZ_CHECK(device.connected == expectedBool(properties, "Connected"));
  FUZZ_CHECK(device.servicesResolved == expectedBool(properties, "ServicesResolved"));

  const Value* data = lastProperty(properties, "ServiceData", "a{sv}");
  FUZZ_CHECK(device.hasServiceData == (data != nullptr));
  static const Value kNone;
  std::size_t next = 0;
  for (const Value& entry : (data ? *data : kNone).items) {
    auto uuid = ble::Uuid::withString(entry.items[0].text);
    const Value& bytes = entry.items[1].items[0];
    if (!uuid || bytes.type != "ay") continue;
    FUZZ_CHECK(next < serviceData.size() && serviceData[next].uuid == *uuid);
    FUZZ_CHECK(std::ranges::equal(serviceData[next].data, bytes.text, {}, {},
                                  [](char c) { return static_cast<std::uint8_t>(c); }));
    ++next;
  }
  FUZZ_CHECK(next == serviceData.size());
}

void checkAdapter(sd_bus_message* m, const Value& properties) {
  bluez::AdapterProperties adapter;
  FUZZ_CHECK(bluez::PropertyReader::readAdapter(m, adapter) >= 0);
  FUZZ_CHECK(adapter.powered == expectedBool(properties, "Powered"));
  FUZZ_CHECK(adapter.discovering == expectedBool(properties, "Discovering"));
}

void checkGattAttribute(sd_bus_message* m, const Value& properties) {
  std::optional<ble::Uuid> uuid;
  FUZZ_CHECK(bluez::PropertyReader::readGattAttribute(m, uuid) >= 0);
  const Value* text = lastProperty(properties, "UUID", "s");
  FUZZ_CHECK(uuid == (text ? ble::Uuid::withString(text->text) : std::nullopt));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int reader = input.ConsumeIntegralInRange(0, 2);
  fuzz::MessageBuilder builder(input);
  const Value body = builder.value(builder.typeOr("a{sv}"));
  auto message = fuzz::MessageBuilder::message(body);
  if (!message) return -1;

  if (body.type != "a{sv}") {
    bluez::DeviceProperties device;
    bluez::AdapterProperties adapter;
    std::optional<ble::Uuid> uuid;
    std::vector<ble::ServiceDataEntry> serviceData;
    int r = reader == 0   ? bluez::PropertyReader::readDevice(message.get(), device, serviceData)
            : reader == 1 ? bluez::PropertyReader::readAdapter(message.get(), adapter)
                          : bluez::PropertyReader::readGattAttribute(message.get(), uuid);
    FUZZ_CHECK(r < 0);
    return 0;
  }
  if (reader == 0) checkDevice(message.get(), body);
  if (reader == 1) checkAdapter(message.get(), body);
  if (reader == 2) checkGattAttribute(message.get(), body);
  FUZZ_CHECK(fuzz::MessageBuilder::atEnd(message.get()));
  return 0;
}
