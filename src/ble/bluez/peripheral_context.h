#pragma once

#include <systemd/sd-bus.h>

#include "ble/central_manager.h"
#include "ble/central_manager_delegate.h"

namespace bluez {

class BluezObjectMirror;
class LinkEndGrace;
class TaskQueue;
class TeardownTracker;

// What a peripheral uses of the backend that made it. The central manager
// owns it, and may go before a mode lets go of a peripheral: it then
// detaches its peripherals, which stop using it (the teardown tracker, which
// outlives every manager, excepted).
struct PeripheralContext {
  sd_bus* bus;
  BluezObjectMirror& mirror;
  TaskQueue& tasks;
  LinkEndGrace& grace;
  TeardownTracker& teardown;
  ble::CentralManager& central;
  ble::CentralManagerDelegate& delegate;
};

}  // namespace bluez
