#pragma once

#include "app/record.h"

namespace app {

// The process as the modes see it: where result lines go and how the run
// ends. exit() ends the run once the current handler returns; nothing written
// after it reaches the output.
class Process {
 public:
  // Returns false when the record could not be serialized (nothing written).
  virtual bool writeResultLine(const Record& record) = 0;
  virtual void exit(int status) = 0;

 protected:
  ~Process() = default;
};

}  // namespace app
