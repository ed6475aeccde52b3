// The simulated player's protocol: searches, version, sector reads and
// writes (by request and streamed), verify, the faults of whole requests and
// slots, and the calls of the program that starts, fails and inspects it.
#include "sim/player_sim.h"
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

void Count(uint32_t PlayerCounters::*counter) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++(g_counters.*counter);
}

uint32_t Load32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool ValidRequest(const std::vector<uint8_t>& request) {
  return request.size() == SER_REQUEST_SIZE && request[5] == SER_REQUEST_MARK &&
         request[6] == ser_Xor(request.data() + 1, 5);
}

// The selected card holds this sector (a whole sector inside the card).
bool SectorOnCard(uint32_t sector) {
  if (g_selected == 0) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  const Slot& slot = g_slots[g_selected - 1];
  return slot.fd >= 0 && (static_cast<uint64_t>(sector) + 1) * SECTOR_SIZE <= slot.cardSize;
}

// A sector has been read or written on the selected slot: the fault that
// takes the card out counts it.
void SectorMoved() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_faults.emptySlot != g_selected || g_faults.emptyAfterSectors <= 0) return;
  if (--g_faults.emptyAfterSectors == 0) {
    CloseSlot(g_slots[g_selected - 1]);
    g_faults.emptyAfterSectors = -1;
  }
}

bool CardSector(uint32_t sector, uint8_t* data, bool write) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_selected == 0) return false;
  const int fd = g_slots[g_selected - 1].fd;
  if (fd < 0) return false;
  const off_t offset = static_cast<off_t>(static_cast<uint64_t>(sector) * SECTOR_SIZE);
  if (write) return pwrite(fd, data, SECTOR_SIZE, offset) == static_cast<ssize_t>(SECTOR_SIZE);
  const ssize_t got = pread(fd, data, SECTOR_SIZE, offset);
  if (got < 0) return false;
  std::memset(data + got, 0, SECTOR_SIZE - static_cast<std::size_t>(got));
  return true;
}

void Refuse() {
  Count(&PlayerCounters::refusals);
  SendByte(SER_STATUS_REFUSED);
}

// Sends a read block (data and XOR), after a status byte when asked.
bool SendReadBlock(uint32_t sector, bool withStatus) {
  std::array<uint8_t, SER_READ_BLOCK_SIZE + 1> out{};
  uint8_t* block = out.data() + 1;
  if (!CardSector(sector, block, false)) return false;
  block[SECTOR_SIZE] = ser_Xor(block, SECTOR_SIZE);
  out[0] = kStatusData;
  if (withStatus) {
    Send(out.data(), out.size());
  } else {
    Send(block, SER_READ_BLOCK_SIZE);
  }
  Count(&PlayerCounters::blocksSent);
  SectorMoved();
  return true;
}

void Search(int slot) {
  std::array<uint8_t, SER_SEARCH_ANSWER_SIZE> answer{};
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_counters.searches[slot - 1];
    const Slot& chosen = g_slots[slot - 1];
    g_selected = chosen.fd >= 0 ? slot : 0;
    answer[0] = chosen.fd >= 0 ? SER_SEARCH_FOUND : kNoCard;
    const uint32_t size = chosen.fd >= 0 ? chosen.cardSize : 0;
    for (int i = 0; i < 4; ++i) answer[1 + i] = static_cast<uint8_t>(size >> (8 * i));
  }
  Send(answer.data(), answer.size());
}

void Version() {
  bool answer = true;
  uint8_t version = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_counters.versionQueries;
    answer = !g_faults.noVersion;
    version = static_cast<uint8_t>(g_version);
  }
  if (answer) SendByte(version);
}

bool TakeFault(int PlayerFaults::*fault) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_faults.*fault <= 0) return false;
  --(g_faults.*fault);
  return true;
}

void ReadRequest(const std::vector<uint8_t>& request) {
  if (!ValidRequest(request)) {
    Count(&PlayerCounters::badRequests);
    Refuse();
    return;
  }
  const uint32_t address = Load32(request.data() + 1);
  const uint32_t sector = address / SECTOR_SIZE;
  if (TakeFault(&PlayerFaults::refuseReads) || address % SECTOR_SIZE != 0 ||
      !SectorOnCard(sector)) {
    Refuse();
    return;
  }
  Count(&PlayerCounters::readRequests);
  // A card that cannot deliver the sector refuses it, as a failing card does.
  if (!SendReadBlock(sector, true)) {
    Refuse();
    return;
  }
  g_stream = Stream::Read;
  g_streamSector = sector;
}

void StreamNextRead() {
  const uint32_t sector = g_streamSector + 1;
  if (!SectorOnCard(sector) || !SendReadBlock(sector, false)) {
    g_stream = Stream::None;
    return;
  }
  Count(&PlayerCounters::streamedReads);
  g_streamSector = sector;
}

// Collects a write block up to its 515th byte. Inside the block the bytes
// come together; the PC waits before the first byte of a requested block and
// before the separate 'n' behind its 514 bytes.
bool CollectBlock(std::vector<uint8_t>& block) {
  while (block.size() < SER_STREAM_BLOCK_SIZE) {
    const bool waitingForPc = block.empty() || block.size() == SER_WRITE_BLOCK_SIZE;
    const int timeout = block.empty() ? kBlockStartMillis
                        : block.size() == SER_WRITE_BLOCK_SIZE ? kForever
                                                               : kMidBlockMillis;
    uint8_t value = 0;
    if (!NextByte(value, timeout, waitingForPc)) {
      if (!block.empty() && !g_stopRequested) Count(&PlayerCounters::incompleteBlocks);
      return false;
    }
    block.push_back(value);
  }
  return true;
}

// Checks, writes and verifies one block for sector; answers 'V' on success.
void FinishWrite(const std::vector<uint8_t>& block, uint32_t sector, bool streamed) {
  g_stream = Stream::None;
  const uint16_t crc = SimCrc16(block.data(), SECTOR_SIZE);
  if (block[512] != static_cast<uint8_t>(crc >> 8) || block[513] != static_cast<uint8_t>(crc) ||
      block[514] != SER_NEXT) {
    Count(&PlayerCounters::crcErrors);
    SendByte(kBadBlock);
    return;
  }
  if (TakeFault(&PlayerFaults::failVerifies)) {
    Count(&PlayerCounters::verifyFailures);
    SendByte(kVerifyFailed);
    return;
  }
  std::array<uint8_t, SECTOR_SIZE> data{};
  std::array<uint8_t, SECTOR_SIZE> check{};
  std::memcpy(data.data(), block.data(), SECTOR_SIZE);
  if (!SectorOnCard(sector) || !CardSector(sector, data.data(), true) ||
      !CardSector(sector, check.data(), false) || check != data) {
    Refuse();
    return;
  }
  Count(&PlayerCounters::sectorsWritten);
  if (streamed) Count(&PlayerCounters::streamedWrites);
  SectorMoved();
  SendByte(SER_VERIFIED);
  g_stream = Stream::Write;
  g_streamSector = sector;
}

void WriteRequest(const std::vector<uint8_t>& request) {
  const bool valid = ValidRequest(request);
  const uint32_t address = valid ? Load32(request.data() + 1) : 0;
  const bool accepted = valid && address % SECTOR_SIZE == 0 && SectorOnCard(address / SECTOR_SIZE);
  if (!valid) Count(&PlayerCounters::badRequests);
  if (accepted) {
    Count(&PlayerCounters::writeRequests);
    SendByte(kAcknowledge);
  } else {
    Refuse();
  }
  // The block follows whatever the acknowledge said; a refused request's
  // block is taken in and answered without being written.
  std::vector<uint8_t> block;
  if (!CollectBlock(block)) return;
  if (!accepted) {
    Refuse();
    return;
  }
  FinishWrite(block, address / SECTOR_SIZE, false);
}

bool CollectRequest(std::vector<uint8_t>& request) {
  while (request.size() < SER_REQUEST_SIZE) {
    uint8_t value = 0;
    if (!NextByte(value, kForever, true)) return false;
    request.push_back(value);
  }
  return true;
}

void Dispatch(uint8_t command) {
  g_stream = Stream::None;
  std::vector<uint8_t> request{command};
  switch (command) {
    case '1':
    case '2': Search(command - '0'); return;
    case SER_CMD_VERSION: Version(); return;
    case SER_CMD_READ:
      if (CollectRequest(request)) ReadRequest(request);
      return;
    case SER_CMD_WRITE:
      if (CollectRequest(request)) WriteRequest(request);
      return;
    default: Count(&PlayerCounters::strayBytes); return;
  }
}

// After a 'V' the PC either streams the next sector or starts a new command.
void AfterVerify(uint8_t first) {
  g_stream = Stream::None;
  std::vector<uint8_t> bytes{first};
  if (first == '1' || first == '2' || first == SER_CMD_VERSION) {
    if (!MoreWithin(kCommandGapMillis)) {
      Dispatch(first);
      return;
    }
  } else if (first == SER_CMD_READ || first == SER_CMD_WRITE) {
    if (!CollectRequest(bytes)) return;
    if (ValidRequest(bytes) && !MoreWithin(kCommandGapMillis)) {
      if (first == SER_CMD_READ) {
        ReadRequest(bytes);
      } else {
        WriteRequest(bytes);
      }
      return;
    }
  }
  if (!CollectBlock(bytes)) return;
  FinishWrite(bytes, g_streamSector + 1, true);
}

void Serve() {
  while (!g_stopRequested) {
    uint8_t value = 0;
    if (!NextByte(value, kForever, true)) continue;
    if (g_stream == Stream::Read && value == SER_NEXT) {
      StreamNextRead();
    } else if (g_stream == Stream::Write) {
      AfterVerify(value);
    } else {
      Dispatch(value);
    }
  }
}

int64_t Absolute(int64_t relative, uint64_t now) {
  return relative < 0 ? -1 : static_cast<int64_t>(now) + relative;
}

int64_t Relative(int64_t absolute, uint64_t now) {
  return absolute < static_cast<int64_t>(now) ? -1 : absolute - static_cast<int64_t>(now);
}

void CloseAll() {
  for (int* fd : {&g_master, &g_slave, &g_wake[0], &g_wake[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  for (Slot& slot : g_slots) CloseSlot(slot);
}

}  // namespace playersim_internal

using namespace playersim_internal;

namespace {
void WaitQuietOnEmptyPoll() { playersim_WaitQuiet(2000); }
}  // namespace

bool playersim_Start(const PlayerSimConfig& config) {
  if (g_thread.joinable()) return false;
  if (openpty(&g_master, &g_slave, nullptr, nullptr, nullptr) != 0 || pipe(g_wake) != 0) {
    CloseAll();
    return false;
  }
  // A raw line before any driver opens it, so nothing is echoed or changed.
  termios raw{};
  tcgetattr(g_slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(g_slave, TCSANOW, &raw);
  fcntl(g_master, F_SETFL, fcntl(g_master, F_GETFL) | O_NONBLOCK);
  const char* name = ttyname(g_slave);
  g_slavePath = name != nullptr ? name : "";
  bool opened = !g_slavePath.empty();
  for (int i = 0; i < 2; ++i) {
    opened = OpenSlot(g_slots[i], config.slots[i].imagePath, config.slots[i].cardSize) && opened;
  }
  if (!opened) {
    CloseAll();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_version = config.version;
    g_logging = config.logBytes;
    g_faults = PlayerFaults{};
    g_counters = PlayerCounters{};
    g_log.clear();
    g_received = 0;
    g_sendPosition = 0;
    g_driverBase = ser_BytesWrittenTotal();
    g_startTime = Clock::now();
    g_quiet = false;
    g_hungUp = false;
    g_running = true;
  }
  g_input.clear();
  g_inputDue.clear();
  g_baud = config.baud;
  g_byteAtATime = config.byteAtATime;
  g_sendFree = Clock::time_point::min();
  g_receiveFree = Clock::time_point::min();
  g_selected = 0;
  g_stream = Stream::None;
  g_undelivered = false;
  g_stopRequested = false;
  g_thread = std::thread(Serve);
  // A poll of the driver counts as silent only once the player has answered
  // everything it was sent: silence then means the player's, not a thread
  // that has not run yet. A paced line is left to real time, so that the
  // driver meets its bytes as they come from a real one.
  ser_SetEmptyPollHook(g_baud == 0 && !g_byteAtATime ? WaitQuietOnEmptyPoll : nullptr);
  return true;
}

void playersim_Stop() {
  if (!g_thread.joinable()) return;
  ser_SetEmptyPollHook(nullptr);
  g_stopRequested = true;
  const uint8_t wake = 1;
  if (write(g_wake[1], &wake, 1) < 0) {
    // The pipe cannot be full or closed here; poll times out regardless.
  }
  g_thread.join();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_running = false;
  CloseAll();
  g_slavePath.clear();
}

bool playersim_Running() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_running;
}

std::string playersim_DevicePath() { return g_slavePath; }

void playersim_SetFaults(const PlayerFaults& faults) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_faults = faults;
  g_faults.dropSendAt = Absolute(faults.dropSendAt, g_sendPosition);
  g_faults.corruptSendAt = Absolute(faults.corruptSendAt, g_sendPosition);
  g_faults.dropReceiveAt = Absolute(faults.dropReceiveAt, g_received);
  g_faults.corruptReceiveAt = Absolute(faults.corruptReceiveAt, g_received);
  g_faults.hangupAfter = Absolute(faults.hangupAfter, g_sendPosition);
  if (g_faults.emptyAfterSectors == 0 && (g_faults.emptySlot == 1 || g_faults.emptySlot == 2)) {
    CloseSlot(g_slots[g_faults.emptySlot - 1]);
    g_faults.emptyAfterSectors = -1;
  }
}

PlayerFaults playersim_Faults() {
  std::lock_guard<std::mutex> lock(g_mutex);
  PlayerFaults left = g_faults;
  left.dropSendAt = Relative(g_faults.dropSendAt, g_sendPosition);
  left.corruptSendAt = Relative(g_faults.corruptSendAt, g_sendPosition);
  left.dropReceiveAt = Relative(g_faults.dropReceiveAt, g_received);
  left.corruptReceiveAt = Relative(g_faults.corruptReceiveAt, g_received);
  left.hangupAfter = Relative(g_faults.hangupAfter, g_sendPosition);
  return left;
}

bool playersim_SetSlotImage(int slot, const std::string& imagePath, uint32_t cardSize) {
  if (slot < 1 || slot > 2) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  return OpenSlot(g_slots[slot - 1], imagePath, cardSize);
}

PlayerCounters playersim_Counters() {
  // What the driver has sent is taken in and answered first, so that the
  // snapshot never races the player thread.
  playersim_WaitQuiet(2000);
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_counters;
}

void playersim_ResetCounters() {
  playersim_WaitQuiet(2000);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_counters = PlayerCounters{};
}

std::string playersim_DepartureSummary() {
  const PlayerCounters counters = playersim_Counters();
  const struct {
    uint32_t count;
    const char* what;
  } kinds[] = {{counters.badRequests, "bad requests"},
               {counters.crcErrors, "bad write blocks"},
               {counters.incompleteBlocks, "cut-off write blocks"},
               {counters.strayBytes, "stray bytes"}};
  std::string text;
  for (const auto& kind : kinds) {
    if (kind.count == 0) continue;
    text += (text.empty() ? "" : ", ") + std::to_string(kind.count) + " " + kind.what;
  }
  return text;
}

std::vector<PlayerLogEntry> playersim_Log() {
  playersim_WaitQuiet(2000);
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_log;
}

void playersim_ClearLog() {
  playersim_WaitQuiet(2000);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_log.clear();
}

std::vector<uint8_t> playersim_LoggedBytes(bool fromPc) {
  playersim_WaitQuiet(2000);
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<uint8_t> bytes;
  for (const PlayerLogEntry& entry : g_log) {
    if (entry.fromPc == fromPc) bytes.push_back(entry.byte);
  }
  return bytes;
}

bool playersim_WaitQuiet(int timeoutMs) {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (!g_running || g_hungUp) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto quietSince = Clock::time_point::max();
  for (;;) {
    const uint64_t written = ser_BytesWrittenTotal() - g_driverBase;
    if (g_quiet && g_received >= written) return true;
    // Bytes the driver's open discarded from the line never reach the
    // player: once it has waited with nothing pending for 20 ms, the count
    // starts again from here.
    if (g_quiet && PendingOn(g_master) == 0) {
      if (quietSince == Clock::time_point::max()) quietSince = Clock::now();
      if (Clock::now() - quietSince > std::chrono::milliseconds(20)) {
        g_driverBase = ser_BytesWrittenTotal() - g_received;
        return true;
      }
    } else {
      quietSince = Clock::time_point::max();
    }
    if (Clock::now() >= deadline) return false;
    g_changed.wait_for(lock, std::chrono::milliseconds(1));
  }
}

void playersim_DelayHook(uint32_t units) {
  usleep(static_cast<useconds_t>(units) * 500u);
  playersim_WaitQuiet(2000);
}
