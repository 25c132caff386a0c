#include "ble/bluez/teardown_tracker.h"

#include <algorithm>

namespace bluez {

void TeardownTracker::end() {
  if (pending_ > 0) --pending_;
  if (pending_ > 0) return;
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& done : waiting) done();
}

void TeardownTracker::addWrapUp(const void* owner, std::function<void()> wrapUp) {
  wrapUps_.emplace_back(owner, std::move(wrapUp));
}

void TeardownTracker::removeWrapUp(const void* owner) {
  std::erase_if(wrapUps_, [owner](const auto& entry) { return entry.first == owner; });
}

void TeardownTracker::whenDone(std::function<void()> done) {
  auto wrapUps = wrapUps_;
  for (auto& [owner, wrapUp] : wrapUps) wrapUp();
  if (idle()) {
    done();
    return;
  }
  waiting_.push_back(std::move(done));
}

}  // namespace bluez
