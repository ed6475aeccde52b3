// Streamed sector throughput through the simulated player on a pty: the
// driver's stream reads ('n' and a 513-byte block) and stream writes (a
// 515-byte block and the 'V'), without the fixed pauses of a request.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "drivers/serial/ser_protocol.h"
#include "sim/player_sim_session.h"

namespace {

void NoDelay(uint32_t) {}

std::string MakeCard() {
  char name[] = "/tmp/vexo-bench-ser-XXXXXX";
  const int fd = mkstemp(name);
  if (fd >= 0) close(fd);
  return name;
}

void BM_StreamedRead(benchmark::State& state) {
  const std::string card = MakeCard();
  PlayerSimConfig config;
  config.slots[0].imagePath = card;
  PlayerSimSession session(config);
  vexo_serial_Open(1, 115200);
  ser_Search(1, 1);
  SectorBuffer buffer{};
  if (ser_ReadSector(1, 0, buffer, 1) != 0) state.SkipWithError("request failed");
  vexo_SetDelayHook(NoDelay);
  for (auto _ : state) {
    if (ser_ReadSector(1, 0, buffer, 0) != 0) {
      state.SkipWithError("stream broke");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SECTOR_SIZE);
  unlink(card.c_str());
}
BENCHMARK(BM_StreamedRead)->Iterations(20000);

void BM_StreamedWrite(benchmark::State& state) {
  const std::string card = MakeCard();
  PlayerSimConfig config;
  config.slots[0].imagePath = card;
  PlayerSimSession session(config);
  vexo_serial_Open(1, 115200);
  ser_Search(1, 1);
  SectorBuffer buffer{};
  if (ser_WriteSector(1, 0, buffer) != 0) state.SkipWithError("request failed");
  vexo_SetDelayHook(NoDelay);
  for (auto _ : state) {
    if (ser_WriteNextSector(1, buffer) != 0) {
      state.SkipWithError("stream broke");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SECTOR_SIZE);
  unlink(card.c_str());
}
BENCHMARK(BM_StreamedWrite)->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
