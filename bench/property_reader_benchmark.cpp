// In-process cost of reading one advertisement's PropertiesChanged body, the
// part of the per-report work that is ours rather than the bus's.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ble/bluez/property_reader.h"
#include "sd/sd_handle.h"

namespace {

void BM_ReadServiceDataSignal(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return state.SkipWithError("socketpair");
  sd::BusHandle bus;
  sd_bus_new(bus.put());
  sd_bus_set_fd(bus.get(), fds[0], fds[0]);
  sd_bus_start(bus.get());

  sd::MessageHandle m;
  sd_bus_message_new_signal(bus.get(), m.put(), "/org/bluez/hci0/dev_D4_3F_7A_10_00_01",
                            "org.freedesktop.DBus.Properties", "PropertiesChanged");
  const char unit[] = "1234-567";
  sd_bus_message_append(m.get(), "s", "org.bluez.Device1");
  sd_bus_message_open_container(m.get(), 'a', "{sv}");
  sd_bus_message_open_container(m.get(), 'e', "sv");
  sd_bus_message_append(m.get(), "s", "ServiceData");
  sd_bus_message_open_container(m.get(), 'v', "a{sv}");
  sd_bus_message_open_container(m.get(), 'a', "{sv}");
  sd_bus_message_open_container(m.get(), 'e', "sv");
  sd_bus_message_append(m.get(), "s", "00001523-0000-1000-8000-00805f9b34fb");
  sd_bus_message_open_container(m.get(), 'v', "ay");
  sd_bus_message_append_array(m.get(), 'y', unit, 8);
  sd_bus_message_close_container(m.get());
  sd_bus_message_close_container(m.get());
  sd_bus_message_close_container(m.get());
  sd_bus_message_close_container(m.get());
  sd_bus_message_close_container(m.get());
  sd_bus_message_close_container(m.get());
  sd_bus_message_append(m.get(), "as", 0);
  sd_bus_message_seal(m.get(), 1, 0);

  std::vector<ble::ServiceDataEntry> entries;
  for (auto _ : state) {
    sd_bus_message_rewind(m.get(), true);
    sd_bus_message_skip(m.get(), "s");
    bluez::DeviceProperties properties;
    bluez::PropertyReader::readDevice(m.get(), properties, entries);
    benchmark::DoNotOptimize(entries.data());
  }
  if (entries.size() != 1) state.SkipWithError("service data not read");
  ::close(fds[1]);
}
BENCHMARK(BM_ReadServiceDataSignal);

}  // namespace

BENCHMARK_MAIN();
