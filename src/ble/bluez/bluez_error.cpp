#include "ble/bluez/bluez_error.h"

namespace bluez {

ble::ManagerState stateForError(const sd_bus_error* error) {
  if (sd_bus_error_has_names(error, SD_BUS_ERROR_ACCESS_DENIED, "org.bluez.Error.NotAuthorized",
                             "org.bluez.Error.NotPermitted")) {
    return ble::ManagerState::kUnauthorized;
  }
  return ble::ManagerState::kUnsupported;
}

bool isInProgress(const sd_bus_error* error) { return sd_bus_error_has_name(error, "org.bluez.Error.InProgress"); }

}  // namespace bluez
