#include "app/system_process.h"

#include <unistd.h>

#include "app/result_line.h"

namespace app {

bool SystemProcess::writeResultLine(const Record& record) {
  // Once the run has ended, a late event of the same dispatch must not add a
  // line behind the final one.
  if (exiting_) return false;
  auto line = serializeResultLine(record);
  if (!line) return false;
  writeAll(STDOUT_FILENO, *line);
  return true;
}

void SystemProcess::exit(int status) {
  if (exiting_) return;
  exiting_ = true;
  loop_.exit(status);
}

}  // namespace app
