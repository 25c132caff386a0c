#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "app/clock.h"

namespace testing_support {

// Virtual monotonic time: tasks run only when the test advances the clock.
class FakeClock final : public app::Clock {
 public:
  std::unique_ptr<app::Timer> scheduleAfter(std::chrono::microseconds delay, std::function<void()> task) override;

  // Runs every task due up to now + duration, in time order.
  void advance(std::chrono::microseconds duration);
  std::chrono::microseconds now() const { return now_; }
  std::size_t pendingTasks() const { return tasks_.size(); }

 private:
  friend class FakeTimer;
  std::chrono::microseconds now_{0};
  std::uint64_t nextId_ = 0;
  // Keyed by (due time, order of scheduling) so that ties run in order.
  std::map<std::pair<std::chrono::microseconds, std::uint64_t>, std::function<void()>> tasks_;
};

}  // namespace testing_support
