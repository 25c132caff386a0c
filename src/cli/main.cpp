#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/error_code.h"
#include "app/result_line.h"
#include "ble/bluez/bluez_central_manager_factory.h"
#include "ble/bluez/bus_event_source.h"
#include "cli/event_loop.h"
#include "cli/system_process.h"
#include "identity/device_identity_reader.h"
#include "scanner/advertisement_scanner.h"
#include "sd/sd_handle.h"

namespace {

// Whatever a library might print (sd-bus debug logging, for one) must not
// reach the caller: the tool's only output is its result lines.
void silenceStandardError() {
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) return;
  ::dup2(devNull, STDERR_FILENO);
  if (devNull != STDERR_FILENO) ::close(devNull);
}

}  // namespace

int main(int argc, char** argv) {
  silenceStandardError();

  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  auto commandLine = app::parseCommandLine(arguments);
  if (!commandLine) return 2;

  cli::EventLoop loop;
  if (!loop.valid()) {
    // Without an event loop nothing can run; say so as any adapter failure.
    if (auto line = app::serializeResultLine(app::errorRecord(app::error_code::kAdapterUnavailable))) {
      app::writeAll(STDOUT_FILENO, *line);
    }
    return 0;
  }

  // A bus that cannot be reached is not fatal here: the central manager
  // reports it as an unsupported adapter, through the loop like any state.
  sd::BusHandle bus;
  bluez::BusEventSource busSource;
  if (sd_bus_open_system(bus.put()) < 0 || !busSource.attach(bus.get(), loop.get())) bus.reset();
  bluez::BluezCentralManagerFactory factory(bus.get(), loop.get());
  cli::SystemProcess process(loop);
  // A link of ours that BlueZ has not yet dropped (doc/bluez-behaviour.md,
  // slow-disconnect) would be found up, and then lost, by the next run on the
  // same peripheral; a discovery of ours must be stopped before we leave
  // the bus. The process outlives its line until both are done.
  process.setExitWait([&factory](std::function<void()> done) { factory.teardown().whenDone(std::move(done)); },
                      std::chrono::seconds(3));

  std::optional<scanner::AdvertisementScanner> scanner;
  std::optional<identity::DeviceIdentityReader> identityReader;
  if (commandLine->mode == app::CommandLine::Mode::kIdentity) {
    identityReader.emplace(commandLine->identifier, factory, loop, process);
  } else {
    scanner.emplace(factory, process, commandLine->firmwareDfu);
  }

  loop.setSignalHandler(SIGTERM, [&] {
    // The line is out already; only the wait for BlueZ is cut short.
    if (process.exiting()) {
      process.exitNow();
      return;
    }
    if (identityReader) {
      identityReader->stop();
      return;
    }
    scanner->stop();
    process.exit(0);
  });

  int status = loop.run();
  return status < 0 ? 0 : status;
}
