// The player's answers on the serial line, as the header reader meets them:
// the input is a list of answers ([2-byte length, little-endian][bytes]...), and a peer on
// the master side of a pseudo-terminal sends the next one each time the
// driver has written something or has polled the line in vain. When the
// answers run out the peer asks the run to stop, so no wait runs its full
// time-out. The reader gives 0 or a failure, and never loads more titles
// than the header area holds.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "card/header.h"
#include "drivers/serial/ser_port.h"
#include "drivers/serial/serial.h"
#include "target_support.h"
#include "host/pauses.h"

namespace {

int g_master = -1;
std::string g_slave;
std::mutex g_mutex;
std::vector<std::vector<uint8_t>> g_answers;  // under g_mutex
std::size_t g_next = 0;                       // under g_mutex
std::atomic<uint64_t> g_seen{0};              // bytes of the driver the peer took in
std::atomic<bool> g_serving{false};

void SendNext() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (g_next >= g_answers.size()) {
    vexo_RequestStop();
    return;
  }
  const std::vector<uint8_t>& answer = g_answers[g_next++];
  std::size_t put = 0;
  while (put < answer.size()) {
    const ssize_t n = write(g_master, answer.data() + put, answer.size() - put);
    if (n <= 0) break;
    put += static_cast<std::size_t>(n);
  }
}

// Takes in what the driver wrote; true when there was something.
bool Drain() {
  uint8_t bytes[1024];
  bool any = false;
  pollfd p{g_master, POLLIN, 0};
  while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
    const ssize_t n = read(g_master, bytes, sizeof bytes);
    if (n <= 0) break;
    g_seen += static_cast<uint64_t>(n);
    any = true;
  }
  return any;
}

void Peer() {
  for (;;) {
    pollfd p{g_master, POLLIN, 0};
    poll(&p, 1, 1);
    if (g_serving && Drain()) SendNext();
  }
}

// A pause ends once the peer has answered everything the driver wrote, so
// the short reads behind pauses see the answer as they would on the line.
void WaitForPeer(uint32_t) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  while (g_seen < ser_BytesWrittenTotal() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int slave = -1;
  char name[256] = {};
  if (openpty(&g_master, &slave, name, nullptr, nullptr) != 0) vexo_fuzz_Fail(__FILE__, __LINE__, "openpty");
  g_slave = name;
  ser_SetDevicePathOverride(g_slave.c_str());
  ser_SetEmptyPollHook(SendNext);
  vexo_SetDelayHook(WaitForPeer);
  std::thread(Peer).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_answers.clear();
    g_next = 0;
    for (std::size_t i = 0; i + 2 <= size;) {
      const std::size_t n = std::min<std::size_t>(data[i] | data[i + 1] << 8, size - i - 2);
      g_answers.emplace_back(data + i + 2, data + i + 2 + n);
      i += n + 2;
    }
  }
  vexo_ClearStopRequest();
  if (vexo_serial_Open(1, 115200) != 0) return 0;
  g_serving = true;
  CardHeader header;
  const VexoResult result = card_ReadHeader(VEXO_PORT_SERIAL, 1, 1, &header);
  FUZZ_CHECK(result <= 0, "a positive result");
  if (result == 0) FUZZ_CHECK(card_LoadedCount() <= HEADER_MAX_TITLES, "more titles than the header area holds");
  card_ReleaseTitles();
  g_serving = false;
  vexo_serial_Close(1);
  Drain();
  g_seen = ser_BytesWrittenTotal();
  vexo_ClearStopRequest();
  return 0;
}
