#include "host/sector_writes.h"

#include <cstring>
#include <new>

#include "host/pauses.h"

namespace {

// The writes from index `begin` that continue one ascending run; returns
// the index behind the run.
std::size_t RunEnd(const std::vector<SectorWrite>& writes, std::size_t begin) {
  std::size_t end = begin + 1;
  while (end < writes.size() && writes[end].sector == writes[end - 1].sector + 1) ++end;
  return end;
}

VexoResult WriteRuns(const std::vector<SectorWrite>& writes, const VexoRunWriter& writeRun) {
  for (std::size_t begin = 0; begin < writes.size();) {
    const std::size_t end = RunEnd(writes, begin);
    const uint32_t first = writes[begin].sector;
    const uint32_t stop = writes[end - 1].sector + 1;
    std::vector<uint8_t> image;
    try {
      image.assign(static_cast<std::size_t>(stop) * SECTOR_SIZE, 0);
    } catch (const std::bad_alloc&) {
      return -VEXO_ERROR_PPA_MEMORY_ALLOC;
    }
    for (std::size_t i = begin; i < end; ++i) {
      std::memcpy(image.data() + static_cast<std::size_t>(writes[i].sector) * SECTOR_SIZE,
                  writes[i].bytes.data(), SECTOR_SIZE);
    }
    const VexoResult result = writeRun(first, stop, image);
    if (result != 0) return result;
    begin = end;
  }
  return 0;
}

}  // namespace

VexoResult vexo_WriteSectorList(const std::vector<SectorWrite>& writes, const VexoRunWriter& writeRun) {
  return vexo_RunShielded([&] { return WriteRuns(writes, writeRun); });
}
