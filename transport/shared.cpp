#include "transport/shared.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

namespace {

VexoDelayHook g_delayHook = nullptr;
VexoTraceSink g_traceSink = nullptr;
uint64_t g_delayUnitsTotal = 0;

}  // namespace

void vexo_Delay(uint32_t units) {
  g_delayUnitsTotal += units;
  if (g_delayHook != nullptr) {
    g_delayHook(units);
    return;
  }
  // usleep takes at most a second's worth reliably; sleep in pieces.
  uint64_t micros = static_cast<uint64_t>(units) * 10000u;
  while (micros > 0) {
    const uint64_t step = micros > 500000u ? 500000u : micros;
    usleep(static_cast<useconds_t>(step));
    micros -= step;
  }
}

void vexo_SetDelayHook(VexoDelayHook hook) { g_delayHook = hook; }
uint64_t vexo_DelayUnitsTotal() { return g_delayUnitsTotal; }
void vexo_ResetDelayUnitsTotal() { g_delayUnitsTotal = 0; }

uint32_t BytesToSectors(uint32_t bytes) {
  return bytes / SECTOR_SIZE + (bytes % SECTOR_SIZE != 0 ? 1u : 0u);
}

uint64_t PowerOfTwo(uint32_t n) {
  uint64_t value = 1;
  for (uint32_t i = 0; i < n && i < 63; ++i) value *= 2;
  return value;
}

uint32_t GetMP3FileSize(const char* path) {
  if (path == nullptr) return 0;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    vexo_Trace("GetMP3FileSize: error fopen\n");
    return 0;
  }
  uint32_t size = 0;
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    // A folder opens for reading on Linux but holds no bytes to copy.
    vexo_Trace("GetMP3FileSize: error fopen\n");
  } else if (fseeko(file, 0, SEEK_END) != 0) {
    vexo_Trace("GetMP3FileSize: error fgetpos\n ");
  } else {
    const off_t end = ftello(file);
    if (end < 0) {
      vexo_Trace("GetMP3FileSize: error fgetpos\n ");
    } else if (static_cast<uint64_t>(end) > 0xFFFFFFFFull) {
      size = 0xFFFFFFFFu;
    } else {
      size = static_cast<uint32_t>(end);
    }
  }
  std::fclose(file);
  return size;
}

void vexo_Trace(const char* format, ...) {
  if (g_traceSink == nullptr) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_traceSink(text);
}

void vexo_SetTraceSink(VexoTraceSink sink) { g_traceSink = sink; }

void vexo_PrintProgress(uint32_t index, uint32_t total) {
  const int percent = total == 0 ? 0 : static_cast<int>(100.0 / total * index);
  std::printf(" %ld / %ld (%d%%) \r", static_cast<long>(index), static_cast<long>(total), percent);
  std::fflush(stdout);
}

const char* const VEXO_TRUNCATION_LINE_PARALLEL = " - File size truncated to card space left -\n ";
const char* const VEXO_TRUNCATION_LINE_PLAIN = "- File size truncated to card space left -\n ";

void vexo_PrintText(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

VexoResult vexo_OpenHostSource(const char* path, uint32_t space, int progress,
                               const char* truncationLine, FILE** file,
                               uint32_t* length) {
  *file = nullptr;
  uint32_t size = GetMP3FileSize(path);
  if (size == 0) return -VEXO_ERROR_FILE_SIZE_ZERO;
  if (size > space) {
    size = space;
    if (progress) vexo_PrintText(truncationLine);
  }
  FILE* opened = std::fopen(path, "rb");
  if (opened == nullptr) return -VEXO_ERROR_FILE_NOT_EXIST;
  *file = opened;
  *length = size;
  return 0;
}

void vexo_SkipHostSource(FILE* file, uint64_t offset, uint32_t* length) {
  fseeko(file, static_cast<off_t>(offset), SEEK_SET);
  *length = offset >= *length ? 0 : *length - static_cast<uint32_t>(offset);
}

bool vexo_ReadHostBlock(FILE* file, uint8_t* block) {
  const std::size_t got = std::fread(block, 1, SECTOR_SIZE, file);
  if (got < SECTOR_SIZE) std::memset(block + got, 0, SECTOR_SIZE - got);
  return std::ferror(file) == 0;
}

VexoResult vexo_CreateHostTarget(const char* path, FILE** file) {
  *file = path != nullptr ? std::fopen(path, "w+b") : nullptr;
  return *file != nullptr ? 0 : -VEXO_ERROR_FILE_CREATE;
}

bool vexo_WriteHostBytes(FILE* file, const uint8_t* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, file) == count && std::ferror(file) == 0;
}

VexoResult vexo_CloseHostTarget(FILE* file, VexoResult result) {
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if (result == 0 && !(flushed && closed)) return -VEXO_ERROR_FILE_WRITE;
  return result;
}

uint32_t vexo_BytesOfSector(uint32_t index, uint32_t total, uint32_t length) {
  const uint32_t remainder = length % SECTOR_SIZE;
  return (index + 1 == total && remainder != 0) ? remainder : SECTOR_SIZE;
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

int vexo_ProgressPercent(uint32_t index, uint32_t total) {
  if (total == 0) return 0;
  return static_cast<int>(static_cast<double>(index) / total * 100.0);
}
