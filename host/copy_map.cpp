#include "host/copy_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "base/result_codes.h"

namespace {

constexpr uint64_t kSector = 512;

struct Armed {
  bool on = false;
  std::string path;
  VexoCopyMap map;
  std::vector<uint8_t> prefill;
  std::size_t checkpoint = 0;
  FILE* file = nullptr;
  std::size_t sinceCheckpoint = 0;
};
Armed g_armed;

// A map's text, flushed to the disk under a temporary name and renamed over
// the old map.
bool WriteMapText(const std::string& path, const char* text) {
  const std::string temporary = path + ".new";
  FILE* out = std::fopen(temporary.c_str(), "w");
  if (out == nullptr) return false;
  const bool written = std::fputs(text, out) >= 0 && std::fflush(out) == 0 &&
                       fdatasync(fileno(out)) == 0;
  const bool closed = std::fclose(out) == 0;
  if (!(written && closed) || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool WriteMap(const std::string& path, const VexoCopyMap& map) {
  char text[160];
  std::snprintf(text, sizeof text,
                "vexo copy map 1\ndone %" PRIu32 "\nlength %" PRIu32 "\ncard %" PRIu32
                "\nheader %016" PRIx64 "\n",
                map.done, map.length, map.cardSize, map.headerSum);
  return WriteMapText(path, text);
}

// The sectors now on the disk, then the map that claims them.
void Checkpoint() {
  FILE* file = g_armed.file;
  if (std::fflush(file) != 0 || fdatasync(fileno(file)) != 0) return;
  const long at = std::ftell(file);
  if (at < 0) return;
  g_armed.map.done = static_cast<uint32_t>(static_cast<uint64_t>(at) / kSector);
  WriteMap(vexo_MapPath(g_armed.path.c_str()), g_armed.map);
  g_armed.sinceCheckpoint = 0;
}

}  // namespace

std::string vexo_PartPath(const char* path) { return std::string(path) + ".part"; }
std::string vexo_MapPath(const char* path) { return vexo_PartPath(path) + ".map"; }

bool vexo_CanResumeInto(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return errno == ENOENT;
  return S_ISREG(info.st_mode);
}

bool vexo_LoadCopyMap(const char* path, VexoCopyMap* map) {
  FILE* in = std::fopen(vexo_MapPath(path).c_str(), "r");
  if (in == nullptr) return false;
  VexoCopyMap read;
  const int fields = std::fscanf(in, "vexo copy map 1\ndone %" SCNu32 "\nlength %" SCNu32
                                     "\ncard %" SCNu32 "\nheader %" SCNx64,
                                 &read.done, &read.length, &read.cardSize, &read.headerSum);
  std::fclose(in);
  if (fields != 4) return false;
  struct stat info {};
  if (stat(vexo_PartPath(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (static_cast<uint64_t>(info.st_size) < read.done * kSector) return false;
  if (static_cast<uint64_t>(read.done) * kSector > read.length) return false;
  *map = read;
  return true;
}

void vexo_ArmResumableTarget(const char* path, const VexoCopyMap& map, const uint8_t* prefill,
                             std::size_t prefillBytes, std::size_t checkpoint) {
  g_armed = Armed{};
  g_armed.on = true;
  g_armed.path = path;
  g_armed.map = map;
  g_armed.prefill.assign(prefill, prefill + prefillBytes);
  g_armed.checkpoint = checkpoint;
}

void vexo_DisarmResumableTarget() { g_armed = Armed{}; }

bool vexo_ResumableArmedFor(const char* path) {
  return g_armed.on && g_armed.file == nullptr && g_armed.path == path;
}

VexoResult vexo_OpenResumableTarget(FILE** file) {
  *file = nullptr;
  const std::string part = vexo_PartPath(g_armed.path.c_str());
  const int fd = open(part.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -VEXO_ERROR_FILE_CREATE;
  const uint64_t keep = static_cast<uint64_t>(g_armed.map.done) * kSector;
  FILE* out = fdopen(fd, "r+b");
  if (out == nullptr) {
    close(fd);
    return -VEXO_ERROR_FILE_CREATE;
  }
  if (ftruncate(fd, static_cast<off_t>(keep)) != 0 || fseeko(out, static_cast<off_t>(keep), SEEK_SET) != 0) {
    std::fclose(out);
    return -VEXO_ERROR_FILE_CREATE;
  }
  // The card's first bytes that were read already go in without a second read.
  if (keep < g_armed.prefill.size()) {
    const std::size_t count = g_armed.prefill.size() - static_cast<std::size_t>(keep);
    if (std::fwrite(g_armed.prefill.data() + keep, 1, count, out) != count) {
      std::fclose(out);
      return -VEXO_ERROR_FILE_WRITE;
    }
  }
  g_armed.file = out;
  *file = out;
  return 0;
}

bool vexo_IsResumableTarget(const FILE* file) { return g_armed.on && file != nullptr && file == g_armed.file; }

void vexo_NoteResumableWrite(std::size_t count) {
  g_armed.sinceCheckpoint += count;
  if (g_armed.sinceCheckpoint >= g_armed.checkpoint) Checkpoint();
}

VexoResult vexo_CloseResumableTarget(FILE* file, VexoResult result) {
  const bool synced = std::fflush(file) == 0 && fdatasync(fileno(file)) == 0;
  if (result == 0 && !synced) result = -VEXO_ERROR_FILE_WRITE;
  if (result != 0 && synced) Checkpoint();
  const bool closed = std::fclose(file) == 0;
  if (result == 0 && !closed) result = -VEXO_ERROR_FILE_WRITE;
  const std::string path = g_armed.path;
  if (result == 0) {
    if (std::rename(vexo_PartPath(path.c_str()).c_str(), path.c_str()) != 0) {
      result = -VEXO_ERROR_FILE_WRITE;
    } else {
      unlink(vexo_MapPath(path.c_str()).c_str());
    }
  }
  g_armed = Armed{};
  return result;
}

// ---- Copies to the card ------------------------------------------------------

namespace {

struct ArmedWrite {
  bool on = false;
  std::string path;
  VexoWriteMap map;
  uint32_t checkpoint = 0;
  uint32_t saved = 0;  // map.done as last saved
};
ArmedWrite g_write;

}  // namespace

std::string vexo_WriteMapPath(const char* path) { return std::string(path) + ".write.map"; }

uint64_t vexo_MapChecksum(const uint8_t* bytes, std::size_t count) {
  uint64_t sum = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < count; ++i) sum = (sum ^ bytes[i]) * 0x100000001b3ull;
  return sum;
}

bool vexo_StampWriteMap(const char* path, VexoWriteMap* map) {
  struct stat info {};
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  map->fileSize = static_cast<uint64_t>(info.st_size);
  map->fileTime = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

bool vexo_LoadWriteMap(const char* path, VexoWriteMap* map) {
  FILE* in = std::fopen(vexo_WriteMapPath(path).c_str(), "r");
  if (in == nullptr) return false;
  VexoWriteMap read;
  const int fields = std::fscanf(in, "vexo write map 1\ndone %" SCNu32 "\nlength %" SCNu32
                                     "\ncard %" SCNu32 "\nfile %" SCNu64 "\ntime %" SCNd64
                                     "\nheader %" SCNx64,
                                 &read.done, &read.length, &read.cardSize, &read.fileSize,
                                 &read.fileTime, &read.headerSum);
  std::fclose(in);
  if (fields != 6) return false;
  if (static_cast<uint64_t>(read.done) * kSector > static_cast<uint64_t>(read.length) + kSector - 1) {
    return false;
  }
  *map = read;
  return true;
}

bool vexo_SaveWriteMap(const char* path, const VexoWriteMap& map) {
  char text[256];
  std::snprintf(text, sizeof text,
                "vexo write map 1\ndone %" PRIu32 "\nlength %" PRIu32 "\ncard %" PRIu32
                "\nfile %" PRIu64 "\ntime %" PRId64 "\nheader %016" PRIx64 "\n",
                map.done, map.length, map.cardSize, map.fileSize, map.fileTime, map.headerSum);
  return WriteMapText(vexo_WriteMapPath(path), text);
}

void vexo_RemoveWriteMap(const char* path) { unlink(vexo_WriteMapPath(path).c_str()); }

void vexo_ArmWriteMap(const char* path, const VexoWriteMap& map, uint32_t checkpoint) {
  g_write = ArmedWrite{true, path, map, checkpoint == 0 ? 1 : checkpoint, map.done};
}

VexoWriteMap vexo_DisarmWriteMap() {
  const VexoWriteMap map = g_write.map;
  if (g_write.on && map.done != g_write.saved) vexo_SaveWriteMap(g_write.path.c_str(), map);
  g_write = ArmedWrite{};
  return map;
}

bool vexo_WriteMapArmed() { return g_write.on; }

void vexo_NoteSectorOnCard(uint32_t sector) {
  if (!g_write.on) return;
  // A card may still be programming the sector it took last: the map claims
  // the sectors before it.
  if (sector <= g_write.map.done) return;
  g_write.map.done = sector;
  if (sector - g_write.saved >= g_write.checkpoint &&
      vexo_SaveWriteMap(g_write.path.c_str(), g_write.map)) {
    g_write.saved = sector;
  }
}
