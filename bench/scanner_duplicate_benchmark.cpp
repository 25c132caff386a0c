// In-process cost of one advertisement report, with the platform taken out:
// the scanner's own work per report for an identity it already printed (the
// steady state of a long scan), and for comparison one that changes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <memory>
#include <vector>

#include "app/process.h"
#include "ble/central_manager.h"
#include "ble/central_manager_factory.h"
#include "scanner/advertisement_scanner.h"

namespace {

class NullCentral final : public ble::CentralManager {
 public:
  ble::ManagerState state() const override { return ble::ManagerState::kPoweredOn; }
  void scanForPeripheralsWithServices(const std::vector<ble::Uuid>&, const ble::ScanOptions&) override {}
  void stopScan() override {}
  std::vector<std::shared_ptr<ble::Peripheral>> retrievePeripheralsWithIdentifiers(
      const std::vector<ble::Uuid>&) override {
    return {};
  }
  void connectPeripheral(ble::Peripheral&) override {}
  void cancelPeripheralConnection(ble::Peripheral&) override {}
};

class NullFactory final : public ble::CentralManagerFactory {
 public:
  std::unique_ptr<ble::CentralManager> createCentralManager(ble::CentralManagerDelegate&, const ble::CentralManagerOptions&) override {
    return std::make_unique<NullCentral>();
  }
};

class CountingProcess final : public app::Process {
 public:
  bool writeResultLine(const app::Record&) override {
    ++lines;
    return true;
  }
  void exit(int) override {}
  long lines = 0;
};

ble::Uuid peripheralNumber(std::uint32_t n) {
  ble::Uuid::Bytes bytes{};
  bytes[12] = static_cast<std::uint8_t>(n >> 24);
  bytes[13] = static_cast<std::uint8_t>(n >> 16);
  bytes[14] = static_cast<std::uint8_t>(n >> 8);
  bytes[15] = static_cast<std::uint8_t>(n);
  return ble::Uuid(bytes);
}

// Reports for `range(0)` peripherals in turn, each already printed once.
void BM_DuplicateReport(benchmark::State& state) {
  NullFactory factory;
  CountingProcess process;
  scanner::AdvertisementScanner scanner(factory, process, false);
  NullCentral central;
  const std::uint8_t payload[] = {'1', '2', '3', '4', '-', '5', '6', '7'};
  const std::uint8_t otherPayload[] = {'0', '0', '0', '0', '-', '0', '0', '1'};
  const ble::ServiceDataEntry entries[] = {
      {ble::Uuid::fromShort(0xFE59), otherPayload},
      {ble::Uuid::fromShort(0x1523), payload},
  };
  const ble::AdvertisementData data{entries};
  auto peripherals = static_cast<std::uint32_t>(state.range(0));
  std::vector<ble::Uuid> ids;
  for (std::uint32_t i = 0; i < peripherals; ++i) {
    ids.push_back(peripheralNumber(i));
    scanner.centralManagerDidDiscoverPeripheral(central, ids.back(), data);
  }
  std::size_t next = 0;
  for (auto _ : state) {
    scanner.centralManagerDidDiscoverPeripheral(central, ids[next], data);
    if (++next == ids.size()) next = 0;
  }
  if (process.lines != peripherals) state.SkipWithError("a duplicate was printed");
}
BENCHMARK(BM_DuplicateReport)->Arg(1)->Arg(1000)->Arg(100000);

// Every report carries a new identity: decoding, remembering and the record.
void BM_ChangedReport(benchmark::State& state) {
  NullFactory factory;
  CountingProcess process;
  scanner::AdvertisementScanner scanner(factory, process, false);
  NullCentral central;
  std::uint8_t payload[] = {'1', '2', '3', '4', '-', '5', '6', '7'};
  const ble::ServiceDataEntry entries[] = {{ble::Uuid::fromShort(0x1523), payload}};
  const ble::AdvertisementData data{entries};
  const ble::Uuid id = peripheralNumber(1);
  for (auto _ : state) {
    payload[7] = payload[7] == '7' ? '8' : '7';
    scanner.centralManagerDidDiscoverPeripheral(central, id, data);
  }
}
BENCHMARK(BM_ChangedReport);

std::size_t heapInUse() {
  struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;  // small blocks plus mmap'ed ones (a large bucket array)
}

// The heap a scan keeps per peripheral that printed a line: the identity last
// printed for it, remembered until the scan ends.
void BM_RememberedPeripheralHeap(benchmark::State& state) {
  const std::uint8_t payload[] = {'1', '2', '3', '4', '-', '5', '6', '7'};
  const ble::ServiceDataEntry entries[] = {{ble::Uuid::fromShort(0x1523), payload}};
  const ble::AdvertisementData data{entries};
  std::vector<ble::Uuid> ids;
  for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(state.range(0)); ++i) ids.push_back(peripheralNumber(i));
  for (auto _ : state) {
    NullFactory factory;
    CountingProcess process;
    NullCentral central;
    scanner::AdvertisementScanner scanner(factory, process, false);
    const std::size_t before = heapInUse();
    for (const ble::Uuid& id : ids) scanner.centralManagerDidDiscoverPeripheral(central, id, data);
    state.counters["heap_bytes_per_peripheral"] =
        static_cast<double>(heapInUse() - before) / static_cast<double>(ids.size());
    if (scanner.rememberedPeripherals() != ids.size()) state.SkipWithError("a peripheral was not remembered");
  }
}
BENCHMARK(BM_RememberedPeripheralHeap)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
