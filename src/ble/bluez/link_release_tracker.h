#pragma once

#include <functional>
#include <vector>

namespace bluez {

// Counts the links of our own that we asked BlueZ to drop and that it has
// not yet confirmed down. bluetoothd waits about 2 s after Disconnect before
// it drops a link; a program that exits in between leaves a dying link that
// the next run on the same peripheral would find up, use, and lose.
class LinkReleaseTracker {
 public:
  void begin() { ++pending_; }
  void end();
  bool idle() const { return pending_ == 0; }
  // Runs `done` once no release is pending: at once if none is.
  void whenIdle(std::function<void()> done);

 private:
  int pending_ = 0;
  std::vector<std::function<void()>> waiting_;
};

}  // namespace bluez
