#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ble/characteristic.h"
#include "ble/uuid.h"

namespace ble {

class Service {
 public:
  using Characteristics = std::vector<std::shared_ptr<Characteristic>>;

  Service(Uuid uuid, std::string handle) : uuid_(uuid), handle_(std::move(handle)) {}

  const Uuid& uuid() const { return uuid_; }
  const std::string& handle() const { return handle_; }

  // Absent until characteristics have been discovered for this service.
  const std::optional<Characteristics>& characteristics() const { return characteristics_; }
  void setCharacteristics(std::optional<Characteristics> characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  Uuid uuid_;
  std::string handle_;
  std::optional<Characteristics> characteristics_;
};

}  // namespace ble
