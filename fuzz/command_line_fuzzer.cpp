// The command line, its arguments being the input split at NUL bytes (no
// argument can hold one). Accepted are no argument, "--dfu", and
// "--identity" with a canonical upper-case identifier, which the parsed
// command line prints back unchanged.
#include "app/command_line.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  if (size > 0) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    for (std::size_t end; (end = rest.find('\0')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
      arguments.emplace_back(rest.substr(0, end));
    }
    arguments.emplace_back(rest);
  }

  auto commandLine = app::parseCommandLine(arguments);
  const bool identity = arguments.size() == 2 && arguments[0] == "--identity" && fuzz::isUuidText(arguments[1]);
  const bool dfu = arguments.size() == 1 && arguments[0] == "--dfu";
  FUZZ_CHECK(commandLine.has_value() == (arguments.empty() || dfu || identity));
  if (!commandLine) return 0;
  FUZZ_CHECK((commandLine->mode == app::CommandLine::Mode::kIdentity) == identity);
  FUZZ_CHECK(!identity || commandLine->identifier.toString() == arguments[1]);
  FUZZ_CHECK(commandLine->firmwareDfu == dfu);
  return 0;
}
