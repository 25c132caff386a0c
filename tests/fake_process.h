#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/process.h"
#include "app/result_line.h"

namespace testing_support {

// Captures result lines as the exact bytes the tool would write. Like the
// real process, it drops whatever is written once the run has ended.
class FakeProcess final : public app::Process {
 public:
  bool writeResultLine(const app::Record& record) override {
    auto line = app::serializeResultLine(record);
    if (!line) return false;
    if (exitStatus) {
      ++linesAfterExit;
      return false;
    }
    output += *line;
    lines.push_back(*line);
    return true;
  }
  void exit(int status) override {
    if (!exitStatus) exitStatus = status;
    ++exitCalls;
  }

  std::string output;
  std::vector<std::string> lines;
  std::optional<int> exitStatus;
  int exitCalls = 0;
  int linesAfterExit = 0;
};

}  // namespace testing_support
