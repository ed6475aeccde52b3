// Preparing songs against the ffmpeg command: 20 FLAC songs of 3 minutes
// (made once by ffmpeg from a noise source and kept in /tmp) transcoded to
// MP3 at 128 kbit/s, 44.1 kHz, joint stereo, once by media_PrepareSongs
// without the cache (one worker per core) and once by ffmpeg with libmp3lame,
// two jobs at once (xargs -P2). Prints both times and the ratio vexo/ffmpeg.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "media/song_prepare.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSongs = 20;
constexpr int kSeconds = 180;
const fs::path kSourceDir = "/tmp/vexo-bench-media-flac";

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

std::vector<std::string> Sources() {
  std::vector<std::string> paths;
  for (int i = 0; i < kSongs; ++i) {
    const fs::path path = kSourceDir / ("song" + std::to_string(i) + ".flac");
    if (!fs::exists(path)) {
      fs::create_directories(kSourceDir);
      const fs::path temp = path.string() + ".part.flac";
      // Pink noise with a tone: music-like work for the encoder, different for every song.
      const std::string command =
          "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'anoisesrc=color=pink:amplitude=0.3:seed=" +
          std::to_string(i + 1) + ":duration=" + std::to_string(kSeconds) + ":sample_rate=44100' -f lavfi -i 'sine=frequency=" +
          std::to_string(220 + 40 * i) + ":duration=" + std::to_string(kSeconds) +
          ":sample_rate=44100' -filter_complex '[0][1]amix=inputs=2,aformat=channel_layouts=stereo' -c:a flac '" +
          temp.string() + "'";
      if (!Shell(command)) return {};
      fs::rename(temp, path);
    }
    paths.push_back(path.string());
  }
  return paths;
}

void BM_VexoPrepareSongs(benchmark::State& state) {
  const std::vector<std::string> paths = Sources();
  if (paths.empty()) return state.SkipWithError("cannot make the FLAC songs (ffmpeg)");
  MediaSettings settings;
  settings.bitrate = 128;
  settings.useCache = false;
  for (auto _ : state) {
    MediaWorkspace ws;
    if (!media_OpenWorkspace(&ws)) return state.SkipWithError("no workspace");
    const std::vector<PreparedSong> songs = media_PrepareSongs(paths, settings, &ws);
    media_CloseWorkspace(&ws);
    for (const PreparedSong& song : songs) {
      if (song.action != MEDIA_TRANSCODE) return state.SkipWithError(song.skipReason.c_str());
    }
  }
}

void BM_FfmpegTwoJobs(benchmark::State& state) {
  const std::vector<std::string> paths = Sources();
  if (paths.empty()) return state.SkipWithError("cannot make the FLAC songs (ffmpeg)");
  const std::string out = "/tmp/vexo-bench-media-out-" + std::to_string(getpid());
  for (auto _ : state) {
    fs::create_directories(out);
    const std::string command = "ls " + kSourceDir.string() + "/song*.flac | xargs -P2 -I{} sh -c "
        "'ffmpeg -nostdin -loglevel error -y -i \"$1\" -map_metadata -1 -c:a libmp3lame -b:a 128k "
        "-ar 44100 -joint_stereo 1 \"" + out + "/$(basename \"$1\" .flac).mp3\"' _ {}";
    if (!Shell(command)) state.SkipWithError("ffmpeg failed");
    fs::remove_all(out);
  }
}

}  // namespace

BENCHMARK(BM_VexoPrepareSongs)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FfmpegTwoJobs)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The two times and their ratio, after the usual benchmark report.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (Sources().empty()) {
    std::fprintf(stderr, "cannot make the FLAC songs with ffmpeg\n");
    return 1;
  }
  struct Timing : benchmark::ConsoleReporter {
    double vexo = 0, ffmpeg = 0;
    void ReportRuns(const std::vector<Run>& runs) override {
      ConsoleReporter::ReportRuns(runs);
      for (const Run& run : runs) {
        const double seconds = run.GetAdjustedRealTime();
        if (run.benchmark_name().find("Vexo") != std::string::npos) vexo = seconds;
        if (run.benchmark_name().find("Ffmpeg") != std::string::npos) ffmpeg = seconds;
      }
    }
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.vexo > 0 && reporter.ffmpeg > 0) {
    std::printf("%d FLAC songs of %d s at 128 kbit/s: vexo %.2f s, ffmpeg (2 jobs) %.2f s, ratio vexo/ffmpeg %.3f\n",
                kSongs, kSeconds, reporter.vexo, reporter.ffmpeg, reporter.vexo / reporter.ffmpeg);
  }
  benchmark::Shutdown();
  return 0;
}
