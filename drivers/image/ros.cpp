#include "drivers/image/ros.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/block_copy.h"
#include "host/host_files.h"
#include "host/port_lock.h"
#include "host/progress.h"
#include "host/sector_writes.h"
#include "base/sector_math.h"

namespace {

FILE* g_image = nullptr;
uint32_t g_imageLength = 0;
volatile int g_stop = 0;  // set by ros_StopTransfer, also from a signal handler
uint32_t g_sectorIndex = 0;
uint32_t g_transferLength = 0;
uint32_t g_totalSectors = 0;
uint8_t g_stagingBuffer[SECTOR_SIZE];

off_t SectorOffset(uint32_t sector) {
  return static_cast<off_t>(static_cast<uint64_t>(sector) * SECTOR_SIZE);
}

// The image's side of a file copy: no end (past it the image reads as zeros
// and grows when written), a progress line before every tenth sector.
VexoBlockCopy ImageCopy(uint32_t startSector, uint32_t length, int progress) {
  return {.fd = fileno(g_image), .startSector = startSector, .length = length,
          .progress = progress, .stop = &g_stop, .index = &g_sectorIndex};
}

}  // namespace

VexoResult ros_Open(const char* path) {
  if (path == nullptr) return -VEXO_ERROR_FILE_NOT_EXIST;
  if (g_image != nullptr) ros_Close();
  // Only a regular file can be an image; a missing one is created. It is
  // locked before anything is read or written: a second user of the image is
  // refused with it untouched.
  int fd = -1;
  const VexoResult opened =
      vexo_OpenRegularFile(path, O_RDWR | O_CREAT, -VEXO_ERROR_FILE_NOT_EXIST, &fd);
  if (opened != 0) return opened;
  if (vexo_LockDescriptor(fd) != 0) {
    close(fd);
    return -VEXO_ERROR_PORT_IN_USE;
  }
  const off_t length = lseek(fd, 0, SEEK_END);
  g_imageLength = length <= 0 ? 0 : static_cast<uint32_t>(std::min<off_t>(length, 0xFFFFFFFF));
  g_image = fdopen(fd, "r+b");
  if (g_image == nullptr) {
    close(fd);
    return -VEXO_ERROR_FILE_NOT_EXIST;
  }
  vexo_ProtectHostFile(fd);
  // Unbuffered, so that a sector write the host refuses fails in that write
  // and no failed data lingers to be reported (or lost) later.
  std::setvbuf(g_image, nullptr, _IONBF, 0);
  if (g_imageLength != 0) return 0;

  uint8_t blank[SECTOR_SIZE];
  std::memset(blank, 0xFF, sizeof blank);
  for (uint32_t sector = 0; sector < ROS_FORMAT_SECTORS; ++sector) {
    const VexoResult result = ros_WriteSector(sector, blank);
    if (result != 0) return result;
  }
  std::fflush(g_image);
  return 0;
}

VexoResult ros_Close() {
  if (g_image != nullptr) {
    vexo_UnprotectHostFile(fileno(g_image));
    std::fclose(g_image);
    g_image = nullptr;
  }
  return 0;
}

VexoResult ros_Search(uint32_t* cardSize) {
  *cardSize = ROS_CARD_SIZE;
  return 0;
}

VexoResult ros_ResetCard() { return 0; }

VexoResult ros_ReadSector(uint32_t sector, uint8_t* buffer) {
  if (g_image == nullptr) return -VEXO_ERROR_FILE_NOT_OPEN;
  std::fflush(g_image);
  if (fseeko(g_image, SectorOffset(sector), SEEK_SET) != 0) return -VEXO_ERROR_ROS_READ;
  const std::size_t got = std::fread(buffer, 1, SECTOR_SIZE, g_image);
  if (std::ferror(g_image) != 0) {
    std::clearerr(g_image);
    return -VEXO_ERROR_ROS_READ;
  }
  // At or past the image's end the card reads as zeros, as a gap does.
  if (got < SECTOR_SIZE) std::memset(buffer + got, 0, SECTOR_SIZE - got);
  return 0;
}

VexoResult ros_WriteSector(uint32_t sector, const uint8_t* data) {
  if (g_image == nullptr) return -VEXO_ERROR_FILE_NOT_OPEN;
  if (vexo_SectorWritesAllowed(1) == 0) return -VEXO_ERROR_ROS_WRITE;
  std::fflush(g_image);
  if (fseeko(g_image, SectorOffset(sector), SEEK_SET) != 0) return -VEXO_ERROR_ROS_WRITE;
  const std::size_t put = std::fwrite(data, 1, SECTOR_SIZE, g_image);
  if (put < SECTOR_SIZE || std::ferror(g_image) != 0) {
    std::clearerr(g_image);
    return -VEXO_ERROR_ROS_WRITE;
  }
  return 0;
}

VexoResult ros_WriteSectorFirst(uint32_t sector, const SectorBuffer& buffer) {
  return ros_WriteSector(sector, buffer.data());
}

VexoResult ros_WriteSectorNext(uint32_t sector, const SectorBuffer& buffer) {
  return ros_WriteSector(sector, buffer.data());
}

VexoResult ros_WriteMultiSectors(uint32_t first, uint32_t end, const std::vector<uint8_t>& image) {
  for (uint32_t sector = first; sector < end; ++sector) {
    const uint64_t offset = static_cast<uint64_t>(sector) * SECTOR_SIZE;
    if (offset + SECTOR_SIZE > image.size()) return -VEXO_ERROR_ROS_WRITE;
    std::memcpy(g_stagingBuffer, image.data() + offset, SECTOR_SIZE);
    const VexoResult result = ros_WriteSector(sector, g_stagingBuffer);
    if (result != 0) return result;
  }
  return 0;
}

VexoResult ros_WriteFile(uint32_t startSector, const char* path, uint32_t limit, int progress) {
  g_stop = 0;
  if (g_image == nullptr) return -VEXO_ERROR_FILE_NOT_OPEN;
  FILE* host = nullptr;
  const VexoResult opened = vexo_OpenHostSource(path, limit, &host, &g_transferLength);
  if (opened != 0) return opened;
  g_totalSectors = BytesToSectors(g_transferLength);
  g_sectorIndex = 0;
  const VexoResult result =
      vexo_CopyHostToCard(ImageCopy(startSector, g_transferLength, progress), host);
  std::fclose(host);
  if (result == 0) g_sectorIndex = g_totalSectors;
  return result;
}

VexoResult ros_ReadFile(uint32_t startSector, uint32_t length, const char* path, int progress) {
  g_sectorIndex = 0;
  g_stop = 0;
  if (g_image == nullptr) return -VEXO_ERROR_FILE_NOT_OPEN;
  FILE* host = nullptr;
  const VexoResult created = vexo_CreateHostTarget(path, &host);
  if (created != 0) return created;
  g_transferLength = length;
  g_totalSectors = BytesToSectors(length);
  const VexoResult result = vexo_CopyCardToHost(ImageCopy(startSector, length, progress), host);
  if (result == 0) g_sectorIndex = g_totalSectors;
  return vexo_CloseHostTarget(host, result);
}

float ros_GetTransferRate() { return 0.0f; }

int ros_GetProgress() { return vexo_ProgressPercent(g_sectorIndex, g_totalSectors); }

int ros_StopTransfer() {
  g_stop = 1;
  return 0;
}

VexoResult ros_WriteSectors(const std::vector<SectorWrite>& writes) {
  return vexo_WriteSectorList(writes, [](uint32_t first, uint32_t end,
                                         const std::vector<uint8_t>& image) {
    return ros_WriteMultiSectors(first, end, image);
  });
}
