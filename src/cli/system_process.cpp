#include "cli/system_process.h"

#include <unistd.h>

#include "app/result_line.h"

namespace cli {

void SystemProcess::setExitWait(ExitWait wait, std::chrono::milliseconds limit) {
  exitWait_ = std::move(wait);
  exitWaitLimit_ = limit;
}

bool SystemProcess::writeResultLine(const app::Record& record) {
  // Once the run has ended, a late event of the same dispatch must not add a
  // line behind the final one.
  if (exiting_) return false;
  auto line = app::serializeResultLine(record);
  if (!line) return false;
  app::writeAll(STDOUT_FILENO, *line);
  return true;
}

void SystemProcess::exit(int status) {
  if (exiting_) return;
  exiting_ = true;
  status_ = status;
  if (!exitWait_) {
    loop_.exit(status);
    return;
  }
  exitWaitTimer_ = loop_.scheduleAfter(exitWaitLimit_, [this] { exitNow(); });
  exitWait_([this] { exitNow(); });
}

void SystemProcess::exitNow() {
  exiting_ = true;
  loop_.exit(status_);
}

}  // namespace cli
