// Throughput of title copies on an image file: adding a title and reading it
// back through the card layer, as "--add" and "--read" do.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "card/header.h"
#include "card/playlist.h"
#include "host/pauses.h"
#include "transport/transport.h"

namespace {

void NoDelay(uint32_t) {}

std::string TempName(const char* stem) {
  return std::string("/tmp/vexo-bench-") + stem + "-" + std::to_string(getpid());
}

void MakeSong(const std::string& path, std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31u + 7u);
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

void BM_RosAddAndReadTitle(benchmark::State& state) {
  vexo_SetDelayHook(NoDelay);
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::string image = TempName("image");
  const std::string song = TempName("song");
  const std::string back = TempName("back");
  MakeSong(song, size);
  for (auto _ : state) {
    std::remove(image.c_str());
    vexo_Open(VEXO_PORT_ROS, 1, 115200, image.c_str());
    const VexoResult added = card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, song.c_str(), "Bench", 0, 1);
    const VexoResult read = card_ReadTitle(VEXO_PORT_ROS, 1, 1, 1, back.c_str(), 0);
    vexo_Close(VEXO_PORT_ROS, 1);
    if (added != 0 || read != 0) state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size) * 2);
  std::remove(image.c_str());
  std::remove(song.c_str());
  std::remove(back.c_str());
}
BENCHMARK(BM_RosAddAndReadTitle)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
