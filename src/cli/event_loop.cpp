#include "cli/event_loop.h"

#include <csignal>

#include "sd/event_timer.h"

namespace cli {

EventLoop::EventLoop() {
  if (sd_event_new(event_.put()) < 0) event_.reset();
}

bool EventLoop::setSignalHandler(int signal, std::function<void()> handler) {
  signalHandler_ = std::move(handler);
  auto onSignal = [](sd_event_source*, const struct signalfd_siginfo*, void* userdata) -> int {
    (*static_cast<std::function<void()>*>(userdata))();
    return 0;
  };
  // sd-event takes only a signal that is blocked; libsystemd 247 (Debian 11)
  // cannot block it itself (SD_EVENT_SIGNAL_PROCMASK came with 252).
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, signal);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) < 0) return false;
  return sd_event_add_signal(event_.get(), signalSource_.put(), signal, onSignal, &signalHandler_) >= 0;
}

std::unique_ptr<app::Timer> EventLoop::scheduleAfter(std::chrono::microseconds delay, std::function<void()> task) {
  auto timer = std::make_unique<sd::EventTimer>(event_.get());
  // A timer that cannot be armed never fires; the run then ends by another
  // cause (the connection's own outcome, or SIGTERM).
  timer->start(delay, std::move(task));
  return timer;
}

int EventLoop::run() { return sd_event_loop(event_.get()); }

void EventLoop::exit(int status) { sd_event_exit(event_.get(), status); }

}  // namespace cli
