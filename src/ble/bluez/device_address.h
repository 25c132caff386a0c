#pragma once

#include <optional>
#include <string_view>

#include "ble/uuid.h"

namespace bluez {

// BlueZ names devices by address ("AA:BB:CC:DD:EE:FF"); the tool names them
// by the stable identifier 00000000-0000-0000-0000-AABBCCDDEEFF, which is what
// scanning prints and identity mode accepts.
std::optional<ble::Uuid> identifierForAddress(std::string_view address);

// Whether `identifier` has the form identifierForAddress gives, that is,
// whether BlueZ could ever list a device under it.
bool namesAnAddress(const ble::Uuid& identifier);

}  // namespace bluez
