#include "drivers/serial/ser_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "drivers/serial/ser_transfer.h"
#include "host/pauses.h"
#include "host/port_lock.h"
#include "host/trace.h"

namespace {

SerEmptyPollHook g_emptyPollHook = nullptr;

// A signal handler may put the saved settings back (ser_RestoreLineFromSignal):
// the handle and the flag are lock-free atomics, and the flag is set only
// after the settings are complete.
std::atomic<int> g_handle{-1};
termios g_savedSettings{};
std::atomic<bool> g_haveSavedSettings{false};
std::string g_pathOverride;
std::string g_folderOverride;
std::string g_lineName = "ttyS";
std::atomic<uint64_t> g_bytesWritten{0};
std::atomic<uint64_t> g_bytesRead{0};
std::atomic<bool> g_lineLost{false};

// A write that makes no progress for this many 5 ms waits (about 1 s) has
// failed: the other end stopped taking bytes.
constexpr int kWriteStallPolls = 200;
constexpr int kPollMillis = 5;

enum class LineWait { Input, Silent, Interrupted, Lost };

// A line whose other end has gone (a USB adapter unplugged, a closed pseudo-
// terminal) reports a hang-up or an error on every poll from then on.
bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Waits up to `micros` (at least 1 ms) for input.
LineWait WaitForInput(int handle, int64_t micros) {
  pollfd entry{handle, POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(std::max<int64_t>(1, (micros + 999) / 1000)));
  if (ready < 0) return errno == EINTR ? LineWait::Interrupted : LineWait::Lost;
  if (ready == 0) return LineWait::Silent;
  if (HungUp(entry.revents)) return LineWait::Lost;
  return (entry.revents & POLLIN) != 0 ? LineWait::Input : LineWait::Interrupted;
}

// Marks the line lost when a call failed with an error that no retry cures.
bool LostBy(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return false;
  g_lineLost = true;
  return true;
}

}  // namespace

std::string ser_DevicePath(int32_t port) {
  if (!g_pathOverride.empty()) return g_pathOverride;
  const std::string folder = g_folderOverride.empty() ? "/dev" : g_folderOverride;
  return folder + "/" + g_lineName + std::to_string(port - 1);
}

void ser_SetDevicePathOverride(const char* path) {
  g_pathOverride = path != nullptr ? path : "";
}

void ser_SetDeviceFolderOverride(const char* folder) {
  g_folderOverride = folder != nullptr ? folder : "";
}

bool vexo_serial_SetLineName(const char* name) {
  for (const char* known : {"ttyS", "ttyUSB", "ttyACM"}) {
    if (name != nullptr && std::strcmp(name, known) == 0) {
      g_lineName = known;
      return true;
    }
  }
  return false;
}

int ser_Handle() { return g_handle; }
uint64_t ser_BytesWrittenTotal() { return g_bytesWritten.load(); }
uint64_t ser_BytesReadTotal() { return g_bytesRead.load(); }

VexoResult vexo_serial_Open(int32_t port, int32_t baud) {
  // Port numbers below 1 would name "/dev/ttyS-1" and the like: refused
  // like those above 32, before any device is touched.
  if (port < 1 || port > SER_MAX_PORT) return -VEXO_ERROR_COM_OPEN;
  // One line per process: a line still open is closed (and restored) first.
  ser_CloseDevice(g_handle.exchange(-1));
  const int handle = ser_OpenDevice(ser_DevicePath(port).c_str(), baud);
  if (handle == -VEXO_ERROR_PORT_IN_USE) return handle;
  if (handle < 0) {
    vexo_Trace("vexo_serial_Open returned VEXO_ERROR_COM_OPEN\n");
    return -VEXO_ERROR_COM_OPEN;
  }
  g_handle = handle;
  g_lineLost = false;
  ser_ResetTransferCounters();
  return 0;
}

VexoResult vexo_serial_Close(int32_t port) {
  if (port > SER_MAX_PORT) {
    vexo_Trace("vexo_serial_Close returned %i\n", -VEXO_ERROR_COM_CLOSE);
    return -VEXO_ERROR_COM_CLOSE;
  }
  // The handle is gone before it is closed: a signal handler never sees a
  // closed descriptor.
  ser_CloseDevice(g_handle.exchange(-1));
  vexo_Delay(1);
  return 4;
}

int ser_OpenDevice(const char* path, int32_t baud) {
  if (path == nullptr) return -1;
  const int handle = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // EBUSY: another program holds the line in exclusive mode.
  if (handle < 0) return errno == EBUSY ? -VEXO_ERROR_PORT_IN_USE : -1;
  // One user of the line at a time, as terminal programs agree: a lock on
  // the line, then exclusive mode against programs that do not lock. A line
  // in use is left exactly as it was.
  if (vexo_LockDescriptor(handle) != 0) {
    close(handle);
    return -VEXO_ERROR_PORT_IN_USE;
  }
  // Something that has no terminal settings is no serial line; refusing it
  // here also means close never puts back settings that were never read.
  termios working{};
  g_haveSavedSettings = false;
  if (tcgetattr(handle, &g_savedSettings) != 0 || tcgetattr(handle, &working) != 0) {
    close(handle);
    return -1;
  }
  g_haveSavedSettings = true;
  ioctl(handle, TIOCEXCL);
  const speed_t speed = ser_BaudToSpeed(baud);
  cfsetispeed(&working, speed);
  cfsetospeed(&working, speed);
  working.c_iflag = IGNPAR;
  working.c_oflag = 0;
  working.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE);
  working.c_cflag |= CS8 | CREAD | CLOCAL;
  working.c_lflag = 0;
  working.c_cc[VMIN] = 0;
  working.c_cc[VTIME] = 0;
  tcflush(handle, TCIOFLUSH);
  tcsetattr(handle, TCSANOW, &working);
  return handle;
}

void ser_CloseDevice(int handle) {
  if (handle < 0) return;
  if (g_haveSavedSettings) tcsetattr(handle, TCSANOW, &g_savedSettings);
  g_haveSavedSettings = false;
  ioctl(handle, TIOCNXCL);
  close(handle);  // also releases the lock
}

void ser_RestoreLineFromSignal() {
  const int handle = g_handle;
  if (handle >= 0 && g_haveSavedSettings) tcsetattr(handle, TCSANOW, &g_savedSettings);
}

speed_t ser_BaudToSpeed(int32_t baud) {
  if (baud <= 0) return B0;
  if (baud <= 7200) return B4800;
  if (baud <= 14400) return B9600;
  if (baud <= 28800) return B19200;
  if (baud <= 48000) return B38400;
  if (baud <= 57600) return B57600;
  return B115200;
}

void ser_FlushInput() {
  if (g_handle >= 0) tcflush(g_handle, TCIFLUSH);
}

bool ser_LineLost() {
  if (g_lineLost) return true;
  const int handle = g_handle;
  if (handle < 0) return false;
  pollfd entry{handle, POLLIN, 0};
  if (poll(&entry, 1, 0) > 0 && HungUp(entry.revents)) g_lineLost = true;
  return g_lineLost;
}

int ser_Write(const uint8_t* bytes, std::size_t count) {
  if (g_handle < 0 || g_lineLost) return 0;
  std::size_t done = 0;
  int stalls = 0;
  while (done < count) {
    const ssize_t put = write(g_handle, bytes + done, count - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      g_bytesWritten += static_cast<uint64_t>(put);
      stalls = 0;
      continue;
    }
    if (put < 0 && LostBy(errno)) return 0;
    if (++stalls > kWriteStallPolls) return 0;
    pollfd entry{g_handle, POLLOUT, 0};
    if (poll(&entry, 1, kPollMillis) > 0 && HungUp(entry.revents)) {
      g_lineLost = true;
      return 0;
    }
  }
  return 1;
}

long ser_ReadOnce(uint8_t* buffer, std::size_t count) {
  if (g_handle < 0 || g_lineLost) return -1;
  const ssize_t got = read(g_handle, buffer, count);
  if (got > 0) g_bytesRead += static_cast<uint64_t>(got);
  if (got < 0) LostBy(errno);
  return static_cast<long>(got);
}

void ser_SetEmptyPollHook(SerEmptyPollHook hook) { g_emptyPollHook = hook; }

int ser_ReadTimeout(uint8_t* buffer, std::size_t count, int emptyPollLimit) {
  if (count == 0) return 0;
  if (g_lineLost) return SER_LINE_LOST;
  if (g_handle >= 0) {
    fcntl(g_handle, F_SETFL, O_NONBLOCK);
    // The limit is a time of 5 ms units against a monotonic clock, whatever
    // the line does meanwhile; a byte read before the deadline is taken.
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(int64_t{kPollMillis} * std::max(emptyPollLimit, 0));
    std::size_t received = 0;
    bool announced = false;  // the last poll reported input
    bool waited = false;     // a read followed a wait: the time-out is due
    for (;;) {
      // A run that is to stop waits for nothing more.
      if (vexo_StopNow()) break;
      const long got = ser_ReadOnce(buffer + received, count - received);
      if (got > 0) {
        received += static_cast<std::size_t>(got);
        if (received == count) return static_cast<int>(count);
        announced = false;
        continue;
      }
      // Input announced but none to read: the other end hung up.
      if (g_lineLost || (got == 0 && announced)) {
        g_lineLost = true;
        break;
      }
      // A time-out needs a wait and a read behind it: a process that was
      // not run until after its deadline still looks at the line once more.
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0 && waited) break;
      const LineWait wait =
          WaitForInput(g_handle, std::min<int64_t>(left.count(), int64_t{kPollMillis} * 1000));
      waited = true;
      if (wait == LineWait::Lost) g_lineLost = true;
      announced = wait == LineWait::Input;
      if (wait == LineWait::Silent && g_emptyPollHook != nullptr) g_emptyPollHook();
    }
  }
  if (g_lineLost) {
    vexo_Trace(">> Line lost\n");
    return SER_LINE_LOST;
  }
  vexo_Trace(">> Timeout\n");
  return -1;
}

void ser_DelayShort(uint32_t n) { vexo_SleepMicros(static_cast<uint64_t>(n) * 100u); }
