#include "host/progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

bool g_quiet = false;
double (*g_clock)() = nullptr;

// The copy whose lines a terminal shows.
struct TerminalRun {
  bool begun = false;
  uint32_t total = 0;
  uint32_t firstIndex = 0;
  uint32_t lastIndex = 0;
  double start = 0;
  double lastLine = 0;
  int width = 0;  // characters of the last line, before its "\r"
};
TerminalRun g_run;

constexpr double kLineInterval = 0.25;  // seconds between lines on a terminal
constexpr int kDoneWidth = 30;          // " Done." and its blanks

double Now() {
  if (g_clock != nullptr) return g_clock();
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void vexo_FormatDuration(double seconds, char* text, std::size_t size) {
  const uint64_t whole = seconds > 0 && seconds < 1e9 ? static_cast<uint64_t>(seconds + 0.5) : 0;
  const unsigned hours = static_cast<unsigned>(whole / 3600);
  const unsigned minutes = static_cast<unsigned>(whole / 60 % 60);
  const unsigned secs = static_cast<unsigned>(whole % 60);
  if (hours > 0) {
    std::snprintf(text, size, "%u:%02u:%02u", hours, minutes, secs);
  } else {
    std::snprintf(text, size, "%u:%02u", minutes, secs);
  }
}

namespace {

void PrintTerminalProgress(uint32_t index, uint32_t total) {
  const double now = Now();
  if (!g_run.begun || total != g_run.total || index < g_run.lastIndex) {
    g_run = TerminalRun{true, total, index, index, now, now, 0};
  } else {
    g_run.lastIndex = index;
    if (now - g_run.lastLine < kLineInterval) return;
    g_run.lastLine = now;
  }
  char text[160];
  int width = vexo_FormatTerminalProgress({index, total, g_run.firstIndex, now - g_run.start}, text,
                                          sizeof text);
  // A shorter line blanks out what is left of the longer one before it.
  const int pad = g_run.width > width ? g_run.width - width : 0;
  std::printf("%s%*s\r", text, pad, "");
  g_run.width = width + pad;
  std::fflush(stdout);
}

}  // namespace

int vexo_FormatTerminalProgress(const VexoProgressLine& line, char* text, std::size_t size) {
  const int percent = vexo_ProgressPercent(line.index, line.total);
  int used = std::snprintf(text, size, " %ld / %ld (%d%%) ", static_cast<long>(line.index),
                           static_cast<long>(line.total), percent);
  const uint32_t done = line.index > line.firstIndex ? line.index - line.firstIndex : 0;
  if (done == 0 || line.elapsed < 0.5 || used < 0 || static_cast<std::size_t>(used) >= size) {
    return used;
  }
  const double bytesPerSecond = static_cast<double>(done) * 512.0 / line.elapsed;
  const uint32_t left = line.total > line.index ? line.total - line.index : 0;
  char duration[32];
  vexo_FormatDuration(static_cast<double>(left) * 512.0 / bytesPerSecond, duration, sizeof duration);
  const int more = std::snprintf(text + used, size - static_cast<std::size_t>(used),
                                 " %.1f KB/s  %s left ", bytesPerSecond / 1024.0, duration);
  return more < 0 ? used : std::min(used + more, static_cast<int>(size) - 1);
}

void vexo_PrintProgress(uint32_t index, uint32_t total) {
  if (g_quiet) return;
  if (isatty(STDOUT_FILENO)) {
    PrintTerminalProgress(index, total);
    return;
  }
  const int percent = vexo_ProgressPercent(index, total);
  std::printf(" %ld / %ld (%d%%) \r", static_cast<long>(index), static_cast<long>(total), percent);
  std::fflush(stdout);
}

void vexo_EndProgressLine() {
  if (g_run.width > kDoneWidth && isatty(STDOUT_FILENO)) {
    std::printf("%*s\r", g_run.width, "");
    std::fflush(stdout);
  }
  g_run = TerminalRun{};
}

void vexo_SetProgressQuiet(bool quiet) { g_quiet = quiet; }
bool vexo_ProgressQuiet() { return g_quiet; }
void vexo_SetProgressClock(double (*clock)()) { g_clock = clock; }

float vexo_TransferRate(uint32_t total, std::time_t elapsed, bool zeroBelowOneSecond) {
  if (elapsed <= 0) {
    if (zeroBelowOneSecond) return 0.0f;
    elapsed = 1;
  }
  // In floating point: total x 4096 exceeds 32 bits from 512 MiB on.
  const double bits = static_cast<double>(total) * 4096.0;
  return static_cast<float>(bits / static_cast<double>(elapsed));
}

float vexo_TransferRateFine(uint32_t total, double elapsedSeconds) {
  const double seconds = elapsedSeconds > 1e-6 ? elapsedSeconds : 1e-6;
  return static_cast<float>(static_cast<double>(total) * 4096.0 / seconds);
}

int vexo_ProgressPercent(uint32_t index, uint32_t total) {
  // In whole numbers: 29 of 100 is 29 %, never 28 by a rounding of 0.29.
  if (total == 0) return 0;
  return static_cast<int>(static_cast<uint64_t>(index) * 100u / total);
}
