#pragma once

#include "app/event_loop.h"
#include "app/process.h"

namespace app {

// Result lines to standard output; exit through the event loop, so that no
// object whose callback is still on the stack is destroyed.
class SystemProcess final : public Process {
 public:
  explicit SystemProcess(EventLoop& loop) : loop_(loop) {}

  bool writeResultLine(const Record& record) override;
  void exit(int status) override;

 private:
  EventLoop& loop_;
  bool exiting_ = false;
};

}  // namespace app
