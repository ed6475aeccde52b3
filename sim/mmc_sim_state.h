// The simulated card's state shared by its two halves: the bus state
// machine (mmc_sim.cpp: commands, responses, data blocks, the card's states)
// and the adapter's registers with the program's calls (mmc_adapter_sim.cpp).
// Only those two files include this.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/mmc_card_storage.h"
#include "sim/mmc_departures.h"
#include "sim/mmc_sim.h"
#include "sim/sim_checksum.h"

namespace mmcsim_internal {

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

inline Token DecodeToken(uint64_t bits) {
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

extern Sim g;

// The bus state machine's entry points for the register side.
bool CardActive();
uint8_t LineLevels();
void Trace(const char* reg, char direction, uint8_t value);
void ResetCard();
void PowerUp();
void Rise(int hostCmd, int hostDat);
void Fall();

}  // namespace mmcsim_internal
