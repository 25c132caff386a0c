#pragma once

namespace app {

// A pending one-shot task. Destroying the handle cancels the task; a
// cancelled task never runs.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void cancel() = 0;
};

}  // namespace app
