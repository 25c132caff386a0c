#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "ble/bluez/bluez_error.h"
#include "ble/bluez/device_address.h"
#include "ble/bluez/property_reader.h"
#include "ble/bluez/teardown_tracker.h"
#include "sd/sd_handle.h"

namespace {

using bluez::DeviceProperties;
using bluez::PropertyReader;

TEST(DeviceAddressTest, IdentifierFromAddress) {
  struct Case {
    const char* address;
    const char* identifier;  // nullptr: refused
  };
  const Case cases[] = {
      {"AA:BB:CC:DD:EE:FF", "00000000-0000-0000-0000-AABBCCDDEEFF"},
      {"00:aa:01:01:00:01", "00000000-0000-0000-0000-00AA01010001"},
      {"AA:BB:CC:DD:EE", nullptr},
      {"AA:BB:CC:DD:EE:FF:00", nullptr},
      {"AA-BB-CC-DD-EE-FF", nullptr},
      {"AA:BB:CC:DD:EE:FG", nullptr},
      {"AABBCCDDEEFF", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    auto identifier = bluez::identifierForAddress(c.address);
    if (!c.identifier) {
      EXPECT_FALSE(identifier) << c.address;
      continue;
    }
    ASSERT_TRUE(identifier) << c.address;
    EXPECT_EQ(identifier->toString(), c.identifier);
    EXPECT_TRUE(bluez::namesAnAddress(*identifier)) << c.address;
  }
  // Only these can be looked for when BlueZ has forgotten the device.
  for (const char* other : {"10000000-0000-0000-0000-AABBCCDDEEFF", "00000000-0000-0000-0001-AABBCCDDEEFF",
                            "00000000-0000-0100-0000-AABBCCDDEEFF"}) {
    EXPECT_FALSE(bluez::namesAnAddress(*ble::Uuid::parse(other))) << other;
  }
}

TEST(TeardownTrackerTest, DoneWaitsForEveryPendingTeardownIncludingWrapUps) {
  bluez::TeardownTracker tracker;
  int done = 0;
  tracker.whenDone([&] { ++done; });
  EXPECT_EQ(done, 1) << "nothing pending: done at once";

  // A link being released, and a search that must be stopped when the run ends.
  tracker.begin();
  int owner = 0;
  tracker.addWrapUp(&owner, [&] { tracker.begin(); });
  tracker.whenDone([&] { ++done; });
  tracker.end();
  EXPECT_EQ(done, 1) << "the wrap-up's stop is still pending";
  tracker.end();
  EXPECT_EQ(done, 2);

  tracker.removeWrapUp(&owner);
  tracker.whenDone([&] { ++done; });
  EXPECT_EQ(done, 3);
}

TEST(BluezErrorTest, RefusalsAreUnauthorizedEverythingElseUnsupported) {
  struct Case {
    const char* name;
    ble::ManagerState state;
  };
  const Case cases[] = {
      {"org.freedesktop.DBus.Error.AccessDenied", ble::ManagerState::kUnauthorized},
      {"org.bluez.Error.NotAuthorized", ble::ManagerState::kUnauthorized},
      {"org.bluez.Error.NotPermitted", ble::ManagerState::kUnauthorized},
      {"org.freedesktop.DBus.Error.ServiceUnknown", ble::ManagerState::kUnsupported},
      {"org.freedesktop.DBus.Error.NameHasNoOwner", ble::ManagerState::kUnsupported},
      {"org.freedesktop.DBus.Error.NoReply", ble::ManagerState::kUnsupported},
      {"org.freedesktop.systemd1.LoadFailed", ble::ManagerState::kUnsupported},
      {"org.bluez.Error.NotReady", ble::ManagerState::kUnsupported},
      {"org.bluez.Error.Failed", ble::ManagerState::kUnsupported},
  };
  for (const auto& c : cases) {
    sd_bus_error error = SD_BUS_ERROR_MAKE_CONST(c.name, "x");
    EXPECT_EQ(bluez::stateForError(&error), c.state) << c.name;
  }
  sd_bus_error inProgress = SD_BUS_ERROR_MAKE_CONST("org.bluez.Error.InProgress", "x");
  EXPECT_TRUE(bluez::isInProgress(&inProgress));
}

// Builds real sd-bus messages, as BlueZ (or anyone on the bus) could send them.
class PropertyReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer_ = fds[1];
    ASSERT_GE(sd_bus_new(bus_.put()), 0);
    ASSERT_GE(sd_bus_set_fd(bus_.get(), fds[0], fds[0]), 0);
    ASSERT_GE(sd_bus_start(bus_.get()), 0);
  }
  void TearDown() override { ::close(peer_); }

  // A PropertiesChanged body whose changed-properties dictionary is written
  // by `fill`, sealed and rewound for reading past the interface name.
  sd_bus_message* propertiesChanged(const std::function<void(sd_bus_message*)>& fill) {
    sd_bus_message* m = nullptr;
    EXPECT_GE(sd_bus_message_new_signal(bus_.get(), &m, "/org/bluez/hci0/dev_AA", "org.freedesktop.DBus.Properties",
                                        "PropertiesChanged"),
              0);
    message_.reset(m);
    EXPECT_GE(sd_bus_message_append(m, "s", "org.bluez.Device1"), 0);
    EXPECT_GE(sd_bus_message_open_container(m, 'a', "{sv}"), 0);
    fill(m);
    EXPECT_GE(sd_bus_message_close_container(m), 0);
    EXPECT_GE(sd_bus_message_append(m, "as", 0), 0);
    EXPECT_GE(sd_bus_message_seal(m, 1, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(m, true), 0);
    EXPECT_GE(sd_bus_message_skip(m, "s"), 0);
    return m;
  }

  static void serviceDataEntry(sd_bus_message* m, const char* key, const char* signature,
                               const std::function<void(sd_bus_message*)>& value) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", key);
    sd_bus_message_open_container(m, 'v', signature);
    value(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
  }

  static void bytes(sd_bus_message* m, const char* text) {
    sd_bus_message_append_array(m, 'y', text, std::char_traits<char>::length(text));
  }

  static void serviceData(sd_bus_message* m, const std::function<void(sd_bus_message*)>& entries) {
    sd_bus_message_open_container(m, 'e', "sv");
    sd_bus_message_append(m, "s", "ServiceData");
    sd_bus_message_open_container(m, 'v', "a{sv}");
    sd_bus_message_open_container(m, 'a', "{sv}");
    entries(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
    sd_bus_message_close_container(m);
  }

  sd::BusHandle bus_;
  sd::MessageHandle message_;
  int peer_ = -1;
  std::vector<ble::ServiceDataEntry> entries_;
};

TEST_F(PropertyReaderTest, ServiceDataKeepsOnlyWellFormedEntries) {
  auto* m = propertiesChanged([](sd_bus_message* msg) {
    serviceData(msg, [](sd_bus_message* e) {
      serviceDataEntry(e, "not-a-uuid", "ay", [](sd_bus_message* v) { bytes(v, "0000-000"); });
      serviceDataEntry(e, "00001523-0000-1000-8000-00805f9b34fb", "as",
                       [](sd_bus_message* v) { sd_bus_message_append(v, "as", 1, "1234-567"); });
      serviceDataEntry(e, "0000fe59-0000-1000-8000-00805f9b34fb", "s",
                       [](sd_bus_message* v) { sd_bus_message_append(v, "s", "12345678"); });
      serviceDataEntry(e, "00001523-0000-1000-8000-00805F9B34FB", "ay", [](sd_bus_message* v) { bytes(v, "1234-567"); });
    });
    sd_bus_message_append(msg, "{sv}", "Connected", "b", 1);
  });
  DeviceProperties properties;
  ASSERT_GE(PropertyReader::readDevice(m, properties, entries_), 0);
  EXPECT_TRUE(properties.hasServiceData);
  ASSERT_EQ(entries_.size(), 1u);
  EXPECT_EQ(entries_[0].uuid, ble::Uuid::fromShort(0x1523));
  EXPECT_EQ(std::string(entries_[0].data.begin(), entries_[0].data.end()), "1234-567");
  EXPECT_EQ(properties.connected, true) << "reading goes on past the bad entries";
}

TEST_F(PropertyReaderTest, PropertiesOfTheWrongTypeAreSkipped) {
  auto* m = propertiesChanged([](sd_bus_message* msg) {
    sd_bus_message_append(msg, "{sv}", "ServiceData", "s", "00001523");
    sd_bus_message_append(msg, "{sv}", "Address", "u", 7);
    sd_bus_message_append(msg, "{sv}", "Connected", "s", "yes");
    sd_bus_message_append(msg, "{sv}", "ServicesResolved", "b", 1);
    sd_bus_message_append(msg, "{sv}", "RSSI", "n", -60);
  });
  DeviceProperties properties;
  ASSERT_GE(PropertyReader::readDevice(m, properties, entries_), 0);
  EXPECT_FALSE(properties.hasServiceData);
  EXPECT_FALSE(properties.address);
  EXPECT_FALSE(properties.connected);
  EXPECT_EQ(properties.servicesResolved, true);
}

TEST_F(PropertyReaderTest, EmptyServiceDataIsPresentButEmpty) {
  auto* m = propertiesChanged([](sd_bus_message* msg) {
    sd_bus_message_append(msg, "{sv}", "Address", "s", "AA:BB:CC:DD:EE:FF");
    serviceData(msg, [](sd_bus_message*) {});
  });
  DeviceProperties properties;
  entries_.push_back({});  // stale entries from an earlier message must go
  ASSERT_GE(PropertyReader::readDevice(m, properties, entries_), 0);
  EXPECT_TRUE(properties.hasServiceData);
  EXPECT_TRUE(entries_.empty());
  EXPECT_EQ(properties.address, "AA:BB:CC:DD:EE:FF");
}

}  // namespace
