#pragma once

#include <systemd/sd-bus.h>

#include "ble/manager_state.h"

namespace bluez {

// The adapter state that a failed BlueZ or bus call stands for: a refusal of
// our rights is "unauthorized", anything else (BlueZ absent, not answering,
// adapter gone or failing) is "unsupported".
ble::ManagerState stateForError(const sd_bus_error* error);

// BlueZ's answer when discovery is already running for this client.
bool isInProgress(const sd_bus_error* error);

}  // namespace bluez
