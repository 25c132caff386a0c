#include "fake_clock.h"

namespace testing_support {

class FakeTimer final : public app::Timer {
 public:
  FakeTimer(FakeClock& clock, std::pair<std::chrono::microseconds, std::uint64_t> key) : clock_(clock), key_(key) {}
  ~FakeTimer() override { cancel(); }
  void cancel() override { clock_.tasks_.erase(key_); }

 private:
  FakeClock& clock_;
  std::pair<std::chrono::microseconds, std::uint64_t> key_;
};

std::unique_ptr<app::Timer> FakeClock::scheduleAfter(std::chrono::microseconds delay, std::function<void()> task) {
  auto key = std::make_pair(now_ + delay, nextId_++);
  tasks_.emplace(key, std::move(task));
  return std::make_unique<FakeTimer>(*this, key);
}

void FakeClock::advance(std::chrono::microseconds duration) {
  auto until = now_ + duration;
  while (!tasks_.empty() && tasks_.begin()->first.first <= until) {
    auto node = tasks_.extract(tasks_.begin());
    now_ = node.key().first;
    node.mapped()();
  }
  now_ = until;
}

}  // namespace testing_support
