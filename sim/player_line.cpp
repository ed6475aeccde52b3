// The simulated player's line: the bytes from the PC as they arrive, the
// bytes to the PC paced as the line's baud rate allows, the faults that drop,
// corrupt or cut single bytes, and the hang-up of an unplugged adapter.
#include "sim/player_sim_state.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "drivers/serial/ser_port.h"
#include "drivers/serial/ser_protocol.h"
#include "sim/sim_checksum.h"
#include "host/host_files.h"

namespace playersim_internal {

// The line's speed in baud, 0 when it is not paced.
int LineBaud() {
  if (g_baud == 0 && !g_byteAtATime) return 0;
  if (g_baud > 0) return g_baud;
  termios line{};
  if (tcgetattr(g_slave, &line) != 0) return 115200;
  switch (cfgetospeed(&line)) {
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    default: return 115200;
  }
}

// Time one byte takes on the line: 10 bits (start, 8 data, stop).
Clock::duration ByteTime(int baud) {
  return std::chrono::nanoseconds(10'000'000'000LL / baud);
}

int64_t Nanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_startTime).count();
}

void CloseSlot(Slot& slot) {
  if (slot.fd >= 0) {
    vexo_UnprotectHostFile(slot.fd);
    close(slot.fd);
  }
  slot.fd = -1;
  slot.cardSize = 0;
}

bool OpenSlot(Slot& slot, const std::string& path, uint32_t cardSize) {
  CloseSlot(slot);
  if (path.empty()) return true;
  slot.fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  slot.cardSize = cardSize;
  if (slot.fd >= 0) vexo_ProtectHostFile(slot.fd);  // no copy from a card overwrites a card
  return slot.fd >= 0;
}

int PendingOn(int fd) {
  int pending = 0;
  if (ioctl(fd, FIONREAD, &pending) != 0) return 0;
  return pending;
}

// Before the player says it waits for the PC, its last answer must be where
// the driver reads it (the pty hands bytes over asynchronously).
void AwaitDelivery() {
  if (!g_undelivered) return;
  g_undelivered = false;
  for (int i = 0; i < 50; ++i) {
    if (PendingOn(g_slave) > 0 || ser_BytesReadTotal() != g_driverReadMark) return;
    usleep(100);
  }
}

// Takes in what the PC sent, waiting up to timeoutMs (kForever: until stop).
// quiet says the player is waiting for the PC, not timing a silence.
void Fill(int timeoutMs, bool quiet) {
  if (quiet) AwaitDelivery();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_quiet = quiet;
  }
  g_changed.notify_all();
  pollfd entries[2] = {{g_master, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
  poll(entries, 2, timeoutMs);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_quiet = false;
  uint8_t chunk[4096];
  const int baud = LineBaud();
  for (;;) {
    const ssize_t got = read(g_master, chunk, sizeof chunk);
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      Clock::time_point due = Clock::time_point::min();
      if (baud > 0) {
        g_receiveFree = std::max(g_receiveFree, Clock::now()) + ByteTime(baud);
        due = g_receiveFree;
      }
      const int64_t position = static_cast<int64_t>(g_received++);
      ++g_counters.bytesReceived;
      if (g_logging) g_log.push_back({true, chunk[i], Nanos()});
      if (position == g_faults.dropReceiveAt) continue;
      uint8_t value = chunk[i];
      if (position == g_faults.corruptReceiveAt) value ^= 0xFF;
      g_input.push_back(value);
      g_inputDue.push_back(due);
    }
  }
}

// Next byte from the PC within timeoutMs; false on silence or stop.
bool NextByte(uint8_t& value, int timeoutMs, bool quiet) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (g_input.empty()) {
    if (g_stopRequested) return false;
    int wait = timeoutMs;
    if (timeoutMs != kForever) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() < 0) return false;
      wait = static_cast<int>(left.count());
    }
    Fill(wait, quiet);
    if (timeoutMs != kForever && g_input.empty() && Clock::now() >= deadline) return false;
  }
  value = g_input.front();
  g_input.pop_front();
  const Clock::time_point due = g_inputDue.front();
  g_inputDue.pop_front();
  if (due > Clock::now()) std::this_thread::sleep_until(due);
  return true;
}

bool MoreWithin(int millis) {
  if (!g_input.empty()) return true;
  Fill(millis, false);
  return !g_input.empty();
}

void WriteAll(const uint8_t* data, std::size_t count) {
  std::size_t done = 0;
  while (done < count && !g_stopRequested) {
    const ssize_t put = write(g_master, data + done, count - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    } else {
      pollfd entry{g_master, POLLOUT, 0};
      poll(&entry, 1, 10);
    }
  }
}

// Closes the player's side of the line once the PC has read what reached
// it (a pty drops what is unread at a hang-up); the player then serves
// nothing until it stops.
void HangUp() {
  for (int i = 0; i < 2000 && PendingOn(g_slave) > 0 && !g_stopRequested; ++i) usleep(100);
  std::lock_guard<std::mutex> lock(g_mutex);
  close(g_master);
  g_master = -1;
  g_hungUp = true;
  g_input.clear();
  g_inputDue.clear();
}

void Send(const uint8_t* data, std::size_t count) {
  std::vector<uint8_t> out;
  bool hangUp = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_faults.silent || g_hungUp) return;
    out.reserve(count);
    for (std::size_t i = 0; i < count && !hangUp; ++i) {
      const int64_t position = static_cast<int64_t>(g_sendPosition++);
      hangUp = position == g_faults.hangupAfter;
      if (position == g_faults.dropSendAt) continue;
      uint8_t value = data[i];
      if (position == g_faults.corruptSendAt) value ^= 0xFF;
      out.push_back(value);
      if (g_logging) g_log.push_back({false, value, Nanos()});
    }
    g_counters.bytesSent += out.size();
  }
  if (out.empty()) return;
  g_driverReadMark = ser_BytesReadTotal();
  const int baud = LineBaud();
  if (baud == 0) {
    WriteAll(out.data(), out.size());
  } else {
    // What the line has finished at each moment: one byte at a time, or what
    // a 16-byte FIFO holds.
    const std::size_t step = g_byteAtATime ? 1 : 16;
    for (std::size_t at = 0; at < out.size() && !g_stopRequested; at += step) {
      const std::size_t n = std::min(step, out.size() - at);
      g_sendFree = std::max(g_sendFree, Clock::now()) + ByteTime(baud) * static_cast<int>(n);
      std::this_thread::sleep_until(g_sendFree);
      WriteAll(out.data() + at, n);
    }
  }
  g_undelivered = true;
  if (hangUp) HangUp();
}

void SendByte(uint8_t value) { Send(&value, 1); }

}  // namespace playersim_internal
