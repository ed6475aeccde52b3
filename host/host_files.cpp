#include "host/host_files.h"
#include "host/comparing_target.h"
#include "host/copy_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "host/progress.h"
#include "host/trace.h"

VexoResult vexo_OpenRegularFile(const char* path, int flags, VexoResult openFailure, int* fd) {
  *fd = -1;
  if (path == nullptr) return openFailure;
  // Look before opening: a folder, FIFO, socket or device is never opened
  // with the caller's flags (opening some devices has effects of its own).
  struct stat info;
  if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return -VEXO_ERROR_NOT_REGULAR_FILE;
  // Without O_NONBLOCK a FIFO swapped in meanwhile would block the open.
  const int opened = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (opened < 0) return openFailure;
  if (fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(opened);
    return -VEXO_ERROR_NOT_REGULAR_FILE;
  }
  fcntl(opened, F_SETFL, fcntl(opened, F_GETFL) & ~O_NONBLOCK);
  *fd = opened;
  return 0;
}

VexoResult vexo_MeasureHostFile(const char* path, uint32_t* size) {
  *size = 0;
  int fd = -1;
  const VexoResult opened = vexo_OpenRegularFile(path, O_RDONLY, -VEXO_ERROR_FILE_NOT_EXIST, &fd);
  if (opened == -VEXO_ERROR_NOT_REGULAR_FILE) return opened;
  if (opened != 0) {
    vexo_Trace("GetMP3FileSize: error fopen\n");
    return opened;
  }
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    vexo_Trace("GetMP3FileSize: error fgetpos\n ");
  } else {
    *size = static_cast<uint64_t>(end) > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
  }
  close(fd);
  return 0;
}

uint32_t GetMP3FileSize(const char* path) {
  uint32_t size = 0;
  return vexo_MeasureHostFile(path, &size) == 0 ? size : 0;
}

namespace {

struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity&) const = default;
};

// The simulated player opens and closes its cards from its own thread.
std::mutex g_protectedMutex;
std::vector<FileIdentity> g_protected;

bool IdentityOf(int fd, FileIdentity* identity) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  *identity = FileIdentity{info.st_dev, info.st_ino};
  return true;
}

bool IsProtected(int fd) {
  FileIdentity identity;
  const std::lock_guard<std::mutex> lock(g_protectedMutex);
  return IdentityOf(fd, &identity) &&
         std::find(g_protected.begin(), g_protected.end(), identity) != g_protected.end();
}

}  // namespace

void vexo_ProtectHostFile(int fd) {
  FileIdentity identity;
  if (!IdentityOf(fd, &identity)) return;
  const std::lock_guard<std::mutex> lock(g_protectedMutex);
  g_protected.push_back(identity);
}

void vexo_UnprotectHostFile(int fd) {
  FileIdentity identity;
  if (!IdentityOf(fd, &identity)) return;
  const std::lock_guard<std::mutex> lock(g_protectedMutex);
  const auto found = std::find(g_protected.begin(), g_protected.end(), identity);
  if (found != g_protected.end()) g_protected.erase(found);
}

namespace {
bool g_cutExpected = false;
}  // namespace

void vexo_ExpectHostSourceCut() { g_cutExpected = true; }

VexoResult vexo_OpenHostSource(const char* path, uint32_t space, FILE** file, uint32_t* length) {
  *file = nullptr;
  const bool cutExpected = g_cutExpected;
  g_cutExpected = false;
  uint32_t size = 0;
  VexoResult result = vexo_MeasureHostFile(path, &size);
  if (result != 0) return result;
  if (size == 0) return -VEXO_ERROR_FILE_SIZE_ZERO;
  if (size > space) {
    if (!cutExpected) return -VEXO_ERROR_CARD_FULL;
    size = space;
  }
  int fd = -1;
  result = vexo_OpenRegularFile(path, O_RDONLY, -VEXO_ERROR_FILE_NOT_EXIST, &fd);
  if (result != 0) return result;
  FILE* opened = fdopen(fd, "rb");
  if (opened == nullptr) {
    close(fd);
    return -VEXO_ERROR_FILE_NOT_EXIST;
  }
  *file = opened;
  *length = size;
  return 0;
}

void vexo_SkipHostSource(FILE* file, uint64_t offset, uint32_t* length) {
  fseeko(file, static_cast<off_t>(offset), SEEK_SET);
  *length = offset >= *length ? 0 : *length - static_cast<uint32_t>(offset);
}

bool vexo_ReadHostBlock(FILE* file, uint8_t* block, uint32_t wanted) {
  return vexo_ReadHostBlocks(file, block, 1, wanted);
}

bool vexo_ReadHostBlocks(FILE* file, uint8_t* blocks, uint32_t count, uint32_t wanted) {
  const std::size_t size = static_cast<std::size_t>(count) * SECTOR_SIZE;
  const std::size_t got = std::fread(blocks, 1, size, file);
  if (got < size) std::memset(blocks + got, 0, size - got);
  return std::ferror(file) == 0 && got >= wanted;
}

namespace {

// The copy under way writes into a temporary file beside its target (one
// copy at a time). Its name is kept in a plain array as well, so that a
// signal handler can remove it.
FILE* g_targetFile = nullptr;
std::string g_targetPath;
char g_temporaryPath[4096] = "";
std::atomic<bool> g_haveTemporary{false};

void ForgetTemporary() {
  g_haveTemporary = false;
  g_temporaryPath[0] = '\0';
  g_targetFile = nullptr;
  g_targetPath.clear();
}

// Opens what is not a regular file (a FIFO, a device) for writing as it is.
VexoResult OpenDirectTarget(const char* path, FILE** file) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -VEXO_ERROR_FILE_CREATE;
  *file = fdopen(fd, "w+b");
  if (*file == nullptr) {
    close(fd);
    return -VEXO_ERROR_FILE_CREATE;
  }
  return 0;
}

}  // namespace

VexoResult vexo_CreateHostTarget(const char* path, FILE** file) {
  *file = nullptr;
  if (path == nullptr || *path == '\0') return -VEXO_ERROR_FILE_CREATE;
  // A verification reads the file it is compared with and writes nothing.
  if (vexo_ComparingArmedFor(path)) return vexo_OpenComparingTarget(file);
  // The identity check comes first: a target that is the open image itself
  // must keep every byte.
  const int probe = open(path, O_PATH | O_CLOEXEC);
  struct stat info {};
  const bool exists = probe >= 0 && fstat(probe, &info) == 0;
  const bool same = probe >= 0 && IsProtected(probe);
  if (probe >= 0) close(probe);
  if (same) return -VEXO_ERROR_SAME_FILE;
  if (exists && !S_ISREG(info.st_mode)) return OpenDirectTarget(path, file);
  if (exists && access(path, W_OK) != 0) return -VEXO_ERROR_FILE_CREATE;
  if (vexo_ResumableArmedFor(path)) return vexo_OpenResumableTarget(file);
  // A regular target (or a new one) is replaced only by a complete copy: the
  // copy goes into a temporary file in the same folder, renamed over the
  // target at the end. A symbolic link keeps pointing where it did.
  std::string target = path;
  if (exists) {
    char* real = realpath(path, nullptr);
    if (real == nullptr) return -VEXO_ERROR_FILE_CREATE;
    target = real;
    std::free(real);
  }
  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temporary = folder + "." + base + ".vexo-XXXXXX";
  if (temporary.size() >= sizeof g_temporaryPath) return -VEXO_ERROR_FILE_CREATE;
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return -VEXO_ERROR_FILE_CREATE;
  // The new file gets the target's permissions, or those a new file gets.
  mode_t mode = info.st_mode & 07777;
  if (!exists) {
    mode = umask(0);
    umask(mode);
    mode = 0666 & ~mode;
  }
  fchmod(fd, mode);
  FILE* opened = fdopen(fd, "w+b");
  if (opened == nullptr) {
    close(fd);
    unlink(temporary.c_str());
    return -VEXO_ERROR_FILE_CREATE;
  }
  std::memcpy(g_temporaryPath, temporary.c_str(), temporary.size() + 1);
  g_haveTemporary = true;
  g_targetFile = opened;
  g_targetPath = target;
  *file = opened;
  return 0;
}

bool vexo_WriteHostBytes(FILE* file, const uint8_t* bytes, std::size_t count) {
  if (vexo_IsComparingTarget(file)) return vexo_CompareHostBytes(bytes, count);
  const bool written = std::fwrite(bytes, 1, count, file) == count && std::ferror(file) == 0;
  if (written && vexo_IsResumableTarget(file)) vexo_NoteResumableWrite(count);
  return written;
}

VexoResult vexo_CloseHostTarget(FILE* file, VexoResult result) {
  if (vexo_IsComparingTarget(file)) return vexo_CloseComparingTarget(file, result);
  if (vexo_IsResumableTarget(file)) return vexo_CloseResumableTarget(file, result);
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if (result == 0 && !(flushed && closed)) result = -VEXO_ERROR_FILE_WRITE;
  if (file != g_targetFile || !g_haveTemporary) return result;
  // Only a complete copy takes the target's place; anything else leaves no
  // trace and the earlier file as it was.
  if (result == 0 && rename(g_temporaryPath, g_targetPath.c_str()) != 0) {
    result = -VEXO_ERROR_FILE_WRITE;
  }
  if (result != 0) unlink(g_temporaryPath);
  ForgetTemporary();
  return result;
}

void vexo_DiscardHostTargetFromSignal() {
  if (g_haveTemporary) unlink(g_temporaryPath);
}

bool vexo_ReadHostRange(const char* path, uint64_t offset, std::size_t count,
                        std::vector<uint8_t>* bytes) {
  bytes->clear();
  int fd = -1;
  if (vexo_OpenRegularFile(path, O_RDONLY, -VEXO_ERROR_FILE_NOT_EXIST, &fd) != 0) return false;
  bytes->resize(count);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = pread(fd, bytes->data() + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  bytes->resize(got);
  return true;
}
