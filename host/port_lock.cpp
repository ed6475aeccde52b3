#include "host/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

constexpr const char* kSystemFolder = "/run/lock";
constexpr const char* kFallbackFolder = "/tmp";

// The first folder; a function's static, so that code running before main
// (the simulator's set-up) may already replace it.
std::string& Folder() {
  static std::string folder = kSystemFolder;
  return folder;
}

// Opens an existing lock file, or makes it. Read-only is enough for flock,
// and opening an existing file without O_CREAT also works where the system
// refuses O_CREAT on another user's file in a sticky folder. Never follows a
// link and never waits on a FIFO; anything but a regular file is refused.
int OpenLockFile(const std::string& path) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT) fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
  if (fd < 0 && errno == EEXIST) fd = open(path.c_str(), flags);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

VexoResult vexo_LockDescriptor(int fd) {
  if (fd < 0) return -VEXO_ERROR_PORT_IN_USE;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return -VEXO_ERROR_PORT_IN_USE;
  }
  return 0;
}

VexoResult vexo_LockNamed(const char* name, int* lockFd) {
  *lockFd = -1;
  for (const std::string& folder : {Folder(), std::string(kFallbackFolder)}) {
    const int fd = OpenLockFile(folder + "/" + name);
    if (fd < 0) continue;
    const VexoResult locked = vexo_LockDescriptor(fd);
    if (locked != 0) {
      close(fd);
      return locked;
    }
    *lockFd = fd;
    return 0;
  }
  return 0;
}

void vexo_ReleaseNamed(int* lockFd) {
  if (*lockFd >= 0) close(*lockFd);
  *lockFd = -1;
}

void vexo_SetLockFolder(const char* folder) {
  Folder() = folder != nullptr ? folder : kSystemFolder;
}
