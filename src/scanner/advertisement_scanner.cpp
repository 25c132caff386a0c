#include "scanner/advertisement_scanner.h"

#include "app/error_code.h"

namespace scanner {

AdvertisementScanner::AdvertisementScanner(ble::CentralManagerFactory& factory, app::Process& process,
                                           bool firmwareDfu)
    : process_(process), decoder_(firmwareDfu), central_(factory.createCentralManager(*this, {})) {}

void AdvertisementScanner::stop() { central_->stopScan(); }

void AdvertisementScanner::centralManagerDidUpdateState(ble::CentralManager& central) {
  switch (central.state()) {
    case ble::ManagerState::kPoweredOn:
      central.scanForPeripheralsWithServices({decoder_.scanServiceUuid()}, ble::ScanOptions{.allowDuplicates = true});
      return;
    case ble::ManagerState::kUnauthorized:
      reportErrorAndExit(app::error_code::kPermissionDenied);
      return;
    case ble::ManagerState::kUnsupported:
    case ble::ManagerState::kPoweredOff:
      reportErrorAndExit(app::error_code::kAdapterUnavailable);
      return;
    case ble::ManagerState::kUnknown:
    case ble::ManagerState::kResetting:
      return;
  }
}

void AdvertisementScanner::centralManagerDidDiscoverPeripheral(ble::CentralManager& /*central*/,
                                                               const ble::Uuid& identifier,
                                                               const ble::AdvertisementData& advertisementData) {
  auto payload = decoder_.findPayload(advertisementData);
  if (!payload) return;
  auto identity = decoder_.decodeIdentity(*payload);
  if (!identity) return;

  auto [entry, inserted] = sent_.try_emplace(identifier, *identity);
  if (!inserted) {
    if (entry->second == *identity) return;
    entry->second = *identity;
  }
  // The identity stays remembered even if the line cannot be written, so the
  // same identity is not offered again until it changes.
  process_.writeResultLine(decoder_.makeRecord(identifier, *identity, *payload));
}

void AdvertisementScanner::reportErrorAndExit(const char* code) {
  process_.writeResultLine(app::errorRecord(code));
  process_.exit(0);
}

}  // namespace scanner
