#pragma once

#include <functional>
#include <memory>

#include "app/clock.h"
#include "sd/sd_handle.h"

namespace cli {

// The one sd-event loop of the process: timers, signals and the bus all run
// on it, on the main thread.
class EventLoop final : public app::Clock {
 public:
  EventLoop();

  sd_event* get() const { return event_.get(); }
  bool valid() const { return static_cast<bool>(event_); }

  // Delivers `signal` as a loop event to `handler`, the only one: a second
  // call replaces the first. The signal is blocked first, so from this call
  // on its default action can no longer end the process.
  bool setSignalHandler(int signal, std::function<void()> handler);

  std::unique_ptr<app::Timer> scheduleAfter(std::chrono::microseconds delay, std::function<void()> task) override;

  // Runs until exit() is called; returns the exit status.
  int run();
  // Ends the loop once the current handler returns; no further event of any
  // other source is dispatched.
  void exit(int status);

 private:
  sd::EventHandle event_;
  std::function<void()> signalHandler_;
  sd::EventSourceHandle signalSource_;
};

}  // namespace cli
