#include "drivers/ppa/ppa.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>

#include "drivers/ppa/lpt.h"
#include "drivers/ppa/mmc_cmd.h"
#include "host/copy_map.h"
#include "host/host_files.h"
#include "host/pauses.h"
#include "host/port_lock.h"
#include "host/progress.h"
#include "host/sector_writes.h"
#include "base/sector_math.h"
#include "host/trace.h"

namespace {

// Bring-up state: one card per run.
uint32_t g_ocr = 0;
uint16_t g_rca = CARD_RCA;
RegisterImage g_cid{};
ResponseImage g_response{};  // every 48-bit response of the driver
DataRxState g_rx;            // the block under reception of a read

// Transfer state.
SectorBuffer g_sectorBuffer{};
uint32_t g_totalSectors = 0;
uint32_t g_sectorIndex = 0;
uint32_t g_transferLength = 0;
float g_rate = 0.0f;
std::atomic<int> g_stop{0};  // set by ppa_StopTransfer, also from a signal handler
int g_lockFd = -1;           // the adapter address's lock while open
uint32_t g_currentSector = 0;
PpaTimeSource g_timeSource = nullptr;

constexpr int kFileRetries = 3;
constexpr int kSectorTries = 4;  // each sector of a header write

std::time_t Now() { return g_timeSource != nullptr ? g_timeSource() : std::time(nullptr); }

// Byte address of a sector; false when it does not fit the 32-bit argument
// (such a sector lies beyond any card this driver accepts).
bool SectorAddress(uint32_t sector, uint32_t* address) {
  const uint64_t bytes = static_cast<uint64_t>(sector) * SECTOR_SIZE;
  if (bytes > 0xFFFFFFFFull) return false;
  *address = static_cast<uint32_t>(bytes);
  return true;
}

void FinishRate(std::time_t start) {
  const std::time_t elapsed = Now() - start;
  vexo_Trace("\nTime :%li\n", static_cast<long>(elapsed));
  g_rate = vexo_TransferRate(g_totalSectors, elapsed, false);
}

// A fresh bring-up between two tries of a failed exchange, with the pauses
// around it: 0, or the bring-up's own code (positive) when no card came up,
// which ends the retries: another try could only fail for the same reason.
int32_t BringUpAgain(uint32_t before, uint32_t after) {
  vexo_Delay(before);
  const int32_t card = ppa_InitCard();
  if (card < 0) return -card;
  vexo_Delay(after);
  return 0;
}

// Repeats one block of a file copy after a fresh bring-up, at most three
// times; returns the last block result or the failed bring-up's.
template <typename Block>
int32_t RetryBlock(const char* retryTrace, Block block) {
  int32_t result = VEXO_ERROR_PPA_WRONG_DATA_CRC16;
  for (int retry = 0; retry < kFileRetries && result != 0; ++retry) {
    vexo_Trace("%s", retryTrace);
    const int32_t card = BringUpAgain(5, 1);
    if (card != 0) return card;
    result = block();
  }
  return result;
}

// The block of a file write, re-sent in a new multiple-block write.
int32_t RetryFileBlock(uint32_t address) {
  return RetryBlock("ppa_WriteFile retry\n", [&] {
    mmc_cmd25_(address, g_response);
    return mmc_cmd25_Data(g_sectorBuffer);
  });
}

// The block of a file read, read again in a new multiple-block read.
int32_t RetryReadBlock(uint32_t address) {
  return RetryBlock("ppa_ReadFile retry\n", [&] {
    int32_t result = mmc_cmd18_(address, g_response, g_sectorBuffer, g_rx);
    if (result == 0) result = mmc_cmd18_Data(g_sectorBuffer, g_rx);
    return result;
  });
}

}  // namespace

VexoResult ppa_Open(int32_t lpIndex) {
  // One user per port address (lp0 and lp1 share one), before the port is
  // touched.
  vexo_ReleaseNamed(&g_lockFd);
  char lockName[32];
  const bool parport = lpIndex >= VEXO_PARPORT_FIRST;
  // A ppdev device is opened first, so that a missing or refused one ends
  // the run before anything else is opened; its lock is named after it.
  if (parport) {
    lpt_SelectParport(lpIndex - VEXO_PARPORT_FIRST);
    std::snprintf(lockName, sizeof lockName, "vexo-parport%d.lock",
                  static_cast<int>(lpIndex - VEXO_PARPORT_FIRST));
  } else {
    std::snprintf(lockName, sizeof lockName, "vexo-lp-0x%x.lock",
                  static_cast<unsigned>(lpt_DataPortOf(lpIndex)));
  }
  const VexoResult locked = vexo_LockNamed(lockName, &g_lockFd);
  if (locked != 0) {
    lpt_ReleaseParport();
    return locked;
  }
  g_transferLength = 0;
  g_rate = 0.0f;
  if (!parport) lpt_SelectPort(lpIndex);
  ppa_Power(1);
  return 0;
}

void ppa_Close() {
  ppa_Power(0);
  lpt_ReleaseParport();
  vexo_ReleaseNamed(&g_lockFd);
}

int32_t ppa_InitCard() {  // capacity in bytes, or a negated code
  g_ocr = 0;
  g_rca = CARD_RCA;
  mmc_cmd0();
  vexo_Trace("CMD0\n");
  const uint32_t ocrArgument = OCR_WINDOW;
  vexo_Trace("CMD0 : ");
  for (int count = 1;; ++count) {
    const int32_t result = mmc_cmd1(ocrArgument, g_response, &g_ocr);
    vexo_Trace("ERROR : %i    OCR : %x\n", result, g_ocr);
    if (result != 0) return -result;
    if (count == 1001) return -VEXO_ERROR_PPA_TIMEOUT;
    if (vexo_StopNow()) return -VEXO_ERROR_TRANSFER_STOPPED;
    if ((g_ocr & OCR_READY_BIT) != 0) break;
  }
  vexo_Trace("CMD2 : ");
  int32_t result = mmc_cmd2(g_cid);
  if (result != 0) return -result;
  vexo_Trace("ERROR : %i\n", 0);
  vexo_Trace("CMD3 : ");
  result = mmc_cmd3(g_rca, g_response);
  vexo_Trace("ERROR : %i\n", result);
  if (result != 0) return -result;
  RegisterImage csd{};
  result = mmc_cmd9(g_rca, csd);
  if (result != 0) return -result;
  const uint64_t capacity = mmc_CardCapacity(csd);
  vexo_Trace("CMD7 : ");
  result = mmc_cmd7(g_rca, g_response);
  vexo_Trace("ERROR : %i\n", result);
  if (result != 0) return -result;
  vexo_Trace("CMD16: ");
  result = mmc_cmd16(SECTOR_SIZE, g_response);
  vexo_Trace("ERROR : %i\n", result);
  if (result != 0) return -result;
  // The card header holds the size as a positive 32-bit count of bytes.
  if (capacity > 0x7FFFFFFFull) return -VEXO_ERROR_CARD_TOO_LARGE;
  return static_cast<int32_t>(capacity);
}

VexoResult ppa_Search(uint32_t* cardSize, int tries) {
  int32_t result = ppa_InitCard();
  int left = tries - 1;
  // A card too large stays too large: retrying cannot change it.
  while (result < 0 && left > 0 && result != -VEXO_ERROR_CARD_TOO_LARGE && !vexo_StopNow()) {
    result = ppa_InitCard();
    --left;
  }
  if (left < 0) left = 0;
  vexo_Trace("PPA Search Retries left = %i\n", left);
  if (result == -VEXO_ERROR_PPA_TIMEOUT && !vexo_StopNow()) {
    lpt_WriteControl(LPT_CONTROL_SUPPLY_OFF);
    ppa_Power(1);
    vexo_Delay(30);
    result = ppa_InitCard();
  }
  if (result > 0) {
    *cardSize = static_cast<uint32_t>(result);
    return 0;
  }
  return result;
}

VexoResult ppa_ReadSector(uint32_t sector, SectorBuffer& buffer) {
  uint32_t address = 0;
  if (!SectorAddress(sector, &address)) return -VEXO_ERROR_CARD_FULL;
  int32_t result = mmc_cmd18_(address, g_response, buffer, g_rx);
  if (result != 0) {
    vexo_Trace("ppa_ReadSector, mmc_cmd18_ = %i\n", result);
    return -result;
  }
  result = mmc_cmd18_Data(buffer, g_rx);
  if (result != 0) {
    vexo_Trace("ppa_ReadSector, mmc_cmd18_Data = %i\n", result);
    return -result;
  }
  result = mmc_cmd12(g_response);
  // A failed stop does not fail the read: the block is in the buffer.
  if (result != 0) vexo_Trace("ppa_ReadSector, mmc_cmd12 = %i\n", result);
  return 0;
}

VexoResult ppa_ReadSectorRtr(int32_t /*port*/, uint32_t sector, SectorBuffer& buffer, int tries) {
  VexoResult result = 0;
  int left = tries;
  do {
    result = ppa_ReadSector(sector, buffer);
    --left;
    if (result != 0) {
      const int32_t card = BringUpAgain(5, 5);
      if (card != 0) {
        result = -card;
        break;
      }
    }
  } while (result != 0 && left > 0);
  vexo_Trace("Read Retries left = %i\n", left < 0 ? 0 : left);
  return result;
}

VexoResult ppa_WriteSector(uint32_t sector, const SectorBuffer& buffer, int withCommand) {
  if (withCommand == 1) {
    uint32_t address = 0;
    if (!SectorAddress(sector, &address)) return -VEXO_ERROR_CARD_FULL;
    const int32_t opened = mmc_cmd25_(address, g_response);
    if (opened != 0) return -opened;
  }
  return -mmc_cmd25_Data(buffer);
}

VexoResult ppa_WriteSectorFirstRtr(int32_t /*port*/, uint32_t sector, const SectorBuffer& buffer,
                                   int tries) {
  VexoResult result = 0;
  int attempts = 0;
  do {
    result = ppa_WriteSector(sector, buffer, 1);
    ++attempts;
    if (result != 0) {
      vexo_Trace("ppa_WriteSectorFirstRtr retry\n");
      const int32_t card = BringUpAgain(10, 10);
      if (card != 0) return -card;
    }
  } while (result != 0 && attempts < tries);
  return result;
}

VexoResult ppa_WriteSectorNextRtr(int32_t /*port*/, uint32_t sector, const SectorBuffer& buffer,
                                  int tries) {
  VexoResult result = ppa_WriteSector(sector, buffer, 0);
  for (int attempts = 1; result != 0 && attempts < tries; ++attempts) {
    vexo_Trace("ppa_WriteSectorNextRtr retry\n");
    const int32_t card = BringUpAgain(5, 1);
    if (card != 0) return -card;
    // A new multiple-block write opens at this very sector.
    result = ppa_WriteSector(sector, buffer, 1);
  }
  return result;
}

VexoResult ppa_WriteMultiSectorsRtr(int32_t port, uint32_t first, uint32_t end,
                                    const std::vector<uint8_t>& image) {
  SectorBuffer buffer{};
  for (uint32_t s = first; s < end; ++s) {
    std::memcpy(buffer.data(), image.data() + static_cast<std::size_t>(s) * SECTOR_SIZE,
                SECTOR_SIZE);
    const VexoResult result = s == first ? ppa_WriteSectorFirstRtr(port, s, buffer, kSectorTries)
                                         : ppa_WriteSectorNextRtr(port, s, buffer, kSectorTries);
    if (result != 0) return result;
  }
  return 0;
}

VexoResult ppa_WriteSectors(int32_t port, const std::vector<SectorWrite>& writes) {
  return vexo_WriteSectorList(writes, [&](uint32_t first, uint32_t end,
                                          const std::vector<uint8_t>& image) {
    return ppa_WriteMultiSectorsRtr(port, first, end, image);
  });
}

VexoResult ppa_WriteFile(int32_t /*port*/, uint32_t startSector, const char* path, uint32_t space,
                         int progress, int sameOffset) {
  g_stop = 0;
  g_currentSector = 0;
  const std::time_t start = Now();
  FILE* host = nullptr;
  const VexoResult opened = vexo_OpenHostSource(path, space, &host, &g_transferLength);
  if (opened != 0) return opened;
  if (sameOffset == 1) {
    vexo_SkipHostSource(host, static_cast<uint64_t>(startSector) * SECTOR_SIZE, &g_transferLength);
  }
  g_totalSectors = BytesToSectors(g_transferLength);
  uint32_t address = 0;
  if (!SectorAddress(startSector, &address)) {
    std::fclose(host);
    return -VEXO_ERROR_CARD_FULL;
  }
  const int32_t command = mmc_cmd25_(address, g_response);
  if (command != 0) {
    std::fclose(host);
    return -command;
  }
  for (g_sectorIndex = 0; g_sectorIndex < g_totalSectors; ++g_sectorIndex) {
    if (!vexo_ReadHostBlock(host, g_sectorBuffer.data(),
                            vexo_BytesOfSector(g_sectorIndex, g_totalSectors, g_transferLength))) {
      std::fclose(host);
      return -VEXO_ERROR_FILE_READ;
    }
    if (progress && g_sectorIndex % 10 == 0) vexo_PrintProgress(g_sectorIndex, g_totalSectors);
    const uint32_t sector = startSector + g_sectorIndex;
    int32_t result = mmc_cmd25_Data(g_sectorBuffer);
    if (result != 0) {
      uint32_t retryAddress = 0;
      result = SectorAddress(sector, &retryAddress) ? RetryFileBlock(retryAddress)
                                                    : VEXO_ERROR_CARD_FULL;
    }
    if (result != 0) {
      std::fclose(host);
      return -result;
    }
    g_currentSector = sector;
    vexo_NoteSectorOnCard(sector);
    if (g_stop || vexo_StopRequested()) {
      std::fclose(host);
      return -VEXO_ERROR_TRANSFER_STOPPED;
    }
  }
  // No stop command: the multiple-block write stays open.
  FinishRate(start);
  std::fclose(host);
  return 0;
}

VexoResult ppa_ReadFile(int32_t /*port*/, uint32_t startSector, uint32_t length, const char* path,
                        int progress) {
  g_stop = 0;
  const std::time_t start = Now();
  FILE* host = nullptr;
  const VexoResult created = vexo_CreateHostTarget(path, &host);
  if (created != 0) return created;
  g_totalSectors = BytesToSectors(length);
  g_sectorIndex = 0;
  // Nothing to copy: no read is opened, since a stop right behind its
  // response would come before the bus allows the next command.
  if (g_totalSectors == 0) {
    FinishRate(start);
    return vexo_CloseHostTarget(host, 0);
  }
  uint32_t address = 0;
  int32_t result = SectorAddress(startSector, &address)
                       ? mmc_cmd18_(address, g_response, g_sectorBuffer, g_rx)
                       : VEXO_ERROR_CARD_FULL;
  if (result != 0) {
    g_sectorIndex = 0;
    g_totalSectors = 0;
    return vexo_CloseHostTarget(host, -result);
  }
  for (g_sectorIndex = 0; g_sectorIndex < g_totalSectors; ++g_sectorIndex) {
    if (progress && g_sectorIndex % 10 == 0) vexo_PrintProgress(g_sectorIndex, g_totalSectors);
    result = mmc_cmd18_Data(g_sectorBuffer, g_rx);
    if (result != 0) {
      uint32_t retryAddress = 0;
      result = SectorAddress(startSector + g_sectorIndex, &retryAddress)
                   ? RetryReadBlock(retryAddress)
                   : VEXO_ERROR_CARD_FULL;
    }
    if (result != 0) {
      g_sectorIndex = 0;
      g_totalSectors = 0;
      return vexo_CloseHostTarget(host, -result);
    }
    const uint32_t count = vexo_BytesOfSector(g_sectorIndex, g_totalSectors, length);
    if (!vexo_WriteHostBytes(host, g_sectorBuffer.data(), count)) {
      mmc_cmd12(g_response);  // leave the card in transfer state
      return vexo_CloseHostTarget(host, -VEXO_ERROR_FILE_WRITE);
    }
    if (g_stop || vexo_StopRequested()) {
      return vexo_CloseHostTarget(host, -VEXO_ERROR_TRANSFER_STOPPED);
    }
  }
  mmc_cmd12(g_response);
  FinishRate(start);
  return vexo_CloseHostTarget(host, 0);
}

float ppa_GetTransferRate() { return g_rate; }
int ppa_GetProgress() { return vexo_ProgressPercent(g_sectorIndex, g_totalSectors); }

int ppa_StopTransfer() {
  g_stop = 1;
  return 0;
}

void ppa_ResetProgress() {
  g_sectorIndex = 0;
  g_totalSectors = 0;
}

uint32_t ppa_GetCurrentSector() { return g_currentSector; }
const std::array<uint8_t, 17>& ppa_CardId() { return g_cid; }
void ppa_SetTimeSource(PpaTimeSource source) { g_timeSource = source; }
