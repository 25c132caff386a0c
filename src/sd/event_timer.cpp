#include "sd/event_timer.h"

#include <ctime>

namespace sd {

bool EventTimer::start(std::chrono::microseconds delay, std::function<void()> task) {
  cancel();
  if (!event_) return false;
  task_ = std::move(task);
  // An accuracy of 1 µs: sd-event would otherwise coalesce wake-ups by up to
  // 250 ms, a large part of the short graces and delays these timers measure.
  if (sd_event_add_time_relative(event_, source_.put(), CLOCK_MONOTONIC, static_cast<uint64_t>(delay.count()), 1,
                                 &EventTimer::onTime, this) < 0) {
    task_ = nullptr;
    return false;
  }
  return true;
}

void EventTimer::cancel() {
  source_.reset();
  task_ = nullptr;
}

int EventTimer::onTime(sd_event_source* /*source*/, uint64_t /*usec*/, void* userdata) {
  auto* self = static_cast<EventTimer*>(userdata);
  // The task may restart or destroy this timer, so it runs from a local copy.
  auto task = std::move(self->task_);
  self->source_.reset();
  if (task) task();
  return 0;
}

}  // namespace sd
