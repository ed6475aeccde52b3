#include "media/song_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

namespace {

constexpr const char* kRecordMagic = "vexo prepared song 1";
constexpr std::size_t kRecordMaxBytes = 4096;
constexpr const char* kTempPrefix = ".tmp-";
constexpr time_t kStaleTempSeconds = 24 * 60 * 60;

std::atomic<unsigned> tempCounter{0};

bool ValidKey(const std::string& key) {
  if (key.empty() || key.size() > 200 || key[0] == '.') return false;
  return std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The size and CRC-32 of a file's bytes.
bool SumFile(const std::string& path, uint64_t* size, uint32_t* crc) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE_LE);
  std::vector<uint8_t> buffer(1 << 16);
  uint32_t sum = UINT32_MAX;
  uint64_t total = 0;
  ssize_t got;
  while ((got = read(fd, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    sum = av_crc(table, sum, buffer.data(), static_cast<std::size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  close(fd);
  if (got < 0) return false;
  *size = total;
  *crc = sum ^ UINT32_MAX;
  return true;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::array<char, kRecordMaxBytes + 1> buffer;
  const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
  std::fclose(file);
  if (got > kRecordMaxBytes) return false;
  text->assign(buffer.data(), got);
  return true;
}

std::string Record(const std::string& key, uint64_t size, uint32_t crc, const std::string& note) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "size %" PRIu64 "\ncrc32 %08" PRIx32 "\n", size, crc);
  return std::string(kRecordMagic) + "\nkey " + key + "\n" + numbers + "note " + note + "\n";
}

// The record's note when it is the record of `key` with this size and CRC.
bool CheckRecord(const std::string& text, const std::string& key, uint64_t size, uint32_t crc,
                 std::string* note) {
  const std::string head = Record(key, size, crc, "");
  const std::string prefix = head.substr(0, head.size() - 1);  // up to "note "
  if (text.compare(0, prefix.size(), prefix) != 0 || text.empty() || text.back() != '\n') return false;
  *note = text.substr(prefix.size(), text.size() - prefix.size() - 1);
  return note->find('\n') == std::string::npos;
}

bool WriteFileAtomically(const std::string& dir, const std::string& path, const std::string& text) {
  std::string temp;
  int fd;
  if (!media_CacheTemp(dir, &temp, &fd)) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (close(fd) != 0 || !ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

bool MakeFolders(const std::string& dir) {
  for (std::size_t at = 1; at <= dir.size(); ++at) {
    if (at == dir.size() || dir[at] == '/') {
      const std::string part = dir.substr(0, at);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st {};
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct Entry {
  std::string stem;  // the key
  uint64_t bytes;
  timespec used;
};

// Drops the entries used longest ago (never `keep`) while the folder holds
// more than `limit` bytes, and temporary files a cut left behind long ago.
void Trim(const std::string& dir, const std::string& keep, uint64_t limit) {
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return;
  std::vector<Entry> entries;
  uint64_t total = 0;
  const time_t now = std::time(nullptr);
  while (const dirent* item = readdir(folder)) {
    const std::string name = item->d_name;
    struct stat st {};
    if (lstat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (name.rfind(kTempPrefix, 0) == 0) {
      if (now - st.st_mtime > kStaleTempSeconds) unlink((dir + "/" + name).c_str());
      continue;
    }
    total += static_cast<uint64_t>(st.st_size);
    if (EndsWith(name, ".mp3")) entries.push_back({name.substr(0, name.size() - 4), static_cast<uint64_t>(st.st_size), st.st_mtim});
  }
  closedir(folder);
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec : a.used.tv_nsec < b.used.tv_nsec;
  });
  for (const Entry& entry : entries) {
    if (total <= limit) break;
    if (entry.stem == keep) continue;
    unlink((dir + "/" + entry.stem + ".sum").c_str());
    if (unlink((dir + "/" + entry.stem + ".mp3").c_str()) == 0) total -= entry.bytes;
  }
}

}  // namespace

std::string media_CacheDir(const std::string& configured) {
  if (!configured.empty()) return configured;
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/vexo";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/vexo";
  return "";
}

bool media_CacheFind(const std::string& dir, const std::string& key, std::string* path, std::string* note) {
  if (dir.empty() || !ValidKey(key)) return false;
  const std::string bytesPath = dir + "/" + key + ".mp3";
  const std::string recordPath = dir + "/" + key + ".sum";
  std::string record;
  if (!ReadSmallFile(recordPath, &record)) return false;
  uint64_t size = 0;
  uint32_t crc = 0;
  if (!SumFile(bytesPath, &size, &crc)) return false;
  if (!CheckRecord(record, key, size, crc, note)) {
    unlink(bytesPath.c_str());
    unlink(recordPath.c_str());
    return false;
  }
  utimensat(AT_FDCWD, bytesPath.c_str(), nullptr, 0);
  *path = bytesPath;
  return true;
}

bool media_CacheTemp(const std::string& dir, std::string* tempPath, int* fd) {
  if (dir.empty() || !MakeFolders(dir)) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = dir + "/" + kTempPrefix + std::to_string(getpid()) + "-" +
                             std::to_string(tempCounter++);
    *fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (*fd >= 0) {
      *tempPath = path;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool media_CacheStore(const std::string& dir, const std::string& key, const std::string& tempPath,
                      const std::string& note, uint64_t limit, std::string* path) {
  uint64_t size = 0;
  uint32_t crc = 0;
  const std::string bytesPath = dir + "/" + key + ".mp3";
  // The bytes go into place before their record: a cut between the two
  // leaves an entry without a record, which is never used.
  const bool ok = ValidKey(key) && note.find('\n') == std::string::npos && SumFile(tempPath, &size, &crc) &&
                  rename(tempPath.c_str(), bytesPath.c_str()) == 0 &&
                  WriteFileAtomically(dir, dir + "/" + key + ".sum", Record(key, size, crc, note));
  if (!ok) {
    unlink(tempPath.c_str());
    return false;
  }
  Trim(dir, key, limit);
  *path = bytesPath;
  return true;
}
