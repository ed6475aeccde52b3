#include "host/comparing_target.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/sector_math.h"

namespace {

struct Comparing {
  bool armed = false;
  std::string path;
  uint32_t listed = 0;
  FILE* file = nullptr;
  bool readFailed = false;
  int64_t lastDiffering = -1;  // the sector counted last, so none is counted twice
  VexoComparison found;
};
Comparing g_comparing;

void NoteDifference(uint32_t sector) {
  if (static_cast<int64_t>(sector) == g_comparing.lastDiffering) return;
  g_comparing.lastDiffering = sector;
  ++g_comparing.found.differing;
  if (g_comparing.found.first.size() < g_comparing.listed) g_comparing.found.first.push_back(sector);
}

}  // namespace

void vexo_ArmComparingTarget(const char* path, uint32_t listed) {
  if (g_comparing.file != nullptr) std::fclose(g_comparing.file);
  g_comparing = Comparing{};
  g_comparing.armed = true;
  g_comparing.path = path;
  g_comparing.listed = listed;
}

VexoComparison vexo_DisarmComparingTarget() {
  if (g_comparing.file != nullptr) std::fclose(g_comparing.file);
  const VexoComparison found = g_comparing.found;
  g_comparing = Comparing{};
  return found;
}

bool vexo_ComparingArmedFor(const char* path) {
  return g_comparing.armed && g_comparing.file == nullptr && path != nullptr &&
         g_comparing.path == path;
}

VexoResult vexo_OpenComparingTarget(FILE** file) {
  *file = std::fopen(g_comparing.path.c_str(), "rb");
  if (*file == nullptr) return -VEXO_ERROR_FILE_NOT_EXIST;
  g_comparing.file = *file;
  return 0;
}

bool vexo_IsComparingTarget(const FILE* file) {
  return file != nullptr && file == g_comparing.file;
}

bool vexo_CompareHostBytes(const uint8_t* bytes, std::size_t count) {
  uint8_t expected[SECTOR_SIZE];
  std::size_t done = 0;
  while (done < count) {
    // One piece per sector, whatever pieces the driver hands over.
    const uint64_t offset = g_comparing.found.bytes;
    const std::size_t piece =
        std::min<std::size_t>(count - done, SECTOR_SIZE - static_cast<std::size_t>(offset % SECTOR_SIZE));
    if (std::fread(expected, 1, piece, g_comparing.file) != piece) {
      g_comparing.readFailed = true;
      return false;
    }
    if (std::memcmp(expected, bytes + done, piece) != 0) {
      NoteDifference(static_cast<uint32_t>(offset / SECTOR_SIZE));
    }
    done += piece;
    g_comparing.found.bytes += piece;
  }
  return true;
}

VexoResult vexo_CloseComparingTarget(FILE* file, VexoResult result) {
  std::fclose(file);
  g_comparing.file = nullptr;
  g_comparing.armed = false;
  if (result == 0 && g_comparing.readFailed) result = -VEXO_ERROR_FILE_READ;
  if (result == -VEXO_ERROR_FILE_WRITE && g_comparing.readFailed) result = -VEXO_ERROR_FILE_READ;
  if (result == 0 && g_comparing.found.differing != 0) result = -VEXO_ERROR_CARD_DIFFERS;
  return result;
}
