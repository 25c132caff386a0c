#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ble/uuid.h"

namespace ble {

class Characteristic {
 public:
  // `handle` is the backend's own reference to the attribute (for BlueZ its
  // object path); the modes never look at it.
  Characteristic(Uuid uuid, std::string handle) : uuid_(uuid), handle_(std::move(handle)) {}

  const Uuid& uuid() const { return uuid_; }
  const std::string& handle() const { return handle_; }

  const std::optional<std::vector<std::uint8_t>>& value() const { return value_; }
  void setValue(std::optional<std::vector<std::uint8_t>> value) { value_ = std::move(value); }

 private:
  Uuid uuid_;
  std::string handle_;
  std::optional<std::vector<std::uint8_t>> value_;
};

}  // namespace ble
