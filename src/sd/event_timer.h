#pragma once

#include <chrono>
#include <functional>

#include "app/timer.h"
#include "sd/sd_handle.h"

namespace sd {

// A one-shot task on the event loop's monotonic clock. Starting it again
// replaces the pending task; cancelling or destroying it drops the task. The
// task may destroy its own timer.
class EventTimer final : public app::Timer {
 public:
  explicit EventTimer(sd_event* event) : event_(event) {}
  EventTimer(const EventTimer&) = delete;
  EventTimer& operator=(const EventTimer&) = delete;

  // False when the loop could not arm it: the task then never runs.
  bool start(std::chrono::microseconds delay, std::function<void()> task);
  void cancel() override;

 private:
  static int onTime(sd_event_source* source, uint64_t usec, void* userdata);

  sd_event* event_;
  std::function<void()> task_;
  EventSourceHandle source_;
};

}  // namespace sd
