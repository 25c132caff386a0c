#include "identity/device_identity_reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_central_manager.h"
#include "fake_clock.h"
#include "fake_peripheral.h"
#include "fake_process.h"

namespace {

using namespace std::chrono_literals;
using ble::ManagerState;
using ble::PeripheralState;
using testing_support::FakeCentralManager;
using testing_support::FakeCentralManagerFactory;
using testing_support::FakeClock;
using testing_support::FakePeripheral;
using testing_support::FakeProcess;
using Bytes = std::vector<std::uint8_t>;

const ble::Uuid kId = *ble::Uuid::parse("00000000-0000-0000-0000-00AA01010001");
const ble::Uuid kOtherId = *ble::Uuid::parse("00000000-0000-0000-0000-00AA01010002");
const ble::Uuid kDeviceInformation = ble::Uuid::fromShort(0x180A);
const ble::Uuid kSerialNumberString = ble::Uuid::fromShort(0x2A25);

std::string errorLine(const std::string& code) { return "{\"error\":\"" + code + "\"}\n"; }
const std::string kSuccessLine =
    "{\"deviceId\":\"00000000-0000-0000-0000-00AA01010001\",\"serial\":\"0123456789ABCDEF\"}\n";

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// One identity run against the fake central, driven step by step.
struct IdentityRun {
  IdentityRun() {
    reader = std::make_unique<identity::DeviceIdentityReader>(kId, factory, clock, process);
    central().knownPeripherals = {peripheral};
  }

  FakeCentralManager& central() { return *factory.created; }

  void powerOn() { central().updateState(ManagerState::kPoweredOn); }

  void connect() {
    powerOn();
    peripheral->currentState = PeripheralState::kConnected;
    reader->centralManagerDidConnectPeripheral(central(), *peripheral);
  }

  void discoverServices(std::optional<ble::Peripheral::Services> services,
                        std::optional<ble::Error> error = std::nullopt) {
    peripheral->setServices(std::move(services));
    reader->peripheralDidDiscoverServices(*peripheral, error);
  }

  void discoverCharacteristics(std::optional<ble::Service::Characteristics> characteristics,
                               std::optional<ble::Error> error = std::nullopt) {
    deviceInformation->setCharacteristics(std::move(characteristics));
    reader->peripheralDidDiscoverCharacteristicsForService(*peripheral, *deviceInformation, error);
  }

  void read(std::optional<Bytes> value, std::optional<ble::Error> error = std::nullopt,
            std::shared_ptr<ble::Characteristic> characteristic = nullptr) {
    if (!characteristic) characteristic = serialNumber;
    characteristic->setValue(std::move(value));
    reader->peripheralDidUpdateValueForCharacteristic(*peripheral, *characteristic, error);
  }

  // Connected, services and characteristics found, the read requested.
  void upToRead() {
    connect();
    discoverServices(ble::Peripheral::Services{deviceInformation});
    discoverCharacteristics(ble::Service::Characteristics{serialNumber});
  }

  void disconnected() {
    peripheral->currentState = PeripheralState::kDisconnected;
    reader->centralManagerDidDisconnectPeripheral(central(), *peripheral, std::nullopt);
  }

  FakeCentralManagerFactory factory;
  FakeClock clock;
  FakeProcess process;
  std::shared_ptr<FakePeripheral> peripheral = std::make_shared<FakePeripheral>(kId);
  std::shared_ptr<ble::Service> deviceInformation = std::make_shared<ble::Service>(kDeviceInformation, "dis");
  std::shared_ptr<ble::Characteristic> serialNumber =
      std::make_shared<ble::Characteristic>(kSerialNumberString, "serial");
  std::unique_ptr<identity::DeviceIdentityReader> reader;
};

TEST(DeviceIdentityReaderTest, OutcomesEndInOneLine) {
  struct Case {
    const char* name;
    std::function<void(IdentityRun&)> play;
    std::string line;
    bool heldLink;  // the link had to be released before the line
  };
  const auto dis = [](IdentityRun& r) { return r.deviceInformation; };
  const Case cases[] = {
      {"success", [](IdentityRun& r) { r.upToRead(); r.read(text(" 0123456789abcdef\r\n")); }, kSuccessLine, true},
      {"adapter off", [](IdentityRun& r) { r.central().updateState(ManagerState::kPoweredOff); },
       errorLine("adapter-unavailable"), false},
      {"adapter unsupported", [](IdentityRun& r) { r.central().updateState(ManagerState::kUnsupported); },
       errorLine("adapter-unavailable"), false},
      {"not authorized", [](IdentityRun& r) { r.central().updateState(ManagerState::kUnauthorized); },
       errorLine("permission-denied"), false},
      {"unknown peripheral",
       [](IdentityRun& r) {
         r.central().knownPeripherals.clear();
         r.powerOn();
       },
       errorLine("identity-device-not-found"), false},
      {"first retrieved peripheral is another one",
       [](IdentityRun& r) {
         r.central().knownPeripherals = {std::make_shared<FakePeripheral>(kOtherId), r.peripheral};
         r.powerOn();
       },
       errorLine("identity-device-not-found"), false},
      {"connection fails",
       [](IdentityRun& r) {
         r.powerOn();
         r.reader->centralManagerDidFailToConnectPeripheral(r.central(), *r.peripheral, ble::Error{"x"});
       },
       errorLine("identity-connect-failed"), false},
      {"link lost during discovery",
       [](IdentityRun& r) {
         r.connect();
         r.disconnected();
       },
       errorLine("identity-disconnected"), false},
      {"service discovery error even with 0x180A",
       [&](IdentityRun& r) {
         r.connect();
         r.discoverServices(ble::Peripheral::Services{dis(r)}, ble::Error{"x"});
       },
       errorLine("identity-service-unavailable"), true},
      {"no service list",
       [](IdentityRun& r) {
         r.connect();
         r.discoverServices(std::nullopt);
       },
       errorLine("identity-service-unavailable"), true},
      {"no 0x180A",
       [](IdentityRun& r) {
         r.connect();
         r.discoverServices(ble::Peripheral::Services{std::make_shared<ble::Service>(ble::Uuid::fromShort(0x1800), "")});
       },
       errorLine("identity-service-unavailable"), true},
      {"characteristic discovery error",
       [](IdentityRun& r) {
         r.connect();
         r.discoverServices(ble::Peripheral::Services{r.deviceInformation});
         r.discoverCharacteristics(ble::Service::Characteristics{r.serialNumber}, ble::Error{"x"});
       },
       errorLine("identity-serial-unavailable"), true},
      {"no 0x2A25",
       [](IdentityRun& r) {
         r.connect();
         r.discoverServices(ble::Peripheral::Services{r.deviceInformation});
         r.discoverCharacteristics(ble::Service::Characteristics{
             std::make_shared<ble::Characteristic>(ble::Uuid::fromShort(0x2A24), "")});
       },
       errorLine("identity-serial-unavailable"), true},
      {"no 0x2A25 in either 0x180A",
       [](IdentityRun& r) {
         r.connect();
         auto first = std::make_shared<ble::Service>(kDeviceInformation, "bluez-dis");
         r.discoverServices(ble::Peripheral::Services{first, r.deviceInformation});
         first->setCharacteristics(ble::Service::Characteristics{});
         r.reader->peripheralDidDiscoverCharacteristicsForService(*r.peripheral, *first, std::nullopt);
         r.discoverCharacteristics(ble::Service::Characteristics{});
       },
       errorLine("identity-serial-unavailable"), true},
      {"no characteristic list",
       [](IdentityRun& r) {
         r.connect();
         r.discoverServices(ble::Peripheral::Services{r.deviceInformation});
         r.discoverCharacteristics(std::nullopt);
       },
       errorLine("identity-serial-unavailable"), true},
      {"read error", [](IdentityRun& r) { r.upToRead(); r.read(text("0123456789ABCDEF"), ble::Error{"x"}); },
       errorLine("identity-read-failed"), true},
      {"value of another characteristic",
       [](IdentityRun& r) {
         r.upToRead();
         r.read(text("0123456789ABCDEF"), std::nullopt,
                std::make_shared<ble::Characteristic>(ble::Uuid::fromShort(0x2A24), ""));
       },
       errorLine("identity-read-failed"), true},
      {"absent value", [](IdentityRun& r) { r.upToRead(); r.read(std::nullopt); }, errorLine("identity-read-failed"), true},
      {"non-ASCII value", [](IdentityRun& r) { r.upToRead(); r.read(text("0123456789ABCDE\xC3")); },
       errorLine("identity-read-failed"), true},
      {"invalid serial", [](IdentityRun& r) { r.upToRead(); r.read(text("0123456789ABCDE")); },
       errorLine("identity-invalid-serial"), true},
      {"NUL padded serial",
       [](IdentityRun& r) {
         r.upToRead();
         r.read(text(std::string_view("0123456789ABCDEF\0", 17)));
       },
       errorLine("identity-invalid-serial"), true},
      {"adapter off while connected",
       [](IdentityRun& r) {
         r.connect();
         r.central().updateState(ManagerState::kPoweredOff);
       },
       errorLine("adapter-unavailable"), true},
      {"cancelled while connecting",
       [](IdentityRun& r) {
         r.powerOn();
         r.peripheral->currentState = PeripheralState::kConnecting;
         r.reader->stop();
       },
       errorLine("identity-cancelled"), true},
  };
  for (const auto& c : cases) {
    IdentityRun run;
    c.play(run);
    if (c.heldLink) {
      EXPECT_TRUE(run.process.lines.empty()) << c.name << ": no line before the link is released";
      ASSERT_EQ(run.central().cancelCalls.size(), 1u) << c.name;
      run.disconnected();
    } else {
      EXPECT_TRUE(run.central().cancelCalls.empty()) << c.name;
    }
    EXPECT_EQ(run.process.output, c.line) << c.name;
    EXPECT_EQ(run.process.exitStatus, 0) << c.name;
    // Nothing later changes the outcome: not the time limit, not the deferred
    // report, not a termination request.
    run.reader->stop();
    run.clock.advance(120s);
    EXPECT_EQ(run.process.lines.size(), 1u) << c.name;
  }
}

TEST(DeviceIdentityReaderTest, ConnectsToTheRetrievedPeripheralWithItsDelegateSet) {
  IdentityRun run;
  // The backend learns up front which peripheral will be asked for, so that
  // it can look for one the system has forgotten.
  EXPECT_EQ(run.factory.createdWith.expectedPeripherals, std::vector<ble::Uuid>{kId});
  EXPECT_TRUE(run.central().retrieveCalls.empty()) << "nothing happens before the adapter is on";
  run.powerOn();
  ASSERT_EQ(run.central().retrieveCalls.size(), 1u);
  EXPECT_EQ(run.central().retrieveCalls[0], std::vector<ble::Uuid>{kId});
  ASSERT_EQ(run.central().connectCalls.size(), 1u);
  EXPECT_EQ(run.central().connectCalls[0], run.peripheral.get());
  EXPECT_EQ(run.peripheral->delegate, run.reader.get());

  run.peripheral->currentState = PeripheralState::kConnected;
  run.reader->centralManagerDidConnectPeripheral(run.central(), *run.peripheral);
  ASSERT_EQ(run.peripheral->discoverServicesCalls.size(), 1u);
  EXPECT_EQ(run.peripheral->discoverServicesCalls[0], std::vector<ble::Uuid>{kDeviceInformation});
}

TEST(DeviceIdentityReaderTest, FindsDeviceInformationAnywhereInTheServiceList) {
  IdentityRun run;
  run.connect();
  auto other = std::make_shared<ble::Service>(ble::Uuid::fromShort(0x1800), "gap");
  auto secondDis = std::make_shared<ble::Service>(kDeviceInformation, "dis2");
  run.discoverServices(ble::Peripheral::Services{other, run.deviceInformation, secondDis});
  ASSERT_EQ(run.peripheral->discoverCharacteristicsCalls.size(), 1u);
  EXPECT_EQ(run.peripheral->discoverCharacteristicsCalls[0].first, std::vector<ble::Uuid>{kSerialNumberString});
  EXPECT_EQ(run.peripheral->discoverCharacteristicsCalls[0].second, run.deviceInformation.get());

  auto other2 = std::make_shared<ble::Characteristic>(ble::Uuid::fromShort(0x2A29), "manufacturer");
  run.discoverCharacteristics(ble::Service::Characteristics{other2, run.serialNumber});
  ASSERT_EQ(run.peripheral->readCalls.size(), 1u);
  EXPECT_EQ(run.peripheral->readCalls[0], run.serialNumber.get());
}

TEST(DeviceIdentityReaderTest, DeferredReportWritesTheLineWhenNoDisconnectionComes) {
  IdentityRun run;
  run.upToRead();
  run.read(text("0123456789ABCDEF"));
  run.clock.advance(999ms);
  EXPECT_TRUE(run.process.lines.empty());
  run.clock.advance(1ms);
  EXPECT_EQ(run.process.output, kSuccessLine);
  EXPECT_EQ(run.process.exitStatus, 0);
}

TEST(DeviceIdentityReaderTest, TimeLimitRunsFromConstructionWhateverTheStep) {
  struct Case {
    const char* name;
    std::function<void(IdentityRun&)> reach;
    bool heldLink;
  };
  const Case cases[] = {
      {"adapter never known", [](IdentityRun&) {}, false},
      {"adapter resetting", [](IdentityRun& r) { r.central().updateState(ManagerState::kResetting); }, false},
      {"connecting", [](IdentityRun& r) { r.powerOn(); r.peripheral->currentState = PeripheralState::kConnecting; }, true},
      {"discovering", [](IdentityRun& r) { r.connect(); }, true},
      {"reading", [](IdentityRun& r) { r.upToRead(); }, true},
  };
  for (const auto& c : cases) {
    IdentityRun run;
    run.clock.advance(10s);
    c.reach(run);
    run.clock.advance(49'999ms);
    EXPECT_TRUE(run.process.lines.empty()) << c.name;
    run.clock.advance(1ms);
    if (c.heldLink) {
      EXPECT_TRUE(run.process.lines.empty()) << c.name;
      EXPECT_EQ(run.central().cancelCalls.size(), 1u) << c.name;
      run.clock.advance(1s);  // the stack never confirms the disconnection
    }
    EXPECT_EQ(run.process.output, errorLine("identity-timeout")) << c.name;
    EXPECT_EQ(run.process.exitStatus, 0) << c.name;
  }
}

TEST(DeviceIdentityReaderTest, FirstRecordWins) {
  // Time limit, then the link drops: the time limit's record is reported.
  IdentityRun run;
  run.upToRead();
  run.clock.advance(60s);
  run.read(text("0123456789ABCDEF"));  // a late value changes nothing
  run.disconnected();
  EXPECT_EQ(run.process.output, errorLine("identity-timeout"));

  // A result, then SIGTERM while the link is being released.
  IdentityRun second;
  second.upToRead();
  second.read(text("0123456789abcdef"));
  second.reader->stop();
  second.central().updateState(ManagerState::kPoweredOff);
  second.reader->centralManagerDidFailToConnectPeripheral(second.central(), *second.peripheral, ble::Error{"x"});
  EXPECT_TRUE(second.process.lines.empty());
  second.disconnected();
  EXPECT_EQ(second.process.output, kSuccessLine);
  EXPECT_EQ(second.central().cancelCalls.size(), 1u);
}

TEST(DeviceIdentityReaderTest, NoBluetoothCallsOnceAResultIsFixed) {
  IdentityRun run;
  run.connect();
  run.reader->stop();
  auto retrievals = run.central().retrieveCalls.size();
  run.central().updateState(ManagerState::kPoweredOn);
  run.reader->centralManagerDidConnectPeripheral(run.central(), *run.peripheral);
  EXPECT_EQ(run.central().retrieveCalls.size(), retrievals);
  EXPECT_EQ(run.peripheral->discoverServicesCalls.size(), 1u);
  EXPECT_TRUE(run.process.lines.empty());
}

TEST(DeviceIdentityReaderTest, CancelledBeforeAnythingHappenedReportsAtOnce) {
  IdentityRun run;
  run.reader->stop();
  EXPECT_EQ(run.process.output, errorLine("identity-cancelled"));
  EXPECT_EQ(run.clock.pendingTasks(), 0u) << "the time limit is cancelled";
}

TEST(DeviceIdentityReaderTest, SecondPowerOnRetrievesAndConnectsAgain) {
  IdentityRun run;
  run.powerOn();
  auto replacement = std::make_shared<FakePeripheral>(kId);
  run.central().knownPeripherals = {replacement};
  run.powerOn();
  EXPECT_EQ(run.central().retrieveCalls.size(), 2u);
  ASSERT_EQ(run.central().connectCalls.size(), 2u);
  EXPECT_EQ(run.central().connectCalls[1], replacement.get());
}

TEST(DeviceIdentityReaderTest, PeripheralAlreadyDisconnectingReportsAtOnce) {
  IdentityRun run;
  run.connect();
  run.peripheral->currentState = PeripheralState::kDisconnecting;
  run.reader->stop();
  EXPECT_TRUE(run.central().cancelCalls.empty());
  EXPECT_EQ(run.process.output, errorLine("identity-cancelled"));
}

}  // namespace

// A peripheral on bluetoothd 5.55 exports bluetoothd's own Device Information
// service (PnP ID only) before the application's.
TEST(DeviceIdentityReaderTest, AsksEachDeviceInformationServiceUntilOneHasTheSerial) {
  IdentityRun run;
  run.connect();
  auto bluezDis = std::make_shared<ble::Service>(kDeviceInformation, "service0010");
  auto gap = std::make_shared<ble::Service>(ble::Uuid::fromShort(0x1800), "gap");
  run.discoverServices(ble::Peripheral::Services{gap, bluezDis, run.deviceInformation});
  ASSERT_EQ(run.peripheral->discoverCharacteristicsCalls.size(), 1u);
  EXPECT_EQ(run.peripheral->discoverCharacteristicsCalls[0].second, bluezDis.get());

  bluezDis->setCharacteristics(ble::Service::Characteristics{
      std::make_shared<ble::Characteristic>(ble::Uuid::fromShort(0x2A50), "pnp-id")});
  run.reader->peripheralDidDiscoverCharacteristicsForService(*run.peripheral, *bluezDis, std::nullopt);
  ASSERT_EQ(run.peripheral->discoverCharacteristicsCalls.size(), 2u);
  EXPECT_EQ(run.peripheral->discoverCharacteristicsCalls[1].first, std::vector<ble::Uuid>{kSerialNumberString});
  EXPECT_EQ(run.peripheral->discoverCharacteristicsCalls[1].second, run.deviceInformation.get());

  run.discoverCharacteristics(ble::Service::Characteristics{run.serialNumber});
  run.read(text("0123456789ABCDEF"));
  EXPECT_TRUE(run.process.lines.empty()) << "no line before the link is released";
  run.disconnected();
  EXPECT_EQ(run.process.output, kSuccessLine);
}
