#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace bluez {

// Counts what the process must see finished before it ends, though after its
// last line: a link of ours that BlueZ has not yet confirmed down, a
// discovery of ours it has not yet confirmed stopped. bluetoothd takes its
// time to drop a link after Disconnect (doc/bluez-behaviour.md,
// slow-disconnect); a program that exits in between leaves a dying link that
// the next run on the same peripheral would find up, use, and lose.
class TeardownTracker {
 public:
  void begin() { ++pending_; }
  void end();
  bool idle() const { return pending_ == 0; }

  // Work to start when the run ends (stopping a search), registered by its
  // owner for as long as it lives.
  void addWrapUp(const void* owner, std::function<void()> wrapUp);
  void removeWrapUp(const void* owner);

  // Starts the wrap-ups, then runs `done` once nothing is pending: at once if
  // nothing is.
  void whenDone(std::function<void()> done);

 private:
  int pending_ = 0;
  std::vector<std::pair<const void*, std::function<void()>>> wrapUps_;
  std::vector<std::function<void()>> waiting_;
};

}  // namespace bluez
