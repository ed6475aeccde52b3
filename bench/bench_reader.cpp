// The card reader and the image file against the system's own copy tools on
// the same bytes, in one run: a whole-card raw read, a whole-card raw write
// (read back and compared) and a 4 MiB title add through the reader kind
// against dd bs=1M with direct I/O on the same device (the write against dd
// with conv=fsync followed by a direct read of the same bytes), and an
// image-file add and read against cat. The device is a 256 MiB
// loop device when the machine allows one (root, losetup), else a regular
// file. Fixed pauses are left out (delay hook); page caches are dropped
// before every timed copy so both sides start cold. Compare the
// bytes_per_second of each pair.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "card/playlist.h"
#include "drivers/reader/rdr.h"
#include "host/pauses.h"
#include "transport/transport.h"

namespace {

constexpr long long kCardBytes = 256ll << 20;
constexpr std::size_t kSongBytes = 4u << 20;

void NoDelay(uint32_t) {}

void MakeFile(const std::string& path, std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31u + 7u);
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// Written data on the disk and no clean pages left of this file or device.
void DropCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fsync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// The card, the song and the host files; the loop device is detached at exit.
struct Setup {
  std::string stem = "/tmp/vexo-bench-reader-" + std::to_string(getpid());
  std::string backing = stem + "-card.img", song = stem + "-song.mp3", out = stem + "-out";
  std::string raw = stem + "-raw.img";  // a whole card's bytes to write
  std::string device;
  Setup() {
    vexo_SetDelayHook(NoDelay);
    MakeFile(song, kSongBytes);
    MakeFile(backing, static_cast<std::size_t>(kCardBytes));
    MakeFile(raw, static_cast<std::size_t>(kCardBytes));
    FILE* pipe = geteuid() == 0 ? popen(("losetup -f --show " + backing + " 2>/dev/null").c_str(), "r") : nullptr;
    char name[64] = {};
    if (pipe != nullptr && std::fgets(name, sizeof name, pipe) != nullptr) device = name;
    if (pipe != nullptr) pclose(pipe);
    if (!device.empty() && device.back() == '\n') device.pop_back();
    if (device.empty()) {
      device = backing;
      rdr_AllowRegularFile(true);
    }
    std::fprintf(stderr, "card reader device: %s\n", device.c_str());
  }
  ~Setup() {
    if (device != backing) Shell("losetup -d " + device);
    for (const std::string& path : {backing, song, out, raw}) std::remove(path.c_str());
  }
};

Setup& Files() {
  static Setup setup;
  return setup;
}

void Bytes(benchmark::State& state, std::size_t perIteration) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(perIteration));
}

// A shell command, timed with `cold` out of the page cache before each run.
void TimeShell(benchmark::State& state, const std::string& cold, const std::string& command,
               long long bytes) {
  for (auto _ : state) {
    state.PauseTiming();
    DropCache(cold);
    state.ResumeTiming();
    if (!Shell(command)) state.SkipWithError("command failed");
  }
  Bytes(state, static_cast<std::size_t>(bytes));
}

// A whole-card copy through the reader kind, the device cold before each run.
template <typename Copy>
void TimeReaderCopy(benchmark::State& state, Copy copy) {
  Setup& s = Files();
  for (auto _ : state) {
    state.PauseTiming();
    DropCache(s.device);
    state.ResumeTiming();
    vexo_Open(VEXO_PORT_READER, 1, 0, s.device.c_str());
    const VexoResult result = copy(s);
    vexo_Close(VEXO_PORT_READER, 1);
    if (result != 0) state.SkipWithError("copy failed");
  }
  Bytes(state, kCardBytes);
}

void BM_ReaderRawRead(benchmark::State& state) {
  TimeReaderCopy(state, [](Setup& s) {
    return card_RawRead(VEXO_PORT_READER, 1, 1, 0, s.out.c_str(), 0, 0);
  });
}

void BM_DdRawRead(benchmark::State& state) {
  Setup& s = Files();
  TimeShell(state, s.device, "dd if=" + s.device + " of=" + s.out + " bs=1M iflag=direct status=none",
            kCardBytes);
}

void BM_ReaderRawWrite(benchmark::State& state) {
  TimeReaderCopy(state, [](Setup& s) {
    return card_RawWrite(VEXO_PORT_READER, 1, 1, 0, s.raw.c_str(), 0);
  });
}

void BM_DdRawWriteAndReadBack(benchmark::State& state) {
  Setup& s = Files();
  TimeShell(state, s.device,
            "dd if=" + s.raw + " of=" + s.device + " bs=1M oflag=direct conv=fsync status=none" +
                " && dd if=" + s.device + " of=/dev/null bs=1M iflag=direct status=none",
            kCardBytes);
}

void BM_ReaderAddTitle(benchmark::State& state) {
  Setup& s = Files();
  for (auto _ : state) {
    state.PauseTiming();
    vexo_Open(VEXO_PORT_READER, 1, 0, s.device.c_str());
    card_WriteEmptyHeader(VEXO_PORT_READER, 1, 1);
    DropCache(s.song);
    state.ResumeTiming();
    const VexoResult result =
        card_AddTitle(VEXO_PORT_READER, 1, 1, 0, nullptr, s.song.c_str(), "Bench", 0, 1);
    vexo_Close(VEXO_PORT_READER, 1);
    if (result != 0) state.SkipWithError("add failed");
  }
  Bytes(state, kSongBytes);
}

void BM_DdAddTitle(benchmark::State& state) {
  Setup& s = Files();
  TimeShell(state, s.song,
            "dd if=" + s.song + " of=" + s.device +
                " bs=1M oflag=direct,seek_bytes seek=65536 conv=notrunc status=none",
            kSongBytes);
}

void BM_ImageAddTitle(benchmark::State& state) {
  Setup& s = Files();
  const std::string image = s.stem + "-image.ros";
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(image.c_str());
    vexo_Open(VEXO_PORT_ROS, 1, 0, image.c_str());
    card_WriteEmptyHeader(VEXO_PORT_ROS, 1, 1);
    state.ResumeTiming();
    const VexoResult result =
        card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, s.song.c_str(), "Bench", 0, 1);
    vexo_Close(VEXO_PORT_ROS, 1);
    if (result != 0) state.SkipWithError("add failed");
  }
  std::remove(image.c_str());
  Bytes(state, kSongBytes);
}

void BM_CatAddTitle(benchmark::State& state) {
  Setup& s = Files();
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(s.out.c_str());
    state.ResumeTiming();
    if (!Shell("cat " + s.song + " > " + s.out)) state.SkipWithError("cat failed");
  }
  Bytes(state, kSongBytes);
}

void BM_ImageReadTitle(benchmark::State& state) {
  Setup& s = Files();
  const std::string image = s.stem + "-image.ros";
  std::remove(image.c_str());
  vexo_Open(VEXO_PORT_ROS, 1, 0, image.c_str());
  card_WriteEmptyHeader(VEXO_PORT_ROS, 1, 1);
  card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, s.song.c_str(), "Bench", 0, 1);
  vexo_Close(VEXO_PORT_ROS, 1);
  for (auto _ : state) {
    vexo_Open(VEXO_PORT_ROS, 1, 0, image.c_str());
    const VexoResult result = card_ReadTitle(VEXO_PORT_ROS, 1, 1, 1, s.out.c_str(), 0);
    vexo_Close(VEXO_PORT_ROS, 1);
    if (result != 0) state.SkipWithError("read failed");
  }
  std::remove(image.c_str());
  Bytes(state, kSongBytes);
}

void BM_CatReadTitle(benchmark::State& state) {
  Setup& s = Files();
  for (auto _ : state) {
    if (!Shell("cat " + s.song + " > " + s.out)) state.SkipWithError("cat failed");
  }
  Bytes(state, kSongBytes);
}

// What starting dd or cat costs by itself (a shell running "true").
void BM_SpawnOnly(benchmark::State& state) {
  for (auto _ : state) Shell("true");
}

BENCHMARK(BM_SpawnOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderRawRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DdRawRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderRawWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DdRawWriteAndReadBack)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderAddTitle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DdAddTitle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImageAddTitle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CatAddTitle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ImageReadTitle)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CatReadTitle)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
