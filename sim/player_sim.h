// Simulated TALVARO player on a pseudo-terminal.
//
// The player serves the master side of a fresh pty from its own thread with
// the player's byte protocol; the driver opens the slave side like a serial
// line (point ser_SetDevicePathOverride at playersim_DevicePath()). Each of
// the two slots holds a card image file (flat 512-byte sectors; sectors past
// the file's end read as zeros, writes extend the file) or is empty. One
// player per process, module-level state.
//
//   PlayerSimConfig config;
//   config.slots[0].imagePath = "card1.ros";    // slot 1; empty path = no card
//   config.slots[0].cardSize = 132907008;       // size in the 'H' answer
//   config.version = 214;                       // answer to 'o'
//   config.logBytes = true;                     // time-stamped byte log
//   playersim_Start(config);                    // false when the pty or an
//                                               // image cannot be opened
//   ser_SetDevicePathOverride(playersim_DevicePath().c_str());
//   vexo_SetDelayHook(playersim_DelayHook);     // shortened, deterministic pauses
//   ... run the driver ...
//   playersim_Counters().sectorsWritten;        // counters (playersim_ResetCounters)
//   playersim_Log();                            // every byte, both directions
//   playersim_Stop();
//
// What the player does:
//   '1' / '2'      selects the slot: 'H' and the card size (4 bytes, LE) when it
//                  holds a card, else 'N' and four zero bytes.
//   'o'            the version byte.
//   'r' addr 'm' x read request, checked (mark and XOR, address a whole sector
//                  inside the card): 'E' when refused, else a status byte 'K'
//                  and the 513-byte block (data, XOR). Each 'n' from the PC
//                  then brings the next sector's block, with no status byte.
//   'w' addr 'm' x write request, checked likewise: an acknowledge byte 'A'
//                  (or 'E' when refused), then the 514-byte block (data,
//                  CRC-16/XMODEM high byte first) and a separate 'n'. A block
//                  whose CRC or 'n' is wrong is answered 'C', a refused
//                  request's block 'E'; a good block is written, read back and
//                  answered 'V'. After 'V' the PC may stream the next sector as
//                  a 515-byte block (data, CRC, 'n').
// A streamed write block and a new command are told apart by what follows
// the first byte, as the real player must: the PC sends a block in one go
// but a command byte alone, followed by silence (a search digit or 'o' is
// followed by the PC waiting for the answer; 'r'/'w' by the six request bytes
// and then silence). So after 'V' a first byte that is a command is taken as
// one only when silence follows it (for 'r'/'w': after six more bytes that
// form a valid request). Bytes that fit nothing are counted as stray.
//
// playersim_DelayHook shortens every vexo_Delay to 1/20 and then waits until
// the player has taken in every byte the driver wrote and is waiting for the
// PC again. A pause therefore ends with the player's answer on the line, so
// the short reads after a pause (the status byte, the version) are
// deterministic. The polled time-outs of the driver keep their real meaning.
//
// Byte log: one entry per byte on the wire: fromPc bytes as the driver wrote
// them (before a receive fault), player bytes as they went out (after a send
// fault; a dropped byte is not logged). Times in ns since the player started.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct PlayerSlotConfig {
  std::string imagePath;          // empty: no card in this slot
  uint32_t cardSize = 132907008;  // bytes, as reported in the search answer
};

// PlayerSimConfig::baud: the speed the driver set on the line.
constexpr int kPlayerLineSpeed = -1;

struct PlayerSimConfig {
  std::array<PlayerSlotConfig, 2> slots;  // slot 1, slot 2
  int version = 214;                      // 0..255
  bool logBytes = false;
  // Pacing of the line, both ways: 0 = as fast as the pty; kPlayerLineSpeed
  // = the speed the driver set on the line (115200, or 57600 when slow);
  // otherwise this many baud. Every byte takes 10 bit times (8N1); the player
  // hands the PC what its 16-byte FIFO has ready, and takes in the PC's bytes
  // no faster than the line brings them.
  int baud = 0;
  // The player's bytes go out one at a time, each as its last bit ends, as
  // from a UART without a FIFO (paced at the line's speed when baud is 0).
  bool byteAtATime = false;
};

// Faults, set any time; byte positions count from the moment they are set
// (0 = the next byte), -1 = off. Counted faults are used up one by one.
struct PlayerFaults {
  bool silent = false;              // read everything, answer nothing
  int64_t dropSendAt = -1;          // player byte k never reaches the PC
  int64_t corruptSendAt = -1;       // player byte k arrives inverted (XOR 0xFF)
  int64_t dropReceiveAt = -1;       // PC byte k never reaches the player
  int64_t corruptReceiveAt = -1;    // PC byte k arrives inverted
  int refuseReads = 0;              // next n read requests answered 'E'
  int failVerifies = 0;             // next n written blocks answered 'F' (not written)
  bool noVersion = false;           // 'o' gets no answer
  int emptySlot = 0;                // with emptyAfterSectors: slot 1 or 2
  int64_t emptyAfterSectors = -1;   // slot empties after this many more sectors
                                    // are read or written on it (0 = now)
  int64_t hangupAfter = -1;         // the player closes its side of the line
                                    // once its byte k has gone out (the PC
                                    // reads what had arrived, then a hang-up)
};

struct PlayerCounters {
  uint64_t bytesReceived = 0;
  uint64_t bytesSent = 0;
  std::array<uint32_t, 2> searches{};  // search digits '1', '2'
  uint32_t versionQueries = 0;
  uint32_t readRequests = 0;        // well-formed read requests
  uint32_t writeRequests = 0;       // well-formed write requests
  uint32_t badRequests = 0;         // wrong mark or XOR
  uint32_t refusals = 0;            // 'E' sent for any reason
  uint32_t blocksSent = 0;          // read blocks, by request and streamed
  uint32_t streamedReads = 0;       // blocks sent after an 'n'
  uint32_t sectorsWritten = 0;
  uint32_t streamedWrites = 0;      // 515-byte blocks written
  uint32_t crcErrors = 0;           // write blocks with a wrong CRC or no 'n'
  uint32_t verifyFailures = 0;      // 'F' sent by the failVerifies fault
  uint32_t strayBytes = 0;          // bytes that fit no command
  uint32_t incompleteBlocks = 0;    // write blocks cut off by silence
};

struct PlayerLogEntry {
  bool fromPc;
  uint8_t byte;
  int64_t nanos;
};

bool playersim_Start(const PlayerSimConfig& config);
void playersim_Stop();
bool playersim_Running();
// The slave side of the pty, for ser_SetDevicePathOverride.
std::string playersim_DevicePath();

void playersim_SetFaults(const PlayerFaults& faults);
PlayerFaults playersim_Faults();  // what is left of them
// Takes a card out (empty path) or puts one in, any time.
bool playersim_SetSlotImage(int slot, const std::string& imagePath, uint32_t cardSize = 132907008);

// The counters and the log are read once the player has taken in and
// answered everything the driver sent (playersim_WaitQuiet), and so are reset
// and cleared: they never race the player's thread.
PlayerCounters playersim_Counters();
void playersim_ResetCounters();
// A one-line summary of what the PC sent that fits no protocol step (bad
// requests, bad or cut-off write blocks, stray bytes), "" when none.
std::string playersim_DepartureSummary();
std::vector<PlayerLogEntry> playersim_Log();
void playersim_ClearLog();
// Bytes of one direction from the log, in order.
std::vector<uint8_t> playersim_LoggedBytes(bool fromPc);

// Waits until the player has taken in every byte the driver wrote and waits
// for the PC; false after timeoutMs without that.
bool playersim_WaitQuiet(int timeoutMs);
// Delay hook for tests: n x 500 us, then playersim_WaitQuiet.
void playersim_DelayHook(uint32_t units);
