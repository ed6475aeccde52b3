#include "host/block_copy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/copy_map.h"
#include "host/host_files.h"
#include "host/pauses.h"
#include "host/progress.h"
#include "base/sector_math.h"

namespace {

uint32_t g_failFrom = 0;     // 0: the seam is off
uint32_t g_writesSeen = 0;
bool g_lost = false;         // failing writes report success instead
uint32_t g_readsFailFrom = 0;  // 0: the read seam is off
uint32_t g_readsSeen = 0;

// Buffers for direct I/O start on a page boundary.
constexpr std::size_t kAlignment = 4096;
struct FreeAligned {
  void operator()(uint8_t* p) const { std::free(p); }
};
using AlignedBlock = std::unique_ptr<uint8_t[], FreeAligned>;

// A block of `sectors` sectors (a whole number of pages), or empty.
AlignedBlock NewBlock(uint32_t sectors) {
  const std::size_t bytes = (static_cast<std::size_t>(sectors) * SECTOR_SIZE + kAlignment - 1) /
                            kAlignment * kAlignment;
  return AlignedBlock(static_cast<uint8_t*>(std::aligned_alloc(kAlignment, bytes)));
}

using Clock = std::chrono::steady_clock;

// The progress lines of one copy: every tenth sector as the sectors go
// (the image file's lines, exactly), or at most ten a second at block starts.
struct Progress {
  const VexoBlockCopy& copy;
  uint32_t total;
  bool printedAny = false;
  Clock::time_point last{};

  // Lines for the sectors from `first` up to `end` that were begun.
  void Cover(uint32_t first, uint32_t end) {
    if (!copy.progress || first >= end) return;
    if (!copy.throttled) {
      for (uint32_t i = (first + 9) / 10 * 10; i < end; i += 10) vexo_PrintProgress(i, total);
      return;
    }
    const Clock::time_point now = Clock::now();
    if (printedAny && now - last < std::chrono::milliseconds(100)) return;
    printedAny = true;
    last = now;
    vexo_PrintProgress(first, total);
  }
};

uint64_t ByteOffset(uint32_t sector) { return static_cast<uint64_t>(sector) * SECTOR_SIZE; }

// Whole sectors of `count` that lie on the card from `sector` on.
uint32_t SectorsOnCard(const VexoBlockCopy& copy, uint32_t sector, uint32_t count) {
  if (copy.cardBytes == 0) return count;
  const uint64_t cardSectors = copy.cardBytes / SECTOR_SIZE;
  if (sector >= cardSectors) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(count, cardSectors - sector));
}

// pwrite/pread until done or failed; the bytes moved.
template <typename Call>
std::size_t MoveAll(Call call, uint8_t* bytes, std::size_t count, uint64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t moved = call(bytes + done, count - done, static_cast<off_t>(offset + done));
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    done += static_cast<std::size_t>(moved);
  }
  return done;
}

uint32_t WriteSectors(const VexoBlockCopy& copy, uint32_t sector, uint8_t* bytes, uint32_t count) {
  const uint32_t allowed = vexo_SectorWritesAllowed(SectorsOnCard(copy, sector, count));
  const uint32_t kept = vexo_SectorWritesKept(allowed);
  const std::size_t written = MoveAll(
      [&](uint8_t* p, std::size_t n, off_t at) { return pwrite(copy.fd, p, n, at); }, bytes,
      static_cast<std::size_t>(kept) * SECTOR_SIZE, ByteOffset(sector));
  return static_cast<uint32_t>(written / SECTOR_SIZE) + (allowed - kept);
}

// Sectors read in full; on an image file the part past its end reads as zeros.
uint32_t ReadSectors(const VexoBlockCopy& copy, uint32_t sector, uint8_t* bytes, uint32_t count) {
  uint32_t wanted = SectorsOnCard(copy, sector, count);
  if (g_readsFailFrom != 0) {
    const uint32_t left = g_readsSeen + 1 >= g_readsFailFrom ? 0 : g_readsFailFrom - 1 - g_readsSeen;
    wanted = std::min(wanted, left);
    g_readsSeen += wanted;
  }
  const std::size_t size = static_cast<std::size_t>(wanted) * SECTOR_SIZE;
  errno = 0;
  const std::size_t got = MoveAll(
      [&](uint8_t* p, std::size_t n, off_t at) { return pread(copy.fd, p, n, at); }, bytes, size,
      ByteOffset(sector));
  if (got < size && copy.cardBytes == 0 && errno == 0) {
    std::memset(bytes + got, 0, size - got);
    return wanted;
  }
  return static_cast<uint32_t>(got / SECTOR_SIZE);
}

// The block loop of a copy in either direction. `step` moves one block of
// `count` sectors from copy index `first` through `bytes`, prints its
// progress lines, sets *moved to the sectors the card took or gave in full,
// and returns 0 or a failure that ends the copy at once; fewer sectors moved
// than asked end it with `cardError`.
template <typename Step>
VexoResult CopyBlocks(const VexoBlockCopy& copy, VexoResult cardError, Step step) {
  const uint32_t total = BytesToSectors(copy.length);
  const AlignedBlock block = NewBlock(VEXO_COPY_BLOCK_SECTORS);
  if (!block) return -VEXO_ERROR_PPA_MEMORY_ALLOC;
  Progress progress{copy, total};
  for (uint32_t first = 0; first < total;) {
    const uint32_t count = std::min(VEXO_COPY_BLOCK_SECTORS, total - first);
    *copy.index = first;
    uint32_t moved = 0;
    const VexoResult result = step(progress, first, count, block.get(), &moved);
    if (result != 0) return result;
    if (moved < count) {
      *copy.index = first + moved;
      return cardError;
    }
    first += count;
    *copy.index = first - 1;
    if (*copy.stop || vexo_StopRequested()) return -VEXO_ERROR_TRANSFER_STOPPED;
  }
  return 0;
}

}  // namespace

VexoResult vexo_CopyHostToCard(const VexoBlockCopy& copy, FILE* host) {
  return CopyBlocks(copy, copy.writeError, [&](Progress& progress, uint32_t first, uint32_t count,
                                               uint8_t* bytes, uint32_t* written) {
    // The copy's bytes in this block; fewer from the host file means it shrank.
    const uint64_t wanted = std::min<uint64_t>(ByteOffset(count), copy.length - ByteOffset(first));
    if (!vexo_ReadHostBlocks(host, bytes, count, static_cast<uint32_t>(wanted))) {
      return -VEXO_ERROR_FILE_READ;
    }
    *written = WriteSectors(copy, copy.startSector + first, bytes, count);
    // A resumable copy claims sectors only once they are on the device.
    if (*written > 0 && vexo_WriteMapArmed() && fdatasync(copy.fd) == 0) {
      vexo_NoteSectorOnCard(copy.startSector + first + *written - 1);
    }
    progress.Cover(first, first + std::min(*written + 1, count));
    return 0;
  });
}

VexoResult vexo_CopyCardToHost(const VexoBlockCopy& copy, FILE* host) {
  return CopyBlocks(copy, copy.readError, [&](Progress& progress, uint32_t first, uint32_t count,
                                              uint8_t* bytes, uint32_t* read) {
    *read = ReadSectors(copy, copy.startSector + first, bytes, count);
    progress.Cover(first, first + std::min(*read + 1, count));
    // The sectors read in full go to the host file even when a later one failed.
    const uint64_t wanted = static_cast<uint64_t>(copy.length) - ByteOffset(first);
    const std::size_t size = static_cast<std::size_t>(std::min(wanted, ByteOffset(*read)));
    return vexo_WriteHostBytes(host, bytes, size) ? 0 : -VEXO_ERROR_FILE_WRITE;
  });
}

VexoResult vexo_CompareHostWithCard(const VexoBlockCopy& copy, FILE* host) {
  const uint32_t total = BytesToSectors(copy.length);
  const AlignedBlock fromHost = NewBlock(VEXO_COPY_BLOCK_SECTORS);
  const AlignedBlock fromCard = NewBlock(VEXO_COPY_BLOCK_SECTORS);
  if (!fromHost || !fromCard) return -VEXO_ERROR_PPA_MEMORY_ALLOC;
  for (uint32_t first = 0; first < total;) {
    const uint32_t count = std::min(VEXO_COPY_BLOCK_SECTORS, total - first);
    const uint64_t wanted = std::min<uint64_t>(ByteOffset(count), copy.length - ByteOffset(first));
    if (!vexo_ReadHostBlocks(host, fromHost.get(), count, static_cast<uint32_t>(wanted))) {
      return -VEXO_ERROR_FILE_READ;
    }
    if (ReadSectors(copy, copy.startSector + first, fromCard.get(), count) < count) {
      return copy.readError;
    }
    if (std::memcmp(fromHost.get(), fromCard.get(), ByteOffset(count)) != 0) {
      return -VEXO_ERROR_VERIFY_FAILED;
    }
    first += count;
    if (*copy.stop || vexo_StopRequested()) return -VEXO_ERROR_TRANSFER_STOPPED;
  }
  return 0;
}

VexoResult vexo_ReadBackSectors(int fd, uint32_t sector, uint32_t count, const uint8_t* expected) {
  const AlignedBlock block = NewBlock(count);
  if (!block) return -VEXO_ERROR_PPA_MEMORY_ALLOC;
  const std::size_t size = static_cast<std::size_t>(count) * SECTOR_SIZE;
  const std::size_t got = MoveAll(
      [&](uint8_t* p, std::size_t n, off_t at) { return pread(fd, p, n, at); }, block.get(), size,
      ByteOffset(sector));
  if (got < size) return -VEXO_ERROR_ROS_READ;
  return std::memcmp(block.get(), expected, size) == 0 ? 0 : -VEXO_ERROR_VERIFY_FAILED;
}

void vexo_SetSectorReadFailure(uint32_t k) {
  g_readsFailFrom = k;
  g_readsSeen = 0;
}

void vexo_SetSectorWriteFailure(uint32_t k, bool lost) {
  g_failFrom = k;
  g_writesSeen = 0;
  g_lost = lost;
}

namespace {

// Counts up to n writes before the k-th; the number counted.
uint32_t TakeWrites(uint32_t n) {
  if (g_failFrom == 0) return n;
  const uint32_t left = g_writesSeen + 1 >= g_failFrom ? 0 : g_failFrom - 1 - g_writesSeen;
  const uint32_t taken = std::min(n, left);
  g_writesSeen += taken;
  return taken;
}

}  // namespace

uint32_t vexo_SectorWritesAllowed(uint32_t n) { return g_lost ? n : TakeWrites(n); }

uint32_t vexo_SectorWritesKept(uint32_t n) { return g_lost ? TakeWrites(n) : n; }
