// The simulated card's bus state machine: the line levels, the command tokens
// and responses, the card's states and its data blocks on DAT. The adapter's
// registers and the program's calls live in mmc_adapter_sim, the card's
// storage and registers in mmc_card_storage, the departure count and its
// report in mmc_departures.
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

Sim g;

bool CardActive() { return g.installed && g.powered && !g.faults.noCard; }

// Without a seed the fixed value; otherwise a draw from [low, high].
int Timing(int fixed, int low, int high) {
  if (g.random == 0) return fixed;
  g.random ^= g.random << 13;  // xorshift64
  g.random ^= g.random >> 7;
  g.random ^= g.random << 17;
  return low + static_cast<int>(g.random % static_cast<uint64_t>(high - low + 1));
}

// Levels of CMD and DAT as the status register shows them (logical bits).
uint8_t LineLevels() {
  const bool active = CardActive();
  const int cmd = g.hostCmd & (active ? g.cmdOut : 1);
  const int dat = g.hostDat & (active ? g.datOut : 1);
  return static_cast<uint8_t>((cmd != 0 ? kCmdIn : 0) | (dat != 0 ? kDatIn : 0));
}

void Trace(const char* reg, char direction, uint8_t value) {
  if (g.trace != nullptr) std::fprintf(g.trace, "%s %c 0x%02x\n", reg, direction, value);
}

// ---- Card behaviour -------------------------------------------------------------

void ResetCard() {
  g.state = CardState::Idle;
  g.rca = 0;
  g.blockLen = 512;
  g.cmd1Count = 0;
  g.pendingErrors = 0;
  g.cmdOut = 1;
  g.datOut = 1;
  g.drivingCmd = false;
  g.drivingDat = false;
  g.receiver = TokenReceiver{};
  g.cmdTx = CmdTransmitter{};
  g.read = ReadStream{};
  g.write.phase = WritePhase::Off;
  g.datSeq = DatSequence{};
}

void PowerUp() {
  ResetCard();
  g.powerClocks = 0;
  ++g.counters.powerUps;
}

void PullCard() {
  g.faults.noCard = true;
  g.faults.pullAtSector = -1;
  g.faults.pullAfterBlocks = -1;
  ResetCard();
}

bool PulledAt(uint32_t sector) {
  if (g.faults.pullAtSector < 0 || sector < static_cast<uint64_t>(g.faults.pullAtSector)) return false;
  PullCard();
  return true;
}

// Consumes one use of a per-sector fault; true when it applies.
bool TakeFault(std::unordered_map<uint32_t, int>& faults, uint32_t sector) {
  const auto found = faults.find(sector);
  if (found == faults.end() || found->second == 0) return false;
  if (found->second > 0) --found->second;
  return true;
}

// Sends a response whose start bit falls on sample `latency` after the
// command's end bit; returns that latency.
int StartResponse(const uint8_t* wire, int bytes, int latency) {
  g.cmdTx.active = true;
  g.cmdTx.wait = latency < 0 ? 0 : latency;
  g.cmdTx.position = 0;
  g.cmdTx.bitCount = bytes * 8;
  std::memcpy(g.cmdTx.wire.data(), wire, static_cast<std::size_t>(bytes));
  return g.cmdTx.wait;
}

int OrdinaryLatency() { return Timing(g.config.responseLatency, kMinResponse, kMaxResponse); }

// Clocks from a read command's end bit to its first data start bit, for a
// response that starts `latency` clocks after that end bit and lasts 48. A
// card's access time counts from the command, not from its response, so a
// fast card starts its data while the response is still going out: seeded
// draws cover that, anywhere from the first sample the host watches.
int ReadAccess(int latency) {
  const int responseEnd = latency + 48;
  if (g.faults.earlyData > 0) return std::max(kMinResponse, responseEnd - g.faults.earlyData);
  return Timing(responseEnd + std::max(1, g.config.readLatency), kMinResponse,
                responseEnd + kMaxReadLatency);
}

uint32_t CardStatus(CardState current) {
  uint32_t status = (static_cast<uint32_t>(current) << 9) | g.pendingErrors;
  if (!g.datSeq.active) status |= kReadyForData;
  g.pendingErrors = 0;
  return status;
}

int SendR1(uint8_t index, CardState before, uint32_t extraErrors = 0) {
  const uint32_t status = CardStatus(before) | extraErrors;
  std::array<uint8_t, 6> wire = {static_cast<uint8_t>(index & 0x3Fu), static_cast<uint8_t>(status >> 24),
                                 static_cast<uint8_t>(status >> 16), static_cast<uint8_t>(status >> 8),
                                 static_cast<uint8_t>(status), 0};
  wire[5] = static_cast<uint8_t>((SimCrc7(wire.data(), 5) << 1) | 1u);
  return StartResponse(wire.data(), 6, OrdinaryLatency());
}

void SendR3(uint32_t ocr) {
  const std::array<uint8_t, 6> wire = {0x3F, static_cast<uint8_t>(ocr >> 24), static_cast<uint8_t>(ocr >> 16),
                                       static_cast<uint8_t>(ocr >> 8), static_cast<uint8_t>(ocr), 0xFF};
  StartResponse(wire.data(), 6, g.config.identLatency);
}

void SendR2(const Register& reg, int latency) {
  std::array<uint8_t, 17> wire{};
  wire[0] = 0x3F;
  std::memcpy(wire.data() + 1, reg.data(), reg.size());
  StartResponse(wire.data(), 17, latency);
}

void Illegal() {
  // A card left receiving an open multiple-block write refuses what comes
  // next; the driver's recovery (a fresh bring-up) expects that, so it is
  // counted apart from the host's other illegal commands.
  if (g.state == CardState::Rcv) {
    ++g.counters.commandsInOpenWrite;
  } else {
    ++g.counters.illegalCommands;
  }
  g.pendingErrors |= kIllegalCommand;
}

// Checks a data command's address; on success *sector is its block.
bool DataAddress(uint8_t index, uint32_t address, uint32_t* sector) {
  if (address % g.blockLen != 0) {
    SendR1(index, g.state, kAddressError);
    return false;
  }
  if (address / 512u >= g.sectors) {
    SendR1(index, g.state, kOutOfRange);
    return false;
  }
  *sector = address / 512u;
  return true;
}

void Execute(uint8_t index, uint32_t argument) {
  const CardState before = g.state;
  const bool addressed = (argument >> 16) == g.rca && g.rca != 0;
  switch (index) {
    case 0:
      ++g.counters.bringUps;
      ResetCard();
      return;
    case 1:
      if (before != CardState::Idle) break;
      if (argument != 0 && (argument & kCardOcr) == 0) {
        g.state = CardState::Ina;
        return;
      }
      ++g.cmd1Count;
      if (!g.faults.neverReady && g.cmd1Count > g.config.cmd1BusyResponses) {
        g.state = CardState::Ready;
        SendR3(kCardOcr | kOcrReady);
      } else {
        SendR3(kCardOcr);
      }
      return;
    case 2:
      if (before != CardState::Ready) break;
      if (g.faults.noCidResponse) return;
      g.state = CardState::Ident;
      SendR2(g.registers.cid, g.config.identLatency);
      return;
    case 3:
      if (before != CardState::Ident) break;
      g.rca = static_cast<uint16_t>(argument >> 16);
      g.state = CardState::Stby;
      SendR1(index, before);
      return;
    case 7:
      if (before == CardState::Stby && addressed) {
        g.state = CardState::Tran;
        SendR1(index, before);
        return;
      }
      if (before == CardState::Stby) return;  // another card's address
      if (before == CardState::Tran && !addressed) {
        g.state = CardState::Stby;  // deselected, no response
        return;
      }
      break;
    case 9:
      if (before != CardState::Stby) break;
      if (addressed) SendR2(g.registers.csd, OrdinaryLatency());
      return;
    case 12:
      if (before == CardState::Data) {
        if (g.faults.noStopResponse) return;
        g.read = ReadStream{};
        g.datOut = 1;
        g.drivingDat = false;
        g.state = CardState::Tran;
        SendR1(index, before);
        return;
      }
      if (before == CardState::Rcv) {
        // A block under way is dropped. The card answers, then holds DAT
        // busy: on from the last accepted block, or for a fresh period that
        // starts behind its response.
        g.write.phase = WritePhase::Off;
        g.state = CardState::Prg;
        const int latency = SendR1(index, before);
        ++g.counters.stopBusy;
        if (!g.datSeq.active) {
          g.datSeq = DatSequence{};
          g.datSeq.active = true;
          g.datSeq.tokenPosition = 5;  // no CRC status token
          g.datSeq.wait = latency + 48 + 2;
          g.datSeq.busy = Timing(32, kMinStopBusy, kMaxStopBusy);
        }
        return;
      }
      break;
    case 13:
      if (before == CardState::Idle || before == CardState::Ready || before == CardState::Ident ||
          before == CardState::Ina) {
        break;
      }
      if (addressed) SendR1(index, before);
      return;
    case 16:
      if (before != CardState::Tran) break;
      // Only 512-byte blocks are supported; another length is refused in
      // the response's status and changes nothing.
      SendR1(index, before, argument == 512 ? 0 : kBlockLenError);
      return;
    case 18: {
      if (before != CardState::Tran) break;
      uint32_t sector = 0;
      if (!DataAddress(index, argument, &sector)) return;
      g.state = CardState::Data;
      const int latency = SendR1(index, before);
      g.read = ReadStream{};
      g.read.active = true;
      g.read.sector = sector;
      g.read.wait = ReadAccess(latency);
      return;
    }
    case 25: {
      if (before != CardState::Tran) break;
      uint32_t sector = 0;
      if (!DataAddress(index, argument, &sector)) return;
      g.state = CardState::Rcv;
      SendR1(index, before);
      g.write.phase = WritePhase::WaitStart;
      g.write.startAllowed = UINT64_MAX;  // set once the response has gone out
      g.write.sector = sector;
      return;
    }
    default:
      break;
  }
  Illegal();
}

void HandleToken(const TokenReceiver& rx) {
  if (g.tokenBroken) return;  // counted where the host broke it off
  const Token token = DecodeToken(rx.bits);
  if (!token.valid) {
    ++g.counters.badTokens;
    return;
  }
  if (rx.startClock < g.commandAllowed) {
    ++g.counters.earlyCommands;
    return;
  }
  ++g.counters.commands[token.index];
  if (g.log.size() < 1000000) g.log.push_back(MmcSimCommand{token.index, token.argument});
  Execute(token.index, token.argument);
}

bool LoadReadBlock() {
  if (g.read.sector >= g.sectors) {
    g.pendingErrors |= kOutOfRange;
    return false;
  }
  if (PulledAt(g.read.sector)) return false;
  if (!StorageRead(g.storage, g.read.sector, g.read.block.data())) {
    g.pendingErrors |= kCardEccFailed;  // no data block follows
    return false;
  }
  const uint16_t crc = SimCrc16(g.read.block.data(), 512);
  g.read.block[512] = static_cast<uint8_t>(crc >> 8);
  g.read.block[513] = static_cast<uint8_t>(crc);
  if (TakeFault(g.readCrcErrors, g.read.sector)) {
    g.read.block[513] ^= 0x01u;
    ++g.counters.readCrcInjected;
  }
  return true;
}

void FinishWrittenBlock(int endBit) {
  const bool crcGood = endBit == 1 && SimCrc16(g.write.block.data(), 514) == 0;
  const bool rejected = TakeFault(g.writeRejects, g.write.sector);
  const bool inRange = g.write.sector < g.sectors;
  g.datSeq = DatSequence{};
  g.datSeq.active = true;
  g.datSeq.wait = 2;
  const bool stored = crcGood && !rejected && inRange && !g.write.early &&
                      StorageWrite(g.storage, g.write.sector, g.write.block.data());
  if (stored) {
    ++g.counters.blocksWritten;
    if (g.faults.pullAfterBlocks > 0) --g.faults.pullAfterBlocks;
    ++g.write.sector;
    g.datSeq.token = 0x05;  // 0 010 1: accepted
    g.datSeq.busy = g.faults.busyForever ? -1 : Timing(g.config.busyClocks, 1, kMaxBusy);
    g.write.phase = WritePhase::Busy;
  } else {
    ++g.counters.blocksRejected;
    // 0 101 1: CRC error; 0 110 1: write error (out of range, or the block
    // could not be programmed)
    g.datSeq.token = inRange && (!crcGood || rejected) ? 0x0B : 0x0D;
    g.datSeq.busy = 0;
    g.write.phase = WritePhase::Ignore;  // further blocks are ignored until a stop
    if (!inRange) g.pendingErrors |= kOutOfRange;
  }
}

void WriteRise(int dat, uint64_t clock) {
  switch (g.write.phase) {
    case WritePhase::WaitStart:
      if (dat != 0) return;
      if (PulledAt(g.write.sector)) return;
      if (g.faults.pullAfterBlocks == 0) {
        PullCard();
        return;
      }
      // A block that starts before the response is out, or under two clocks
      // behind it or behind the busy, is taken in and refused.
      g.write.early = clock < g.write.startAllowed;
      if (g.write.early) ++g.counters.earlyBlocks;
      g.write.phase = WritePhase::Bits;
      g.write.count = 0;
      g.write.block.fill(0);
      return;
    case WritePhase::Bits:
      if (dat != 0) {
        g.write.block[static_cast<std::size_t>(g.write.count >> 3)] |= static_cast<uint8_t>(0x80u >> (g.write.count & 7));
      }
      if (++g.write.count == kBlockBits) g.write.phase = WritePhase::EndBit;
      return;
    case WritePhase::EndBit:
      FinishWrittenBlock(dat);
      return;
    default:
      return;
  }
}

void CardRise(int hostCmd, int hostDat, uint64_t clock);

void Rise(int hostCmd, int hostDat) {
  ++g.counters.clocks;
  const uint64_t clock = ++g.clock;
  const bool inToken = g.monitor.active;
  const bool tokenEnds = g.monitor.Feed(hostCmd, clock);
  if (tokenEnds) {
    const Token token = DecodeToken(g.monitor.bits);
    if (token.valid) ++g.counters.wireCommands[token.index];
  } else if (!inToken && g.monitor.active) {
    g.tokenBroken = false;  // a new token starts
  }
  CardRise(hostCmd, hostDat, clock);
  // The next command may start 8 full clocks behind this one's end bit.
  if (tokenEnds) g.commandAllowed = std::max(g.commandAllowed, clock + kCommandGap);
}

void CardRise(int hostCmd, int hostDat, uint64_t clock) {
  if (!CardActive()) return;
  if ((hostCmd == 0 && g.drivingCmd) || (hostDat == 0 && g.drivingDat)) ++g.counters.conflicts;
  if (g.powerClocks < kPowerUpClocks) {
    ++g.powerClocks;
    return;
  }
  const int cmd = hostCmd & g.cmdOut;
  const int dat = hostDat & g.datOut;
  if (!g.cmdTx.active && g.receiver.Feed(cmd, clock)) HandleToken(g.receiver);
  if (g.write.phase != WritePhase::Off) WriteRise(dat, clock);
}

void FallCmd() {
  CmdTransmitter& tx = g.cmdTx;
  if (!tx.active) return;
  if (tx.wait > 0) {
    --tx.wait;
    return;
  }
  if (tx.position < tx.bitCount) {
    const int p = tx.position++;
    g.cmdOut = (tx.wire[static_cast<std::size_t>(p >> 3)] >> (7 - (p & 7))) & 1;
    g.drivingCmd = true;
    if (tx.position == tx.bitCount) {  // the end bit, seen on the next rising edge
      g.responseEndClock = g.clock + 1;
      g.commandAllowed = std::max(g.commandAllowed, g.responseEndClock + kCommandGap);
      if (g.write.phase == WritePhase::WaitStart) g.write.startAllowed = g.responseEndClock + kWriteGap;
    }
    return;
  }
  tx.active = false;
  g.cmdOut = 1;
  g.drivingCmd = false;
}

void FallRead() {
  ReadStream& rd = g.read;
  if (rd.wait > 0) {
    --rd.wait;
    g.datOut = 1;
    g.drivingDat = false;
    return;
  }
  if (rd.bit < 0) {
    if (!LoadReadBlock()) {
      rd.active = false;
      g.datOut = 1;
      g.drivingDat = false;
      return;
    }
    rd.bit = 0;
  }
  const int b = rd.bit;
  if (b == 0) {
    g.datOut = 0;
  } else if (b <= kBlockBits) {
    const int i = b - 1;
    g.datOut = (rd.block[static_cast<std::size_t>(i >> 3)] >> (7 - (i & 7))) & 1;
  } else {
    g.datOut = 1;
  }
  g.drivingDat = true;
  if (++rd.bit > kBlockBits + 1) {
    ++g.counters.blocksRead;
    ++rd.sector;
    rd.bit = -1;
    rd.wait = Timing(std::max(0, g.config.blockGap), 1, kMaxReadLatency);
  }
}

void FallDatSequence() {
  DatSequence& seq = g.datSeq;
  if (seq.wait > 0) {
    --seq.wait;
    return;
  }
  if (seq.tokenPosition < 5) {
    g.datOut = (seq.token >> (4 - seq.tokenPosition)) & 1;
    ++seq.tokenPosition;
    g.drivingDat = true;
    return;
  }
  if (seq.busy != 0) {
    g.datOut = 0;
    g.drivingDat = true;
    if (seq.busy > 0) --seq.busy;
    return;
  }
  seq.active = false;
  g.datOut = 1;
  g.drivingDat = false;
  if (g.write.phase == WritePhase::Busy) {
    g.write.phase = WritePhase::WaitStart;
    g.write.startAllowed = g.clock + kWriteGap;  // DAT reads high from the next rising edge
  }
  if (g.state == CardState::Prg) g.state = CardState::Tran;
}

void Fall() {
  if (!CardActive()) return;
  const uint8_t before = LineLevels();
  FallCmd();
  if (g.read.active) {
    FallRead();
  } else if (g.datSeq.active) {
    FallDatSequence();
  }
  // A line the card has just changed may still read its old level once.
  const uint8_t changed = static_cast<uint8_t>(before ^ LineLevels());
  if (changed != 0 && g.random != 0 && Timing(0, 0, 1) == 1) {
    g.settleMask = changed;
    g.settleOld = before;
  }
}

}  // namespace mmcsim_internal
