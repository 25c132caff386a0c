#include "scanner/advertisement_scanner.h"

#include <gtest/gtest.h>

#include "fake_central_manager.h"
#include "fake_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ble::ManagerState;
using testing_support::FakeCentralManagerFactory;
using testing_support::FakeProcess;

const ble::Uuid kUnitService = ble::Uuid::fromShort(0x1523);
const ble::Uuid kDfuService = ble::Uuid::fromShort(0xFE59);
const ble::Uuid kFirst = *ble::Uuid::parse("00000000-0000-0000-0000-000000000001");
const ble::Uuid kSecond = *ble::Uuid::parse("00000000-0000-0000-0000-000000000002");

Bytes text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

std::string unitLine(const ble::Uuid& id, const char* unit) {
  return "{\"deviceId\":\"" + id.toString() + "\",\"unitNumber\":\"" + unit + "\"}\n";
}

class AdvertisementScannerTest : public ::testing::Test {
 protected:
  void start(bool firmwareDfu) {
    scanner.emplace(factory, process, firmwareDfu);
    ASSERT_NE(factory.created, nullptr);
  }
  testing_support::FakeCentralManager& central() { return *factory.created; }

  void advertise(const ble::Uuid& id, const ble::Uuid& service, const Bytes& payload) {
    const ble::ServiceDataEntry entries[] = {{service, payload}};
    scanner->centralManagerDidDiscoverPeripheral(central(), id, ble::AdvertisementData{entries});
  }

  FakeCentralManagerFactory factory;
  FakeProcess process;
  std::optional<scanner::AdvertisementScanner> scanner;
};

TEST_F(AdvertisementScannerTest, AdapterStates) {
  struct Case {
    std::vector<ManagerState> states;
    std::size_t scanRequests;
    std::string output;
  };
  const Case cases[] = {
      {{ManagerState::kPoweredOn}, 1, ""},
      {{ManagerState::kUnknown}, 0, ""},
      {{ManagerState::kResetting, ManagerState::kPoweredOn}, 1, ""},
      {{ManagerState::kUnknown, ManagerState::kPoweredOn, ManagerState::kPoweredOn}, 2, ""},
      {{ManagerState::kPoweredOff}, 0, "{\"error\":\"adapter-unavailable\"}\n"},
      {{ManagerState::kUnsupported}, 0, "{\"error\":\"adapter-unavailable\"}\n"},
      {{ManagerState::kUnauthorized}, 0, "{\"error\":\"permission-denied\"}\n"},
      {{ManagerState::kPoweredOn, ManagerState::kPoweredOff}, 1, "{\"error\":\"adapter-unavailable\"}\n"},
      {{static_cast<ManagerState>(42)}, 0, ""},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    FakeCentralManagerFactory caseFactory;
    FakeProcess caseProcess;
    scanner::AdvertisementScanner caseScanner(caseFactory, caseProcess, false);
    for (auto state : cases[i].states) caseFactory.created->updateState(state);
    EXPECT_EQ(caseFactory.created->scanRequests.size(), cases[i].scanRequests) << "case " << i;
    EXPECT_EQ(caseProcess.output, cases[i].output) << "case " << i;
    EXPECT_EQ(caseProcess.exitStatus, cases[i].output.empty() ? std::nullopt : std::optional<int>(0))
        << "case " << i;
  }
}

TEST_F(AdvertisementScannerTest, ScansForTheModesServiceWithDuplicates) {
  for (bool dfu : {false, true}) {
    FakeCentralManagerFactory caseFactory;
    FakeProcess caseProcess;
    scanner::AdvertisementScanner caseScanner(caseFactory, caseProcess, dfu);
    EXPECT_TRUE(caseFactory.created->scanRequests.empty()) << "nothing before the adapter is known";
    caseFactory.created->updateState(ManagerState::kPoweredOn);
    ASSERT_EQ(caseFactory.created->scanRequests.size(), 1u);
    const auto& request = caseFactory.created->scanRequests[0];
    EXPECT_EQ(request.serviceUuids, std::vector<ble::Uuid>{dfu ? kDfuService : kUnitService});
    EXPECT_TRUE(request.options.allowDuplicates);
  }
}

TEST_F(AdvertisementScannerTest, ReportsEachChangeOfIdentityOncePerPeripheral) {
  start(false);
  central().updateState(ManagerState::kPoweredOn);

  advertise(kFirst, kUnitService, text("1234-567"));
  advertise(kFirst, kUnitService, text("1234-567"));
  advertise(kFirst, kUnitService, text("1234-567"));
  advertise(kFirst, kUnitService, text("1234-568"));
  advertise(kFirst, kUnitService, text("1234-567"));  // back to an earlier one: a change
  advertise(kSecond, kUnitService, text("1234-567"));  // same number, other peripheral
  advertise(kSecond, kUnitService, text("1234-567"));

  EXPECT_EQ(process.output, unitLine(kFirst, "1234-567") + unitLine(kFirst, "1234-568") +
                                unitLine(kFirst, "1234-567") + unitLine(kSecond, "1234-567"));
  EXPECT_FALSE(process.exitStatus);
}

TEST_F(AdvertisementScannerTest, IgnoredReportsDoNotDisturbWhatWasReported) {
  start(false);
  central().updateState(ManagerState::kPoweredOn);
  advertise(kFirst, kUnitService, text("1234-567"));
  advertise(kFirst, kUnitService, text("1234-56"));     // wrong length
  advertise(kFirst, kUnitService, text("abcd-efg"));    // not a unit number
  advertise(kFirst, kDfuService, text("9999-999"));     // the other mode's service
  scanner->centralManagerDidDiscoverPeripheral(central(), kFirst, ble::AdvertisementData{});
  advertise(kFirst, kUnitService, text("1234-567"));    // still the one last reported

  EXPECT_EQ(process.output, unitLine(kFirst, "1234-567"));
  EXPECT_EQ(scanner->rememberedPeripherals(), 1u);
}

TEST_F(AdvertisementScannerTest, FirmwareUpdateModeReportsEveryByteChange) {
  start(true);
  central().updateState(ManagerState::kPoweredOn);
  advertise(kFirst, kUnitService, text("1234-567"));  // wrong service for this mode
  advertise(kFirst, kDfuService, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  advertise(kFirst, kDfuService, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  advertise(kFirst, kDfuService, Bytes{1, 2, 3, 4, 5, 6, 7, 9});

  ASSERT_EQ(process.lines.size(), 2u);
  EXPECT_EQ(process.lines[0],
            "{\"deviceId\":\"00000000-0000-0000-0000-000000000001\",\"serial\":\"0403020108070605\","
            "\"serviceDataHex\":\"0102030405060708\",\"serviceUuid\":\"FE59\"}\n");
  EXPECT_NE(process.lines[1].find("\"serial\":\"0403020109070605\""), std::string::npos);
}

TEST_F(AdvertisementScannerTest, StopStopsTheScanAndWritesNothing) {
  start(false);
  central().updateState(ManagerState::kPoweredOn);
  scanner->stop();
  EXPECT_EQ(central().stopScanCalls, 1);
  EXPECT_TRUE(process.output.empty());
  EXPECT_FALSE(process.exitStatus);
}

TEST_F(AdvertisementScannerTest, AdapterLostAfterResultsAddsOneErrorLine) {
  start(false);
  central().updateState(ManagerState::kPoweredOn);
  advertise(kFirst, kUnitService, text("1234-567"));
  central().updateState(ManagerState::kUnsupported);
  EXPECT_EQ(process.output, unitLine(kFirst, "1234-567") + "{\"error\":\"adapter-unavailable\"}\n");
  EXPECT_EQ(process.exitStatus, 0);
}

}  // namespace
