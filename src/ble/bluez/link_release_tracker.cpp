#include "ble/bluez/link_release_tracker.h"

namespace bluez {

void LinkReleaseTracker::end() {
  if (pending_ > 0) --pending_;
  if (pending_ > 0) return;
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& done : waiting) done();
}

void LinkReleaseTracker::whenIdle(std::function<void()> done) {
  if (idle()) {
    done();
    return;
  }
  waiting_.push_back(std::move(done));
}

}  // namespace bluez
