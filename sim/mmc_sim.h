// Folder sim/: simulated hardware: this adapter and card, and the player on
// a pseudo-terminal (player_sim.h), each keeping its card in an image file;
// the simulator program (vexo_sim_main.cpp). May include: every folder
// below; only tests/, bench/ and the simulator program include sim/.
//
// Simulated parallel-port MMC adapter and the MultiMediaCard in it.
//
// The simulator sits behind the port-access seam (drivers/ppa/port_io.h; this
// library's port_io_sim.cpp routes portio_* here), so the unchanged driver
// runs against it. It sees every register access: the data register's
// clock, CMD and DAT levels, the status register the driver samples, and
// the control register that switches the card's supply (raw bit 2 set =
// powered). Lines are the wired-AND of host and card levels; the card
// samples CMD and DAT on the rising clock edge and changes its outputs on
// the falling edge. Nothing here is timed: every delay is counted in clocks.
//
// Use (one card per process, module-level state):
//
//   MmcSimConfig config;                  // defaults: 132907008 bytes, ...
//   mmcsim_InstallMemoryCard(config);     // sectors kept in memory, or
//   mmcsim_InstallImageCard("c.ros", config);  // sectors kept in an image file
//                                         // (flat 512-byte sectors, read past
//                                         // the file's end gives zeros)
//   mmcsim_Faults()->neverReady = true;   // faults, any time
//   mmcsim_SetReadCrcError(130, 1);       // one bad CRC16 on sector 130
//   mmcsim_Counters().commands[18];       // counters (reset: mmcsim_ResetCounters)
//   mmcsim_SetTrace(file);                // one line per register access
//   mmcsim_Remove();                      // no adapter: port access is refused
//
// Without an installed adapter (or with the refuseAccess fault) the
// permission request fails, as on a machine without a parallel port.
//
// Trace lines: "<register> <R|W> 0x<value>\n" with register data, status or
// control and the raw (uncomplemented) register value, two hex digits.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct MmcSimConfig {
  // Card size in bytes, rounded down to the nearest size a CSD can express
  // (READ_BL_LEN 9..15, C_SIZE_MULT 0..7, C_SIZE 0..4095); see
  // mmcsim_CapacityBytes. 2 GiB and more are possible.
  uint64_t capacityBytes = 132907008;
  // Sample (clocks after the command's end bit) on which ordinary responses
  // start; the bus allows 2..64. CMD1 and CMD2 always answer on sample 5
  // unless identLatency says otherwise (a card that breaks the bus timing, for tests).
  int responseLatency = 4;
  int identLatency = 5;
  // Clocks between a read command's response end bit and the first data
  // start bit (at least 1), and idle clocks between blocks of a read.
  int readLatency = 8;
  int blockGap = 4;
  // Clocks the card holds DAT low (busy) after accepting a written block.
  int busyClocks = 32;
  // CMD1 responses with the busy bit (OCR bit 31 clear) before ready.
  int cmd1BusyResponses = 3;
  // 0: the fixed timings above. Otherwise every response (sample 2..64; CMD1
  // and CMD2 keep identLatency), data start (from sample 2 after the read
  // command, so often during its response, up to 256 clocks behind it), gap between read blocks and busy
  // period draws its own length from this seed within the bus's bounds, and
  // a line the card changes may still read its old level on the first status
  // read after the clock edge.
  uint32_t timingSeed = 0;
};

struct MmcSimFaults {
  bool refuseAccess = false;   // the port permission request fails
  bool noCard = false;         // the slot is empty: lines stay high
  bool neverReady = false;     // CMD1 answers busy forever
  bool noCidResponse = false;  // CMD2 gets no response
  bool busyForever = false;    // DAT stays low after the next accepted block
  bool noStopResponse = false; // CMD12 is ignored (data keeps flowing)
  int64_t pullAtSector = -1;   // card removed when a transfer reaches this sector
  int64_t pullAfterBlocks = -1;  // card removed when a block starts after this many
                                 // more were programmed (0 = the next block)
  uint32_t statusGlitchEvery = 0;  // every n-th status read returns CMD/DAT flipped
  int earlyData = 0;  // a read's first block starts this many clocks before
                      // its response ends (not before the host's sample 2)
};

struct MmcSimCommand {
  uint8_t index;
  uint32_t argument;
};

struct MmcSimCounters {
  std::array<uint64_t, 64> commands{};      // valid tokens the card accepted, by index
  std::array<uint64_t, 64> wireCommands{};  // host tokens seen on the wire (card or not)
  uint64_t bringUps = 0;         // CMD0 received by the card
  uint64_t powerUps = 0;         // supply switched on with a card present
  uint64_t clocks = 0;           // rising clock edges
  uint64_t dataWrites = 0;       // register accesses
  uint64_t statusReads = 0;
  uint64_t controlWrites = 0;
  uint64_t strayAccesses = 0;    // accesses outside the granted ports
  // Departures of the host from the bus's rules (mmcsim_Departures):
  uint64_t badTokens = 0;        // tokens with a bad CRC7, transmission or end bit
  uint64_t illegalCommands = 0;  // valid tokens not allowed in the card's state
                                 // (but for those that meet an open write)
  uint64_t earlyCommands = 0;    // tokens under 8 clocks after the last command
                                 // or response (ignored)
  uint64_t registerBits = 0;     // data-register writes with a fixed bit (3..6) wrong
  uint64_t commandMode = 0;      // writes with the command-mode bit wrong
  uint64_t cutCommands = 0;      // tokens whose bits stopped before the end bit
                                 // (the host sampled early; ignored)
  uint64_t earlyBlocks = 0;      // written blocks started under 2 clocks after the
                                 // response or busy (refused)
  uint64_t unconfirmedSamples = 0;  // clocks whose last status read was not
                                    // confirmed by an equal read before it
  uint64_t blocksRead = 0;       // blocks the card sent completely
  uint64_t blocksWritten = 0;    // blocks programmed
  uint64_t blocksRejected = 0;   // blocks answered with a CRC error token
  uint64_t readCrcInjected = 0;
  uint64_t conflicts = 0;        // host pulled a line low that the card was driving
  uint64_t commandsInOpenWrite = 0;  // commands refused by a card left receiving
                                    // an open multiple-block write (no departure:
                                    // the driver's recovery expects them)
  uint64_t stopBusy = 0;         // busy periods after a stop during a write
  uint8_t lastControl = 0;       // last raw control value
};

// Installs a card whose sectors live in memory (unwritten ones read as 0).
void mmcsim_InstallMemoryCard(const MmcSimConfig& config);
// Installs a card kept in an image file, created when missing; false when
// the file cannot be opened (nothing is installed then).
bool mmcsim_InstallImageCard(const char* path, const MmcSimConfig& config);
// Removes the adapter and card, closing an image file.
void mmcsim_Remove();
// The simulated adapter exists only in this process, so the lock on its port
// address lives in a lock folder of this process (made once, removed at exit):
// simulated runs in other processes never take each other's adapter for
// theirs. Every program that links the simulated seam uses it from start-up;
// installing a card sets it again (after a test pointed the locks elsewhere).
void mmcsim_UseOwnLockFolder();
// Removes that folder now (also done at exit), for a program about to end by
// a signal.
void mmcsim_RemoveOwnLockFolder();
bool mmcsim_Installed();

uint64_t mmcsim_CapacityBytes();
// Direct sector access for set-up and checks (no bus traffic, not counted).
void mmcsim_ReadSector(uint32_t sector, uint8_t* data512);
void mmcsim_WriteSector(uint32_t sector, const uint8_t* data512);

MmcSimFaults* mmcsim_Faults();
// A sector's next `times` reads carry a bad CRC16 (times < 0: every read);
// times 0 clears it.
void mmcsim_SetReadCrcError(uint32_t sector, int times);
// A sector's next `times` written blocks are answered with the CRC error
// token and not programmed (times < 0: always).
void mmcsim_SetWriteCrcReject(uint32_t sector, int times);
void mmcsim_ClearFaults();
// Puts a pulled card back (it needs a power-up again).
void mmcsim_InsertCard();

const MmcSimCounters& mmcsim_Counters();
// Accepted commands in order (index and argument), since the last reset.
const std::vector<MmcSimCommand>& mmcsim_CommandLog();
void mmcsim_ResetCounters();

// The sum of the departure counters above (stray accesses and conflicts
// included), and a one-line summary of the non-zero ones ("" when none),
// e.g. "3 bus departures: 2 bad tokens, 1 early command".
uint64_t mmcsim_Departures();
std::string mmcsim_DepartureSummary();
// Departures since the program started: kept through resets and removals;
// and the summary of the latest ones (current, else the last reset away).
uint64_t mmcsim_DeparturesEver();
std::string mmcsim_LastDepartureSummary();

// Card state name: "idle", "ready", "ident", "stby", "tran", "data", "rcv",
// "prg", "ina", or "off" (no supply or no card).
const char* mmcsim_State();
uint32_t mmcsim_BlockLength();

// One trace line per register access to `file` (nullptr: off). The file
// stays the caller's.
void mmcsim_SetTrace(FILE* file);

// The seam's calls, as port_io_sim.cpp forwards them. ReleaseAccess ends a
// grant (a released ppdev device): later accesses are stray.
int mmcsim_RequestAccess(uint16_t base, unsigned count);
void mmcsim_ReleaseAccess();
void mmcsim_Out(uint16_t port, uint8_t value);
uint8_t mmcsim_In(uint16_t port);
