#include "ble/bluez/bus_event_source.h"

#include <ctime>

namespace bluez {

bool BusEventSource::attach(sd_bus* bus, sd_event* event) {
  bus_ = bus;
  int fd = sd_bus_get_fd(bus);
  int events = sd_bus_get_events(bus);
  if (fd < 0 || events < 0) return false;
  events_ = static_cast<uint32_t>(events);
  if (sd_event_add_io(event, io_.put(), fd, events_, &BusEventSource::onIo, this) < 0 ||
      sd_event_add_time(event, time_.put(), CLOCK_MONOTONIC, UINT64_MAX, 0, &BusEventSource::onTime, this) < 0 ||
      sd_event_source_set_enabled(time_.get(), SD_EVENT_OFF) < 0 ||
      sd_event_source_set_prepare(io_.get(), &BusEventSource::onPrepare) < 0) {
    io_.reset();
    time_.reset();
    return false;
  }
  return true;
}

int BusEventSource::onIo(sd_event_source* /*source*/, int /*fd*/, uint32_t /*revents*/, void* userdata) {
  static_cast<BusEventSource*>(userdata)->process();
  return 0;
}

int BusEventSource::onTime(sd_event_source* /*source*/, uint64_t /*usec*/, void* userdata) {
  auto* self = static_cast<BusEventSource*>(userdata);
  self->deadline_ = UINT64_MAX;  // a one-shot source is off once it fired
  self->process();
  return 0;
}

int BusEventSource::onPrepare(sd_event_source* /*source*/, void* userdata) {
  // Handlers of other sources (timers, signals, posted tasks) may have queued
  // messages or started method calls since the last wake-up.
  static_cast<BusEventSource*>(userdata)->rearm();
  return 0;
}

void BusEventSource::process() {
  int r;
  while ((r = sd_bus_process(bus_, nullptr)) > 0) {
  }
  // A connection that has closed has already delivered sd-bus's own
  // Disconnected signal and the failures of its pending calls; its socket
  // would only wake the loop again and again.
  if (r < 0) detach();
}

void BusEventSource::rearm() {
  if (!io_) return;
  int events = sd_bus_get_events(bus_);
  if (events < 0) return detach();
  if (static_cast<uint32_t>(events) != events_) {
    events_ = static_cast<uint32_t>(events);
    sd_event_source_set_io_events(io_.get(), events_);
  }
  uint64_t deadline = UINT64_MAX;
  if (sd_bus_get_timeout(bus_, &deadline) <= 0) deadline = UINT64_MAX;
  if (deadline == deadline_) return;
  deadline_ = deadline;
  if (deadline == UINT64_MAX) {
    sd_event_source_set_enabled(time_.get(), SD_EVENT_OFF);
  } else {
    sd_event_source_set_time(time_.get(), deadline);
    sd_event_source_set_enabled(time_.get(), SD_EVENT_ONESHOT);
  }
}

void BusEventSource::detach() {
  io_.reset();
  time_.reset();
}

}  // namespace bluez
