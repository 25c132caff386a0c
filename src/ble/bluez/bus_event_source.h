#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>

#include "sd/sd_handle.h"

namespace bluez {

// Runs a bus connection on an sd-event loop, in place of sd_bus_attach_event.
// Every advertisement is a bus message, so what the loop does per wake-up is
// on the hot path: here one wake-up drains everything the socket holds, and
// the watched events and the reply-timeout timer are only touched when sd-bus
// wants them changed.
class BusEventSource {
 public:
  BusEventSource() = default;
  BusEventSource(const BusEventSource&) = delete;
  BusEventSource& operator=(const BusEventSource&) = delete;

  // False when the loop could not take the connection's sources.
  bool attach(sd_bus* bus, sd_event* event);

 private:
  static int onIo(sd_event_source* source, int fd, uint32_t revents, void* userdata);
  static int onTime(sd_event_source* source, uint64_t usec, void* userdata);
  static int onPrepare(sd_event_source* source, void* userdata);

  void process();
  void rearm();
  void detach();

  sd_bus* bus_ = nullptr;
  sd::EventSourceHandle io_;
  sd::EventSourceHandle time_;
  uint32_t events_ = 0;
  uint64_t deadline_ = UINT64_MAX;
};

}  // namespace bluez
