#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "app/process.h"
#include "app/timer.h"
#include "cli/event_loop.h"

namespace cli {

// Result lines to standard output; exit through the event loop, so that no
// object whose callback is still on the stack is destroyed.
class SystemProcess final : public app::Process {
 public:
  // Called at exit with a continuation to run once the process may end.
  using ExitWait = std::function<void(std::function<void()> done)>;

  explicit SystemProcess(EventLoop& loop) : loop_(loop) {}

  // Work the caller must never see unfinished (a link being torn down, a
  // discovery being stopped) may keep the process alive after its last
  // line, for at most `limit`.
  void setExitWait(ExitWait wait, std::chrono::milliseconds limit);

  bool writeResultLine(const app::Record& record) override;
  void exit(int status) override;

  bool exiting() const { return exiting_; }
  // Ends the run at once, even while the exit waits.
  void exitNow();

 private:
  EventLoop& loop_;
  bool exiting_ = false;
  int status_ = 0;
  ExitWait exitWait_;
  std::chrono::milliseconds exitWaitLimit_{0};
  std::unique_ptr<app::Timer> exitWaitTimer_;
};

}  // namespace cli
