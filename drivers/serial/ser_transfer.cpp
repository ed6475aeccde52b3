#include "drivers/serial/ser_transfer.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "drivers/serial/ser_protocol.h"
#include "host/copy_map.h"
#include "host/host_files.h"
#include "host/pauses.h"
#include "host/progress.h"
#include "host/sector_writes.h"
#include "base/sector_math.h"
#include "host/trace.h"

namespace {

constexpr int kAttempts = 4;

// Plain counters would do for this program's one thread; atomics keep them
// safe for a caller that watches a transfer from another thread.
std::atomic<uint32_t> g_sectorIndex{0};
std::atomic<uint32_t> g_byteLength{0};
std::atomic<uint32_t> g_totalSectors{0};
std::atomic<uint32_t> g_currentSector{0};
std::atomic<float> g_rate{0.0f};
std::atomic<int> g_stop{0};
SectorBuffer g_transferBuffer{};
SectorBuffer g_stagingBuffer{};

// Up to four tries of one exchange; every failed try, the last one too, is
// followed by a resynchronisation whose result is not used. A lost line
// ends the tries at once.
template <typename Exchange>
VexoResult TryWithResync(int32_t port, int32_t slot, const char* retryTrace, Exchange exchange) {
  VexoResult result = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    result = exchange();
    if (result == 0 || result == -VEXO_ERROR_LINE_LOST) return result;
    vexo_Trace("%s", retryTrace);
    ser_Resync(port, slot);
  }
  return result;
}

// A broken stream is restarted by request: up to four cycles of a
// resynchronisation and, when it found the player, the exchange. A failed
// resynchronisation's result counts as the cycle's result.
template <typename Exchange>
VexoResult RestartAfterResync(int32_t port, int32_t slot, Exchange exchange) {
  VexoResult result = 0;
  for (int cycle = 0; cycle < kAttempts; ++cycle) {
    result = ser_Resync(port, slot);
    if (result == -VEXO_ERROR_LINE_LOST) return result;
    if (result != 0) continue;
    result = exchange();
    if (result == 0 || result == -VEXO_ERROR_LINE_LOST) return result;
  }
  return result;
}

void StageSector(const std::vector<uint8_t>& image, uint32_t sector) {
  std::memcpy(g_stagingBuffer.data(), image.data() + static_cast<std::size_t>(sector) * SECTOR_SIZE,
              SECTOR_SIZE);
}

// Appends the bytes of sector index i of a copy from the card to the host file.
bool AppendSector(FILE* host, uint32_t index) {
  const uint32_t count = vexo_BytesOfSector(index, g_totalSectors, g_byteLength);
  return vexo_WriteHostBytes(host, g_transferBuffer.data(), count);
}

// The start of a file copy: no rate yet, a quiet line (a stop ends the pause
// and the copy), the player found again, the stop flag cleared.
VexoResult BeginCopy(int32_t port, int32_t slot) {
  g_rate = 0.0f;
  vexo_DelayOutsideWrite(150);
  if (vexo_StopRequested()) return -VEXO_ERROR_TRANSFER_STOPPED;
  uint32_t cardSize = 0;
  const VexoResult result = ser_MultiSearch(port, slot, &cardSize, 5);
  if (result != 0) return result;
  g_stop = 0;
  return 0;
}

}  // namespace

void ser_ResetTransferCounters() {
  g_sectorIndex = 0;
  g_byteLength = 0;
  g_totalSectors = 0;
}

VexoResult ser_WriteMultiSectorsRtr(int32_t port, int32_t slot, uint32_t first, uint32_t end,
                                    const std::vector<uint8_t>& image) {
  if (first >= end) return 0;
  // The image must hold every sector asked for; nothing is sent otherwise.
  if (static_cast<uint64_t>(end) * SECTOR_SIZE > image.size()) return -VEXO_ERROR_CMD_WRITE;
  StageSector(image, first);
  VexoResult result = TryWithResync(port, slot, "ser_WriteMultiSectorsRtr: First retry\n", [&] {
    return ser_WriteSector(port, first, g_stagingBuffer);
  });
  if (result != 0) {
    vexo_Trace("ser_WriteMultiSectorsRtr: First ERROR %i\n", static_cast<int>(first));
    return result;
  }
  for (uint32_t sector = first + 1; sector < end; ++sector) {
    StageSector(image, sector);
    result = ser_WriteNextSector(port, g_stagingBuffer);
    if (result == 0) continue;
    vexo_Trace("ser_WriteMultiSectorsRtr: Next retry\n");
    result = RestartAfterResync(port, slot,
                                [&] { return ser_WriteSector(port, sector, g_stagingBuffer); });
    if (result != 0) {
      vexo_Trace("ser_WriteMultiSectorsRtr: Next ERROR %i\n", static_cast<int>(sector));
      return result;
    }
  }
  vexo_DelayOutsideWrite(150);
  return 0;
}

VexoResult ser_WriteSectors(int32_t port, int32_t slot, const std::vector<SectorWrite>& writes) {
  vexo_Delay(150);
  uint32_t size = 0;
  const VexoResult found = ser_MultiSearch(port, slot, &size, 5);
  if (found < 0) return found;
  return vexo_WriteSectorList(writes, [&](uint32_t first, uint32_t end,
                                          const std::vector<uint8_t>& image) {
    return ser_WriteMultiSectorsRtr(port, slot, first, end, image);
  });
}

VexoResult ser_WriteFile(int32_t port, int32_t slot, uint32_t startSector, const char* path,
                         uint32_t space, int progress, int sameOffset) {
  vexo_Trace("ser_WriteFile started for %s\n", path != nullptr ? path : "");
  VexoResult result = BeginCopy(port, slot);
  if (result != 0) return result;
  g_currentSector = 0;
  const std::time_t startTime = std::time(nullptr);

  FILE* host = nullptr;
  uint32_t length = 0;
  result = vexo_OpenHostSource(path, space, &host, &length);
  if (result != 0) return result;
  if (sameOffset == 1) {
    vexo_SkipHostSource(host, static_cast<uint64_t>(startSector) * SECTOR_SIZE, &length);
  }
  g_byteLength = length;
  const uint32_t total = BytesToSectors(length);
  g_totalSectors = total;

  if (total > 0) {
    if (!vexo_ReadHostBlock(host, g_transferBuffer.data(), vexo_BytesOfSector(0, total, length))) {
      std::fclose(host);
      return -VEXO_ERROR_FILE_READ;
    }
    result = TryWithResync(port, slot, "ser_WriteFile: ser_WriteSector Retry\n", [&] {
      return ser_WriteSector(port, startSector, g_transferBuffer);
    });
    if (result != 0) {
      std::fclose(host);
      vexo_Trace("ser_WriteFile (1): Error %i\n", static_cast<int>(result));
      return result;
    }
    g_currentSector = startSector;
    vexo_NoteSectorOnCard(startSector);
    for (uint32_t i = 1; i < total; ++i) {
      g_sectorIndex = i;
      if (!vexo_ReadHostBlock(host, g_transferBuffer.data(), vexo_BytesOfSector(i, total, length))) {
        std::fclose(host);
        return -VEXO_ERROR_FILE_READ;
      }
      if (progress && i % 10 == 0) vexo_PrintProgress(i, total);
      result = ser_WriteNextSector(port, g_transferBuffer);
      if (result != 0) {
        vexo_Trace("ser_WriteFile: ser_WriteNextSector Retry\n");
        result = RestartAfterResync(port, slot, [&] {
          return ser_WriteSector(port, startSector + i, g_transferBuffer);
        });
        if (result != 0) {
          std::fclose(host);
          vexo_Trace("ser_WriteFile: ERROR NextSector: %i\n", static_cast<int>(i));
          return result;
        }
      }
      g_currentSector = startSector + i;
      vexo_NoteSectorOnCard(startSector + i);
      if (g_stop || vexo_StopRequested()) {
        std::fclose(host);
        return -VEXO_ERROR_TRANSFER_STOPPED;
      }
    }
    g_sectorIndex = total;
  }

  const std::time_t elapsed = std::time(nullptr) - startTime;
  vexo_Trace("\nTime :%li\n", static_cast<long>(elapsed));
  g_rate = vexo_TransferRate(total, elapsed, false);
  vexo_Trace("%.0f Bits/Sec\n", static_cast<double>(g_rate.load()));
  std::fclose(host);
  vexo_Trace("Close File\n");
  vexo_DelayOutsideWrite(150);
  vexo_Trace("ser_WriteFile ended for\n");
  return 0;
}

VexoResult ser_ReadFile(int32_t port, int32_t slot, uint32_t startSector, uint32_t length,
                        const char* path, int progress) {
  g_sectorIndex = 0;
  VexoResult result = BeginCopy(port, slot);
  if (result != 0) return result;
  const std::time_t startTime = std::time(nullptr);

  FILE* host = nullptr;
  result = vexo_CreateHostTarget(path, &host);
  if (result != 0) return result;
  g_byteLength = length;
  const uint32_t total = BytesToSectors(length);
  g_totalSectors = total;

  if (total > 0) {
    result = TryWithResync(port, slot, "ser_ReadFile: ser_ReadeSector FIRST retry\n", [&] {
      return ser_ReadSector(port, startSector, g_transferBuffer, 1);
    });
    if (result != 0) {
      vexo_Trace("Read FIRST ERROR : %i\n", static_cast<int>(startSector));
      return vexo_CloseHostTarget(host, result);
    }
    if (!AppendSector(host, 0)) return vexo_CloseHostTarget(host, -VEXO_ERROR_FILE_WRITE);
    for (uint32_t i = 1; i < total; ++i) {
      g_sectorIndex = i;
      if (progress && i % 10 == 0) vexo_PrintProgress(i, total);
      result = ser_ReadSector(port, startSector + i, g_transferBuffer, 0);
      if (result != 0) {
        vexo_Trace("ser_ReadFile: ser_ReadSector NEXT rety\n");
        result = RestartAfterResync(port, slot, [&] {
          return ser_ReadSector(port, startSector + i, g_transferBuffer, 1);
        });
        if (result != 0) {
          vexo_Trace("Read NEXT ERROR : %i\n", static_cast<int>(i));
          return vexo_CloseHostTarget(host, result);
        }
      }
      if (!AppendSector(host, i)) return vexo_CloseHostTarget(host, -VEXO_ERROR_FILE_WRITE);
      if (g_stop || vexo_StopRequested()) {
        return vexo_CloseHostTarget(host, -VEXO_ERROR_TRANSFER_STOPPED);
      }
    }
    g_sectorIndex = total;
  }

  const std::time_t elapsed = std::time(nullptr) - startTime;
  const float rate = vexo_TransferRate(total, elapsed, true);
  result = vexo_CloseHostTarget(host, 0);
  // A copy whose host file could not be completed has no rate.
  if (result == 0) g_rate = rate;
  return result;
}

float ser_GetTransferRate() { return g_rate; }

int ser_GetProgress() { return vexo_ProgressPercent(g_sectorIndex, g_totalSectors); }

int ser_StopTransfer() {
  g_stop = 1;
  return 0;
}

uint32_t ser_GetCurrentSector() { return g_currentSector; }
