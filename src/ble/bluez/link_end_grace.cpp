#include "ble/bluez/link_end_grace.h"

namespace bluez {

void LinkEndGrace::hold(std::function<void()> task) {
  held_.push_back(std::move(task));
  // The grace runs from the latest link end, so each gets all of it.
  if (!timer_.start(kGrace, [this] { deliver(); })) tasks_.post([this] { deliver(); });
}

void LinkEndGrace::deliver() {
  // One at a time, in order; each may end the run, which stops the loop
  // before the next would matter.
  while (!held_.empty()) {
    auto next = std::move(held_.front());
    held_.pop_front();
    next();
  }
}

}  // namespace bluez
