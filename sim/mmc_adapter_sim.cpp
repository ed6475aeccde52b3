// The simulated adapter: its three registers as the host sees them (the
// complement conventions, the checks of what the host writes), and the calls
// of the program that installs, fails and inspects the simulated card.
#include "sim/mmc_sim_state.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "sim/mmc_card_storage.h"
#include "sim/mmc_departures.h"
#include "sim/sim_checksum.h"
#include "host/port_lock.h"

int mmcsim_SeamLinked();  // port_io_sim.cpp

namespace mmcsim_internal {

// The host's side of the register conventions: bits 3 to 6 always set, and
// the command-mode bit clear exactly while a command goes out alone on CMD
// (from its start bit through its end bit).
void CheckDataByte(uint8_t logical) {
  if ((logical & kFixedBits) != kFixedBits) ++g.counters.registerBits;
  const bool datLow = (logical & kDatBit) == 0;
  const bool commandMode = (logical & kModeBit) == 0;
  const bool inToken = g.monitor.active;
  if (inToken && !commandMode && !datLow) {  // sampling before the end bit
    if (!g.tokenBroken) ++g.counters.cutCommands;
    g.tokenBroken = true;
    return;
  }
  const bool sendingCommand = !datLow && (inToken || (logical & kCmdBit) == 0);
  if (commandMode != sendingCommand) {
    ++g.counters.commandMode;
    if (inToken) g.tokenBroken = true;
  }
}

void WriteDataRegister(uint8_t raw) {
  ++g.counters.dataWrites;
  Trace("data", 'W', raw);
  // A clock's status reads end here; the last one must repeat the one before.
  if (g.statusReads > 0 && !g.statusConfirmed) ++g.counters.unconfirmedSamples;
  g.statusReads = 0;
  g.settleMask = 0;
  CheckDataByte(static_cast<uint8_t>(~raw));
  // Raw bits set pull a line low: the register holds the complement of the
  // levels.
  const bool clock = (raw & 0x80u) == 0;
  g.hostCmd = (raw & 0x01u) == 0 ? 1 : 0;
  g.hostDat = (raw & 0x02u) == 0 ? 1 : 0;
  if (clock && !g.previousClock) {
    Rise(g.hostCmd, g.hostDat);
  } else if (!clock && g.previousClock) {
    Fall();
  }
  g.previousClock = clock;
}

void WriteControlRegister(uint8_t raw) {
  ++g.counters.controlWrites;
  g.counters.lastControl = raw;
  Trace("control", 'W', raw);
  const bool supply = (raw & 0x04u) != 0;
  if (supply && !g.powered) {
    g.powered = true;
    if (!g.faults.noCard) PowerUp();
  } else if (!supply && g.powered) {
    g.powered = false;
    ResetCard();
  }
}

uint8_t ReadStatusRegister() {
  ++g.counters.statusReads;
  uint8_t lines = LineLevels();
  if (g.settleMask != 0) {
    lines = static_cast<uint8_t>((lines & ~g.settleMask) | (g.settleOld & g.settleMask));
    g.settleMask = 0;
  }
  uint8_t raw = static_cast<uint8_t>(~(0xCFu | lines));
  ++g.statusReadNumber;
  if (g.faults.statusGlitchEvery != 0 && g.statusReadNumber % g.faults.statusGlitchEvery == 0) {
    raw ^= 0x30u;
  }
  g.statusConfirmed = g.statusReads > 0 && raw == g.lastStatus;
  g.lastStatus = raw;
  ++g.statusReads;
  Trace("status", 'R', raw);
  return raw;
}

void Install(const MmcSimConfig& config) {
  mmcsim_SeamLinked();
  mmcsim_UseOwnLockFolder();
  RetireDepartures();
  FILE* trace = g.trace;
  g = Sim{};
  g.trace = trace;
  g.installed = true;
  g.config = config;
  // splitmix64 of the seed, never 0 (0 means fixed timings)
  if (config.timingSeed != 0) {
    uint64_t z = config.timingSeed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    g.random = (z ^ (z >> 31)) | 1u;
  }
  g.geometry = FitGeometry(config.capacityBytes);
  g.sectors = SectorsOf(g.geometry);
  g.registers = BuildRegisters(g.geometry);
}

const char* StateName(CardState state) {
  switch (state) {
    case CardState::Idle: return "idle";
    case CardState::Ready: return "ready";
    case CardState::Ident: return "ident";
    case CardState::Stby: return "stby";
    case CardState::Tran: return "tran";
    case CardState::Data: return "data";
    case CardState::Rcv: return "rcv";
    case CardState::Prg: return "prg";
    case CardState::Ina: return "ina";
  }
  return "off";
}

}  // namespace mmcsim_internal

using namespace mmcsim_internal;

namespace {

// Function statics: the lock folder is made before main (port_io_sim.cpp).
std::string& LockFolder() {
  static std::string folder;
  return folder;
}

pid_t& LockFolderOwner() {
  static pid_t owner = 0;
  return owner;
}

}  // namespace

void mmcsim_RemoveOwnLockFolder() {
  std::string& folder = LockFolder();
  if (folder.empty() || getpid() != LockFolderOwner()) return;  // a forked child leaves it
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
  }
  rmdir(folder.c_str());
  folder.clear();
}

void mmcsim_UseOwnLockFolder() {
  if (LockFolder().empty()) {
    char folder[] = "/tmp/vexo-sim-locks-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    LockFolder() = folder;
    if (LockFolderOwner() == 0) std::atexit(mmcsim_RemoveOwnLockFolder);
    LockFolderOwner() = getpid();
  }
  vexo_SetLockFolder(LockFolder().c_str());
}

void mmcsim_InstallMemoryCard(const MmcSimConfig& config) {
  mmcsim_Remove();
  Install(config);
}

bool mmcsim_InstallImageCard(const char* path, const MmcSimConfig& config) {
  mmcsim_Remove();
  Storage storage;
  if (!OpenImageStorage(path, &storage)) return false;
  Install(config);
  g.storage = std::move(storage);
  return true;
}

void mmcsim_Remove() {
  RetireDepartures();
  CloseStorage(g.storage);
  FILE* trace = g.trace;
  g = Sim{};
  g.trace = trace;
}

bool mmcsim_Installed() { return g.installed; }
uint64_t mmcsim_CapacityBytes() { return g.installed ? g.geometry.bytes : 0; }

void mmcsim_ReadSector(uint32_t sector, uint8_t* data512) { StorageRead(g.storage, sector, data512); }
void mmcsim_WriteSector(uint32_t sector, const uint8_t* data512) { StorageWrite(g.storage, sector, data512); }

MmcSimFaults* mmcsim_Faults() { return &g.faults; }

void mmcsim_SetReadCrcError(uint32_t sector, int times) { g.readCrcErrors[sector] = times; }
void mmcsim_SetWriteCrcReject(uint32_t sector, int times) { g.writeRejects[sector] = times; }

void mmcsim_ClearFaults() {
  g.faults = MmcSimFaults{};
  g.readCrcErrors.clear();
  g.writeRejects.clear();
}

void mmcsim_InsertCard() {
  g.faults.noCard = false;
  ResetCard();
  g.powerClocks = 0;
  if (g.powered) ++g.counters.powerUps;
}

const MmcSimCounters& mmcsim_Counters() { return g.counters; }
const std::vector<MmcSimCommand>& mmcsim_CommandLog() { return g.log; }

void mmcsim_ResetCounters() {
  RetireDepartures();
  g.counters = MmcSimCounters{};
  g.log.clear();
}

const char* mmcsim_State() {
  if (!CardActive()) return "off";
  if (g.state == CardState::Rcv && g.datSeq.active) return "prg";
  return StateName(g.state);
}

uint32_t mmcsim_BlockLength() { return g.blockLen; }
void mmcsim_SetTrace(FILE* file) { g.trace = file; }

int mmcsim_RequestAccess(uint16_t base, unsigned count) {
  if (!g.installed || g.faults.refuseAccess) return -1;
  g.granted = true;
  g.base = base;
  g.grantedCount = count;
  return 0;
}

void mmcsim_ReleaseAccess() { g.granted = false; }

void mmcsim_Out(uint16_t port, uint8_t value) {
  if (!g.installed) return;
  const unsigned offset = static_cast<unsigned>(port - g.base);
  if (!g.granted || port < g.base || offset >= g.grantedCount || offset == 1) {
    ++g.counters.strayAccesses;
    return;
  }
  if (offset == 0) {
    WriteDataRegister(value);
  } else {
    WriteControlRegister(value);
  }
}

uint8_t mmcsim_In(uint16_t port) {
  if (!g.installed) return 0xFF;
  if (!g.granted || port != g.base + 1 || g.grantedCount < 2) {
    ++g.counters.strayAccesses;
    return 0xFF;
  }
  return ReadStatusRegister();
}
