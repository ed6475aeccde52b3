// The simulated adapter and the card's bus state machine: the register
// accesses, the line levels, the command tokens and responses, the card's
// states and its data blocks on DAT. The card's storage and registers live in
// mmc_card_storage, the departure count and its report in mmc_departures.
#include "sim/mmc_sim.h"

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

namespace {

using namespace mmcsim;

// ---- Card model ---------------------------------------------------------------

enum class CardState { Idle, Ready, Ident, Stby, Tran, Data, Rcv, Prg, Ina };

constexpr uint32_t kCardOcr = 0x00FF8000u;  // 2.7 V .. 3.6 V
constexpr uint32_t kOcrReady = 0x80000000u;
constexpr uint32_t kOutOfRange = 1u << 31;
constexpr uint32_t kAddressError = 1u << 30;
constexpr uint32_t kBlockLenError = 1u << 29;
constexpr uint32_t kIllegalCommand = 1u << 22;
constexpr uint32_t kCardEccFailed = 1u << 21;
constexpr uint32_t kReadyForData = 1u << 8;
constexpr int kPowerUpClocks = 74;
constexpr int kBlockBits = 512 * 8 + 16;  // data and CRC16
constexpr int kCommandGap = 9;   // NCC, NRC: 8 full clocks after an end bit
constexpr int kWriteGap = 3;     // NWR: 2 full clocks before a written block's start bit

// Logical data-register bits (the register holds their complement).
constexpr uint8_t kCmdBit = 0x01;
constexpr uint8_t kDatBit = 0x02;
constexpr uint8_t kModeBit = 0x04;  // 0 only while the host sends a command alone
constexpr uint8_t kFixedBits = 0x78;
// Logical status-register bits.
constexpr uint8_t kCmdIn = 0x10;
constexpr uint8_t kDatIn = 0x20;

// Bounds of the seeded timings, in clocks.
constexpr int kMinResponse = 2, kMaxResponse = 64;
constexpr int kMaxReadLatency = 256;
constexpr int kMaxBusy = 1024;
// Programming what a stop ends takes longer than the host's clocks behind
// the stop's response, so the host always meets the busy.
constexpr int kMinStopBusy = 16, kMaxStopBusy = 64;

struct TokenReceiver {
  bool active = false;
  int count = 0;
  uint64_t bits = 0;
  uint64_t startClock = 0;
  // Feeds one sampled level; true when a whole 48-bit token is in `bits`.
  bool Feed(int level, uint64_t clock) {
    if (!active) {
      if (level == 0) {
        active = true;
        count = 1;
        bits = 0;
        startClock = clock;
      }
      return false;
    }
    bits = (bits << 1) | static_cast<uint64_t>(level);
    if (++count < 48) return false;
    active = false;
    return true;
  }
};

struct Token {
  bool valid = false;
  uint8_t index = 0;
  uint32_t argument = 0;
};

Token DecodeToken(uint64_t bits) {
  std::array<uint8_t, 5> wire{};
  for (int i = 0; i < 5; ++i) wire[static_cast<std::size_t>(i)] = static_cast<uint8_t>(bits >> (40 - 8 * i));
  Token token;
  const bool transmission = ((bits >> 46) & 1u) != 0;
  const bool endBit = (bits & 1u) != 0;
  const uint8_t crc = static_cast<uint8_t>((bits >> 1) & 0x7Fu);
  token.valid = transmission && endBit && crc == SimCrc7(wire.data(), wire.size());
  token.index = static_cast<uint8_t>(wire[0] & 0x3Fu);
  token.argument = (static_cast<uint32_t>(wire[1]) << 24) | (static_cast<uint32_t>(wire[2]) << 16) |
                   (static_cast<uint32_t>(wire[3]) << 8) | wire[4];
  return token;
}

struct CmdTransmitter {  // a response on CMD
  bool active = false;
  int wait = 0;
  int position = 0;
  int bitCount = 0;
  std::array<uint8_t, 17> wire{};
};

struct ReadStream {  // blocks of CMD18 on DAT
  bool active = false;
  int wait = 0;
  int bit = -1;  // -1: next block not loaded; 0 start bit; 1..4112 block; 4113 end bit
  uint32_t sector = 0;
  std::array<uint8_t, 514> block{};
};

enum class WritePhase { Off, WaitStart, Bits, EndBit, Busy, Ignore };

struct WriteReceiver {  // blocks of CMD25 from DAT
  WritePhase phase = WritePhase::Off;
  int count = 0;
  uint32_t sector = 0;
  uint64_t startAllowed = UINT64_MAX;  // first clock that may carry a start bit
  bool early = false;                  // this block started too soon
  std::array<uint8_t, 514> block{};
};

struct DatSequence {  // CRC status token and busy after a written block
  bool active = false;
  int wait = 0;
  int tokenPosition = 0;
  uint8_t token = 0;
  int64_t busy = 0;  // clocks low; -1 forever
};

struct Sim {
  bool installed = false;
  MmcSimConfig config;
  Geometry geometry;
  uint32_t sectors = 0;
  CardRegisters registers;
  Storage storage;

  MmcSimFaults faults;
  std::unordered_map<uint32_t, int> readCrcErrors;
  std::unordered_map<uint32_t, int> writeRejects;
  MmcSimCounters counters;
  std::vector<MmcSimCommand> log;
  FILE* trace = nullptr;

  bool granted = false;
  uint16_t base = 0;
  unsigned grantedCount = 0;
  uint32_t statusReadNumber = 0;

  // Adapter lines.
  bool previousClock = true;
  int hostCmd = 1;
  int hostDat = 1;
  bool powered = false;
  uint64_t clock = 0;  // rising edges since install (the counters may be reset)
  uint64_t random = 0;  // seeded timing state; 0 = fixed timings
  bool tokenBroken = false;       // the host stopped sending the token under way
  uint64_t commandAllowed = 0;    // first clock that may carry a command start bit
  int statusReads = 0;            // status reads since the last data write
  uint8_t lastStatus = 0;
  bool statusConfirmed = false;   // the last two of them agreed
  uint8_t settleMask = 0;         // lines that still read their old level once
  uint8_t settleOld = 0;

  // Card.
  CardState state = CardState::Idle;
  int powerClocks = 0;
  uint16_t rca = 0;
  uint32_t blockLen = 512;
  int cmd1Count = 0;
  uint32_t pendingErrors = 0;
  uint64_t responseEndClock = 0;
  int cmdOut = 1;
  int datOut = 1;
  bool drivingCmd = false;
  bool drivingDat = false;
  TokenReceiver receiver;
  TokenReceiver monitor;
  CmdTransmitter cmdTx;
  ReadStream read;
  WriteReceiver write;
  DatSequence datSeq;
};

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

}  // namespace

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
