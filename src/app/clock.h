#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "app/timer.h"

namespace app {

// One-shot tasks on the event loop, timed on the monotonic clock.
class Clock {
 public:
  virtual std::unique_ptr<Timer> scheduleAfter(std::chrono::microseconds delay,
                                               std::function<void()> task) = 0;

 protected:
  ~Clock() = default;
};

}  // namespace app
