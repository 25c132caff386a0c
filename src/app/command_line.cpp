#include "app/command_line.h"

namespace app {

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine commandLine;
  if (arguments.empty()) return commandLine;

  if (arguments[0] == "--identity") {
    if (arguments.size() != 2) return std::nullopt;
    auto identifier = ble::Uuid::parse(arguments[1]);
    if (!identifier || identifier->toString() != arguments[1]) return std::nullopt;
    commandLine.mode = CommandLine::Mode::kIdentity;
    commandLine.identifier = *identifier;
    return commandLine;
  }

  if (arguments.size() == 1 && arguments[0] == "--dfu") {
    commandLine.firmwareDfu = true;
    return commandLine;
  }
  return std::nullopt;
}

}  // namespace app
