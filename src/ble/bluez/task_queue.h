#pragma once

#include <deque>
#include <functional>

#include "sd/sd_handle.h"

namespace bluez {

// Tasks run from the event loop after the current handler has returned, in
// the order they were posted. Events the backend owes its caller never come
// from inside the call that caused them.
class TaskQueue {
 public:
  explicit TaskQueue(sd_event* event) : event_(event) {}
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  void post(std::function<void()> task);

 private:
  static int onDispatch(sd_event_source* source, void* userdata);

  sd_event* event_;
  std::deque<std::function<void()>> tasks_;
  sd::EventSourceHandle source_;
};

}  // namespace bluez
