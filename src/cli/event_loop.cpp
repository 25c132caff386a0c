#include "cli/event_loop.h"

#include <csignal>
#include <ctime>

namespace cli {
namespace {

class LoopTimer final : public app::Timer {
 public:
  explicit LoopTimer(std::function<void()> task) : task_(std::move(task)) {}

  bool arm(sd_event* event, std::chrono::microseconds delay) {
    // Accuracy of 1 µs: the default lets sd-event coalesce wake-ups by up
    // to 250 ms, which would stretch the one-second report delay.
    return sd_event_add_time_relative(event, source_.put(), CLOCK_MONOTONIC, static_cast<uint64_t>(delay.count()), 1,
                                      &LoopTimer::onTime, this) >= 0;
  }

  void cancel() override {
    source_.reset();
    task_ = nullptr;
  }

 private:
  static int onTime(sd_event_source* /*source*/, uint64_t /*usec*/, void* userdata) {
    auto* self = static_cast<LoopTimer*>(userdata);
    // The task may destroy this handle (finishing cancels the time limit),
    // so it runs from a local copy.
    auto task = std::move(self->task_);
    if (task) task();
    return 0;
  }

  std::function<void()> task_;
  bluez::EventSourceHandle source_;
};

}  // namespace

EventLoop::EventLoop() {
  if (sd_event_new(event_.put()) < 0) event_.reset();
}

bool EventLoop::addSignalHandler(int signal, std::function<void()> handler) {
  signalHandler_ = std::move(handler);
  auto onSignal = [](sd_event_source*, const struct signalfd_siginfo*, void* userdata) -> int {
    (*static_cast<std::function<void()>*>(userdata))();
    return 0;
  };
  return sd_event_add_signal(event_.get(), signalSource_.put(), signal | SD_EVENT_SIGNAL_PROCMASK, onSignal,
                             &signalHandler_) >= 0;
}

std::unique_ptr<app::Timer> EventLoop::scheduleAfter(std::chrono::microseconds delay, std::function<void()> task) {
  auto timer = std::make_unique<LoopTimer>(std::move(task));
  // A timer that cannot be armed never fires; the run then ends by another
  // cause (the connection's own outcome, or SIGTERM).
  timer->arm(event_.get(), delay);
  return timer;
}

int EventLoop::run() { return sd_event_loop(event_.get()); }

void EventLoop::exit(int status) { sd_event_exit(event_.get(), status); }

}  // namespace cli
