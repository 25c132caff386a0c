#pragma once

#include <cstdint>
#include <span>

#include "ble/uuid.h"

namespace ble {

struct ServiceDataEntry {
  Uuid uuid;
  std::span<const std::uint8_t> data;
};

// One received advertisement. The spans point into the backend's receive
// buffer and are valid only for the duration of the discovery event, which
// keeps the per-advertisement path free of allocations.
struct AdvertisementData {
  std::span<const ServiceDataEntry> serviceData;
};

}  // namespace ble
