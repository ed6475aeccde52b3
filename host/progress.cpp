#include "host/progress.h"

#include <cstdio>

void vexo_PrintProgress(uint32_t index, uint32_t total) {
  const int percent = vexo_ProgressPercent(index, total);
  std::printf(" %ld / %ld (%d%%) \r", static_cast<long>(index), static_cast<long>(total), percent);
  std::fflush(stdout);
}

const char* const VEXO_TRUNCATION_LINE_PARALLEL = " - File size truncated to card space left -\n ";
const char* const VEXO_TRUNCATION_LINE_PLAIN = "- File size truncated to card space left -\n ";

void vexo_PrintText(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

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
