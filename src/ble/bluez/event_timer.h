#pragma once

#include <chrono>
#include <functional>

#include "ble/bluez/sd_handle.h"

namespace bluez {

// A one-shot task on the event loop's monotonic clock. Starting it again
// replaces the pending task; destroying it cancels it.
class EventTimer {
 public:
  explicit EventTimer(sd_event* event) : event_(event) {}
  EventTimer(const EventTimer&) = delete;
  EventTimer& operator=(const EventTimer&) = delete;

  // False when the loop could not arm it: the task then never runs.
  bool start(std::chrono::microseconds delay, std::function<void()> task);
  void cancel();
  bool pending() const { return static_cast<bool>(source_); }

 private:
  static int onTime(sd_event_source* source, uint64_t usec, void* userdata);

  sd_event* event_;
  std::function<void()> task_;
  EventSourceHandle source_;
};

}  // namespace bluez
