#include "ble/bluez/task_queue.h"

namespace bluez {

void TaskQueue::post(std::function<void()> task) {
  tasks_.push_back(std::move(task));
  if (!source_ && sd_event_add_defer(event_, source_.put(), &TaskQueue::onDispatch, this) < 0) return;
  sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
}

int TaskQueue::onDispatch(sd_event_source* /*source*/, void* userdata) {
  auto* self = static_cast<TaskQueue*>(userdata);
  if (self->tasks_.empty()) return 0;
  // One task per dispatch: if it ends the run, the loop stops before the next.
  auto task = std::move(self->tasks_.front());
  self->tasks_.pop_front();
  if (!self->tasks_.empty()) sd_event_source_set_enabled(self->source_.get(), SD_EVENT_ONESHOT);
  task();
  return 0;
}

}  // namespace bluez
