#pragma once

#include <chrono>
#include <deque>
#include <functional>

#include "ble/bluez/task_queue.h"
#include "sd/event_timer.h"

namespace bluez {

// bluetoothd ends every link before it signals that the adapter is off or
// gone, so the end of a link we did not ask for (and a failed Connect or
// read, often its first sign) is held for a moment: if the adapter's fate
// comes first, that is reported instead, before the held event.
class LinkEndGrace {
 public:
  static constexpr std::chrono::milliseconds kGrace{500};

  LinkEndGrace(sd_event* event, TaskQueue& tasks) : timer_(event), tasks_(tasks) {}

  // Runs `task` once the grace has passed since the latest held link end.
  void hold(std::function<void()> task);

 private:
  void deliver();

  sd::EventTimer timer_;
  TaskQueue& tasks_;
  std::deque<std::function<void()>> held_;
};

}  // namespace bluez
