#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ble/uuid.h"

namespace app {

struct CommandLine {
  enum class Mode { kScanning, kIdentity };

  Mode mode = Mode::kScanning;
  bool firmwareDfu = false;
  ble::Uuid identifier;  // identity mode only
};

// Parses the arguments after the program name. Returns nothing for a refused
// command line. Identifiers are accepted only in canonical upper-case form,
// the form scanning mode prints.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace app
