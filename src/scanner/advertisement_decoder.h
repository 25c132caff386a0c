#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "app/record.h"
#include "ble/advertisement_data.h"
#include "ble/uuid.h"
#include "scanner/identity_text.h"

namespace scanner {

// Turns the service data of one advertisement into the identity it carries
// and, for a new identity, into the record to print.
class AdvertisementDecoder {
 public:
  explicit AdvertisementDecoder(bool firmwareDfu);

  const ble::Uuid& scanServiceUuid() const { return scanServiceUuid_; }

  // The payload advertised under the scan service, if any.
  std::optional<std::span<const std::uint8_t>> findPayload(const ble::AdvertisementData& data) const;

  // The identity text of a payload, or nothing when the payload is not one
  // this mode reports (wrong length, or not a unit number in normal mode).
  std::optional<IdentityText> decodeIdentity(std::span<const std::uint8_t> payload) const;

  // The record for a payload that decodeIdentity accepted.
  app::Record makeRecord(const ble::Uuid& identifier, const IdentityText& identity,
                         std::span<const std::uint8_t> payload) const;

 private:
  bool firmwareDfu_;
  ble::Uuid scanServiceUuid_;
};

}  // namespace scanner
