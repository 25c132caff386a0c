#include "ble/bluez/bluez_discovery.h"

#include <utility>

#include "ble/bluez/bluez_error.h"
#include "ble/bluez/bluez_names.h"

namespace bluez {

BluezDiscovery::BluezDiscovery(sd_bus* bus, sd_event* event, TaskQueue& tasks, TeardownTracker& teardown,
                               Delegate& delegate)
    : bus_(bus), tasks_(tasks), teardown_(teardown), delegate_(delegate), searchTimer_(event), restartTimer_(event) {
  // The run may end during a search with no time left to wait for answers
  // (SIGTERM while the exit already waits): the discovery it started must
  // not outlive it. This runs as the loop exits; what it sends is flushed
  // when the connection is closed on the way out.
  if (event && sd_event_add_exit(event, exitSource_.put(), &BluezDiscovery::onLoopExit, this) >= 0) {
    sd_event_source_set_priority(exitSource_.get(), SD_EVENT_PRIORITY_IMPORTANT);
  }
  teardown_.addWrapUp(this, [this] {
    if (abandonSearch()) stop();
  });
}

BluezDiscovery::~BluezDiscovery() { teardown_.removeWrapUp(this); }

int BluezDiscovery::onLoopExit(sd_event_source* /*source*/, void* userdata) {
  // Too late to wait for answers: what is still to send goes out in one go.
  auto* self = static_cast<BluezDiscovery*>(userdata);
  bool clear = static_cast<bool>(self->stopCall_);
  if (self->abandonSearch()) {
    self->sendStop(nullptr);
    clear = true;
  }
  if (clear) self->sendClearFilter();
  return 0;
}

bool BluezDiscovery::startScan(bool duplicates) {
  duplicates_ = duplicates;
  scanRequested_ = true;
  restarts_ = 0;
  return start(false) >= 0;
}

bool BluezDiscovery::startSearch() {
  searching_ = true;
  if (!searchTimer_.start(kSearchTime, [this] { endSearch(); }) || start(false) < 0) {
    abandonSearch();
    return false;
  }
  return true;
}

int BluezDiscovery::start(bool restart) {
  int r = 0;
  if (restart) {
    // bluetoothd still counts us as discovering when a discovery ended under
    // us: leave first. The answer does not matter ("No discovery started"
    // is fine too).
    r = sendStop(nullptr);
  }
  // A search asks for duplicates so that its discovery stays filtered and a
  // lost first report comes back within the deadline (see the header).
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, filterCall_.put(), names::kService, adapterPath_.c_str(),
                                 names::kAdapterInterface, "SetDiscoveryFilter", &BluezDiscovery::onFilterReply, this,
                                 "a{sv}", 2, "Transport", "s", "le", "DuplicateData", "b",
                                 static_cast<int>(duplicates_ || searching_));
  }
  if (r >= 0) {
    r = sd_bus_call_method_async(bus_, startCall_.put(), names::kService, adapterPath_.c_str(),
                                 names::kAdapterInterface, "StartDiscovery", &BluezDiscovery::onStartReply, this, "");
  }
  return r;
}

int BluezDiscovery::onFilterReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  if (sd_bus_message_is_method_error(reply, nullptr)) static_cast<BluezDiscovery*>(userdata)->refused(reply);
  return 0;
}

int BluezDiscovery::onStartReply(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* self = static_cast<BluezDiscovery*>(userdata);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    self->refused(reply);
    return 0;
  }
  // The answer to StartDiscovery comes just before Discovering turns true;
  // make sure that it does.
  self->checkDiscovering();
  return 0;
}

void BluezDiscovery::refused(sd_bus_message* reply) {
  // A discovery BlueZ refused must not look like one that found nothing.
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (isInProgress(error)) return;
  abandonSearch();
  delegate_.discoveryWasRefused(error);
}

void BluezDiscovery::discoveringChanged() {
  if (discovering_) {
    restarts_ = 0;
    return;
  }
  checkDiscovering();
}

void BluezDiscovery::checkDiscovering() {
  if (!scanRequested_ || !delegate_.discoveryMayRestart()) return;
  // A scan must never go deaf in silence: when Discovering stays false
  // (another client left the bus with its filter set, see the header),
  // start again.
  restartTimer_.start(kRestartDelay, [this] {
    if (!scanRequested_ || !delegate_.discoveryMayRestart() || discovering_) return;
    if (++restarts_ > kMaxRestarts || start(true) < 0) {
      scanRequested_ = false;
      delegate_.discoveryDidGiveUp();
    }
  });
}

void BluezDiscovery::stopScan() {
  if (!bus_ || !scanRequested_ || adapterPath_.empty()) return;
  scanRequested_ = false;
  restartTimer_.cancel();
  stop();
}

bool BluezDiscovery::abandonSearch() {
  if (!searching_) return false;
  searching_ = false;
  searchTimer_.cancel();
  return true;
}

void BluezDiscovery::endSearch() {
  if (!abandonSearch()) return;
  // The search is reported over once the discovery is stopped: a run that
  // then finds nothing exits with it stopped, one that connects does so
  // with the radio to itself.
  afterStop_ = [this] { delegate_.searchDidEnd(); };
  stop();
}

void BluezDiscovery::adapterLost() {
  scanRequested_ = false;
  abandonSearch();
  restartTimer_.cancel();
  afterStop_ = nullptr;
}

void BluezDiscovery::stop() {
  if (stopCall_) return;
  // The filter is cleared once the stop is answered, never while still
  // discovering: that would restart the other clients' scan.
  teardown_.begin();
  if (sendStop(&stopCall_) < 0) {
    teardown_.end();
    if (afterStop_) tasks_.post(std::exchange(afterStop_, nullptr));
  }
}

int BluezDiscovery::sendStop(sd::SlotHandle* slot) {
  return sd_bus_call_method_async(bus_, slot ? slot->put() : nullptr, names::kService, adapterPath_.c_str(),
                                  names::kAdapterInterface, "StopDiscovery",
                                  slot ? &BluezDiscovery::onStopReply : nullptr, this, "");
}

void BluezDiscovery::sendClearFilter() {
  sd_bus_call_method_async(bus_, nullptr, names::kService, adapterPath_.c_str(), names::kAdapterInterface,
                           "SetDiscoveryFilter", nullptr, nullptr, "a{sv}", 0);
}

int BluezDiscovery::onStopReply(sd_bus_message* /*reply*/, void* userdata, sd_bus_error* /*error*/) {
  // Whatever the answer ("No discovery started" after a power cycle, say),
  // there is nothing more to stop.
  auto* self = static_cast<BluezDiscovery*>(userdata);
  self->sendClearFilter();
  self->stopCall_.reset();
  auto then = std::exchange(self->afterStop_, nullptr);
  if (then) then();
  self->teardown_.end();
  return 0;
}

}  // namespace bluez
