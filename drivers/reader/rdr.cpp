#include "drivers/reader/rdr.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/block_copy.h"
#include "host/host_files.h"
#include "host/port_lock.h"
#include "host/progress.h"
#include "host/sector_writes.h"
#include "base/sector_math.h"

namespace {

int g_fd = -1;
// The same device opened for direct I/O (O_DIRECT), so that copies move
// whole blocks without the page cache and read-backs come from the card;
// -1 where direct I/O is refused (a regular file on some file systems).
int g_directFd = -1;
uint64_t g_cardBytes = 0;
bool g_allowRegularFile = false;
volatile int g_stop = 0;  // set by rdr_StopTransfer, also from a signal handler
uint32_t g_sectorIndex = 0;
uint32_t g_totalSectors = 0;
float g_rate = 0.0f;

// The header area and one sector of title data: anything smaller holds no card.
constexpr uint64_t kMinCardBytes = 0x10000 + SECTOR_SIZE;

bool IsAcceptedKind(const struct stat& info) {
  return S_ISBLK(info.st_mode) || (g_allowRegularFile && S_ISREG(info.st_mode));
}

VexoResult OpenFailure(int error) {
  if (error == EBUSY) return -VEXO_ERROR_PORT_IN_USE;
  if (error == ENOMEDIUM) return -VEXO_ERROR_NO_CARD;
  if (error == EACCES || error == EPERM) return -VEXO_ERROR_COM_OPEN;
  return -VEXO_ERROR_FILE_NOT_EXIST;
}

VexoResult Refuse(VexoResult result) {
  rdr_Close();
  return result;
}

VexoResult Flush() { return fsync(g_fd) == 0 ? 0 : -VEXO_ERROR_ROS_WRITE; }

bool OnCard(uint32_t sector) {
  return static_cast<uint64_t>(sector) + 1 <= g_cardBytes / SECTOR_SIZE;
}

// Copies and read-backs go through the direct descriptor where there is one.
int CopyFd() { return g_directFd >= 0 ? g_directFd : g_fd; }

VexoBlockCopy DeviceCopy(uint32_t startSector, uint32_t length, int progress) {
  return {.fd = CopyFd(), .cardBytes = g_cardBytes, .startSector = startSector, .length = length,
          .progress = progress, .throttled = true, .stop = &g_stop, .index = &g_sectorIndex};
}

// Opens the device a second time for direct I/O, without O_EXCL: the first
// descriptor already holds the device exclusively. Kept only when it is the
// same device.
void OpenDirect(const char* path, int flags, const struct stat& opened) {
  const int fd = open(path, (flags & ~O_EXCL) | O_DIRECT);
  struct stat again;
  if (fd >= 0 && fstat(fd, &again) == 0 && again.st_dev == opened.st_dev &&
      again.st_ino == opened.st_ino && again.st_rdev == opened.st_rdev) {
    g_directFd = fd;
  } else if (fd >= 0) {
    close(fd);
  }
}

// Flushes, then reads sectors first..first+count-1 back from the card.
VexoResult FlushAndReadBack(uint32_t first, uint32_t count, const uint8_t* expected) {
  const VexoResult flushed = Flush();
  return flushed != 0 ? flushed : vexo_ReadBackSectors(CopyFd(), first, count, expected);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

VexoResult rdr_Open(const char* path) {
  if (g_fd >= 0) rdr_Close();
  if (path == nullptr || *path == '\0') return -VEXO_ERROR_FILE_NOT_EXIST;
  // Looked at before it is opened, so that no FIFO blocks and no terminal
  // or other device sees an open; checked again on the open descriptor.
  struct stat info;
  if (stat(path, &info) != 0) return OpenFailure(errno);
  if (!IsAcceptedKind(info)) return -VEXO_ERROR_NOT_BLOCK_DEVICE;
  // O_EXCL on a block device fails with EBUSY while it is mounted or held.
  const int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | (S_ISBLK(info.st_mode) ? O_EXCL : 0);
  int openFlags = flags;
  g_fd = open(path, openFlags);
  // A write-protected card still lists and reads; its writes fail.
  if (g_fd < 0 && errno == EROFS) {
    openFlags = (flags & ~O_RDWR) | O_RDONLY;
    g_fd = open(path, openFlags);
  }
  if (g_fd < 0) return OpenFailure(errno);
  struct stat opened;
  if (fstat(g_fd, &opened) != 0 || !IsAcceptedKind(opened) || opened.st_dev != info.st_dev ||
      opened.st_ino != info.st_ino || opened.st_rdev != info.st_rdev) {
    return Refuse(-VEXO_ERROR_NOT_BLOCK_DEVICE);
  }
  // Another vexo on the same device (O_EXCL alone does not cover a file).
  const VexoResult locked = vexo_LockDescriptor(g_fd);
  if (locked != 0) return Refuse(locked);
  uint64_t bytes = 0;
  if (S_ISBLK(opened.st_mode)) {
    if (ioctl(g_fd, BLKGETSIZE64, &bytes) != 0) return Refuse(OpenFailure(errno));
  } else {
    bytes = static_cast<uint64_t>(opened.st_size);
  }
  if (bytes >= RDR_MAX_CARD_BYTES) return Refuse(-VEXO_ERROR_CARD_TOO_LARGE);
  if (bytes < kMinCardBytes) return Refuse(-VEXO_ERROR_NO_CARD);
  g_cardBytes = bytes / SECTOR_SIZE * SECTOR_SIZE;
  OpenDirect(path, openFlags, opened);
  vexo_ProtectHostFile(g_fd);  // no copy from the card may write onto it
  g_totalSectors = 0;
  g_sectorIndex = 0;
  g_rate = 0.0f;
  return 0;
}

VexoResult rdr_Close() {
  if (g_directFd >= 0) close(g_directFd);
  if (g_fd >= 0) {
    vexo_UnprotectHostFile(g_fd);
    close(g_fd);  // also releases the lock
  }
  g_directFd = -1;
  g_fd = -1;
  g_cardBytes = 0;
  return 0;
}

VexoResult rdr_Search(uint32_t* cardSize) {
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  *cardSize = static_cast<uint32_t>(g_cardBytes);
  return 0;
}

VexoResult rdr_ReadSector(uint32_t sector, uint8_t* buffer) {
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  if (!OnCard(sector)) return -VEXO_ERROR_ROS_READ;
  const off_t at = static_cast<off_t>(static_cast<uint64_t>(sector) * SECTOR_SIZE);
  return pread(g_fd, buffer, SECTOR_SIZE, at) == static_cast<ssize_t>(SECTOR_SIZE)
             ? 0
             : -VEXO_ERROR_ROS_READ;
}

VexoResult rdr_WriteSector(uint32_t sector, const uint8_t* data) {
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  if (!OnCard(sector) || vexo_SectorWritesAllowed(1) == 0) return -VEXO_ERROR_ROS_WRITE;
  if (vexo_SectorWritesKept(1) == 0) return 0;
  const off_t at = static_cast<off_t>(static_cast<uint64_t>(sector) * SECTOR_SIZE);
  return pwrite(g_fd, data, SECTOR_SIZE, at) == static_cast<ssize_t>(SECTOR_SIZE)
             ? 0
             : -VEXO_ERROR_ROS_WRITE;
}

VexoResult rdr_WriteSectorFirst(uint32_t sector, const SectorBuffer& buffer) {
  const VexoResult result = rdr_WriteSector(sector, buffer.data());
  return result != 0 ? result : FlushAndReadBack(sector, 1, buffer.data());
}

VexoResult rdr_WriteSectorNext(uint32_t sector, const SectorBuffer& buffer) {
  return rdr_WriteSectorFirst(sector, buffer);
}

VexoResult rdr_WriteMultiSectors(uint32_t first, uint32_t end, const std::vector<uint8_t>& image) {
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  for (uint32_t sector = first; sector < end; ++sector) {
    const uint64_t offset = static_cast<uint64_t>(sector) * SECTOR_SIZE;
    if (offset + SECTOR_SIZE > image.size()) return -VEXO_ERROR_ROS_WRITE;
    const VexoResult result = rdr_WriteSector(sector, image.data() + offset);
    if (result != 0) return result;
  }
  // On the device, and read back from it, before the caller writes the next
  // range: the header writer's order of sectors holds on the card, not only
  // in the cache.
  if (first >= end) return Flush();
  return FlushAndReadBack(first, end - first,
                          image.data() + static_cast<std::size_t>(first) * SECTOR_SIZE);
}

VexoResult rdr_WriteFile(uint32_t startSector, const char* path, uint32_t space, int progress,
                         int sameOffset) {
  g_stop = 0;
  g_rate = 0.0f;
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  const auto start = std::chrono::steady_clock::now();
  FILE* host = nullptr;
  uint32_t length = 0;
  const VexoResult opened =
      vexo_OpenHostSource(path, space, &host, &length);
  if (opened != 0) return opened;
  if (sameOffset == 1) {
    vexo_SkipHostSource(host, static_cast<uint64_t>(startSector) * SECTOR_SIZE, &length);
  }
  g_totalSectors = BytesToSectors(length);
  g_sectorIndex = 0;
  const off_t begin = ftello(host);
  const VexoBlockCopy copy = DeviceCopy(startSector, length, progress);
  VexoResult result = vexo_CopyHostToCard(copy, host);
  if (result == 0) result = Flush();
  // Read back from the card once it holds everything, so that a reader or
  // card that dropped a write is found before anything relies on the data.
  if (result == 0) result = fseeko(host, begin, SEEK_SET) == 0 ? 0 : -VEXO_ERROR_FILE_READ;
  if (result == 0) result = vexo_CompareHostWithCard(copy, host);
  std::fclose(host);
  if (result != 0) return result;
  g_sectorIndex = g_totalSectors;
  g_rate = vexo_TransferRateFine(g_totalSectors, SecondsSince(start));
  return 0;
}

VexoResult rdr_ReadFile(uint32_t startSector, uint32_t length, const char* path, int progress) {
  g_stop = 0;
  g_sectorIndex = 0;
  g_rate = 0.0f;
  if (g_fd < 0) return -VEXO_ERROR_FILE_NOT_OPEN;
  const auto start = std::chrono::steady_clock::now();
  FILE* host = nullptr;
  const VexoResult created = vexo_CreateHostTarget(path, &host);
  if (created != 0) return created;
  g_totalSectors = BytesToSectors(length);
  VexoResult result = vexo_CopyCardToHost(DeviceCopy(startSector, length, progress), host);
  result = vexo_CloseHostTarget(host, result);
  if (result != 0) return result;
  g_sectorIndex = g_totalSectors;
  g_rate = vexo_TransferRateFine(g_totalSectors, SecondsSince(start));
  return 0;
}

float rdr_GetTransferRate() { return g_rate; }

int rdr_GetProgress() { return vexo_ProgressPercent(g_sectorIndex, g_totalSectors); }

int rdr_StopTransfer() {
  g_stop = 1;
  return 0;
}

void rdr_AllowRegularFile(bool allow) { g_allowRegularFile = allow; }

VexoResult rdr_WriteSectors(const std::vector<SectorWrite>& writes) {
  return vexo_WriteSectorList(writes, [](uint32_t first, uint32_t end,
                                         const std::vector<uint8_t>& image) {
    return rdr_WriteMultiSectors(first, end, image);
  });
}
