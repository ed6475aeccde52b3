// Sector throughput of the parallel-port adapter driver against the
// simulated card: a sector write within an open multiple-block write, a
// sector read (CMD18, one block, CMD12), and a 1 MiB copy from the card (one
// CMD18 for all its blocks, as a raw read streams them), with the port
// accesses per sector: on a real port each access is a bus cycle of about a
// microsecond, so they give the adapter's real rate.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "drivers/ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "host/pauses.h"

namespace {

void NoWait() {}
void NoDelay(uint32_t) {}

void Prepare() {
  vexo_SetDelayHook(NoDelay);
  ppa_SetPowerUpWaitHook(NoWait);
  mmcsim_InstallMemoryCard(MmcSimConfig{});
  ppa_Open(1);
  uint32_t size = 0;
  ppa_Search(&size, 5);
}

uint64_t Accesses() {
  const MmcSimCounters& c = mmcsim_Counters();
  return c.dataWrites + c.statusReads + c.controlWrites;
}

void BM_PpaSectorWrite(benchmark::State& state) {
  Prepare();
  SectorBuffer buffer{};
  std::memset(buffer.data(), 0x5A, 512);
  ppa_WriteSectorFirstRtr(1, 128, buffer, 4);
  mmcsim_ResetCounters();
  uint32_t sector = 129;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ppa_WriteSectorNextRtr(1, sector++, buffer, 4));
  }
  state.counters["accesses/sector"] =
      static_cast<double>(Accesses()) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
  mmcsim_Remove();
}
BENCHMARK(BM_PpaSectorWrite);

void BM_PpaSectorRead(benchmark::State& state) {
  Prepare();
  SectorBuffer buffer{};
  mmcsim_ResetCounters();
  uint32_t sector = 128;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ppa_ReadSectorRtr(1, sector++, buffer, 4));
  }
  state.counters["accesses/sector"] =
      static_cast<double>(Accesses()) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
  mmcsim_Remove();
}
BENCHMARK(BM_PpaSectorRead);

void BM_PpaFileRead(benchmark::State& state) {
  Prepare();
  char path[] = "/tmp/vexo-bench-ppa-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  constexpr uint32_t kBytes = 1u << 20;
  mmcsim_ResetCounters();
  for (auto _ : state) {
    if (ppa_ReadFile(1, 128, kBytes, path, 0) != 0) state.SkipWithError("copy failed");
  }
  const double sectors = static_cast<double>(state.iterations()) * (kBytes / 512);
  state.counters["accesses/sector"] = static_cast<double>(Accesses()) / sectors;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
  unlink(path);
  mmcsim_Remove();
}
BENCHMARK(BM_PpaFileRead)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
