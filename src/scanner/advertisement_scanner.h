#pragma once

#include <memory>
#include <unordered_map>

#include "app/process.h"
#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"
#include "ble/central_manager_factory.h"
#include "ble/uuid.h"
#include "scanner/advertisement_decoder.h"
#include "scanner/identity_text.h"

namespace scanner {

// Scanning mode: scans for one service and prints a line whenever a
// peripheral advertises an identity other than the one last printed for it.
class AdvertisementScanner final : public ble::CentralManagerDelegate {
 public:
  AdvertisementScanner(ble::CentralManagerFactory& factory, app::Process& process, bool firmwareDfu);

  // Stops the scan; writes nothing and does not end the run.
  void stop();

  void centralManagerDidUpdateState(ble::CentralManager& central) override;
  void centralManagerDidDiscoverPeripheral(ble::CentralManager& central, const ble::Uuid& identifier,
                                           const ble::AdvertisementData& advertisementData) override;

  std::size_t rememberedPeripherals() const { return sent_.size(); }

 private:
  void reportErrorAndExit(const char* code);

  app::Process& process_;
  AdvertisementDecoder decoder_;
  // Last identity printed per peripheral. It only grows: a peripheral that
  // goes back to an earlier identity is printed again, one that keeps
  // advertising the same one never is.
  std::unordered_map<ble::Uuid, IdentityText, ble::UuidHash> sent_;
  std::unique_ptr<ble::CentralManager> central_;
};

}  // namespace scanner
