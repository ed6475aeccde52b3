// The simulated player's state, shared by its two halves: the line
// (player_line.cpp: bytes in and out, their pacing at the baud rate, the
// faults on single bytes, the hang-up) and the protocol with the program's
// calls (player_sim.cpp). Only those two files include this.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/player_sim.h"

namespace playersim_internal {

using Clock = std::chrono::steady_clock;

// Silence after a lone command byte (or a complete request) that makes it
// a command rather than the start of a streamed block. A block is written
// in one go, so its bytes never pause this long.
constexpr int kCommandGapMillis = 8;
// Silence inside a write block after which the block is given up.
constexpr int kMidBlockMillis = 500;
// Silence before the first byte of the block that follows a write request.
constexpr int kBlockStartMillis = 3000;
constexpr int kForever = -1;

constexpr uint8_t kStatusData = 'K';
constexpr uint8_t kAcknowledge = 'A';
constexpr uint8_t kNoCard = 'N';
constexpr uint8_t kBadBlock = 'C';
constexpr uint8_t kVerifyFailed = 'F';

struct Slot {
  int fd = -1;
  uint32_t cardSize = 0;
};

enum class Stream { None, Read, Write };

// Shared between the player thread and the test thread (under g_mutex).
inline std::mutex g_mutex;
inline std::condition_variable g_changed;
inline bool g_running = false;
inline bool g_quiet = false;
inline std::array<Slot, 2> g_slots;
inline int g_version = 214;
inline bool g_logging = false;
inline PlayerFaults g_faults;           // byte positions absolute
inline PlayerCounters g_counters;
inline std::vector<PlayerLogEntry> g_log;
inline uint64_t g_received = 0;         // bytes read from the master, monotonic
inline uint64_t g_sendPosition = 0;     // bytes the player meant to send, monotonic
inline uint64_t g_driverBase = 0;       // driver's written total when the player started
inline Clock::time_point g_startTime;

inline std::thread g_thread;
inline std::atomic<bool> g_stopRequested{false};
inline int g_master = -1;
inline int g_slave = -1;
inline int g_wake[2] = {-1, -1};
inline std::string g_slavePath;

// Player thread only.
inline std::deque<uint8_t> g_input;
inline std::deque<Clock::time_point> g_inputDue;  // when each input byte is through the line
inline int g_baud = 0;                            // PlayerSimConfig::baud
inline bool g_byteAtATime = false;
inline Clock::time_point g_sendFree;              // the line from the player is busy until then
inline Clock::time_point g_receiveFree;           // the line from the PC is busy until then
inline int g_selected = 0;  // slot chosen by the last search, 0 = none
inline Stream g_stream = Stream::None;
inline uint32_t g_streamSector = 0;
inline bool g_undelivered = false;
inline uint64_t g_driverReadMark = 0;
inline bool g_hungUp = false;  // the master is closed (under g_mutex)

// The line's side, for the protocol.
void CloseSlot(Slot& slot);
bool OpenSlot(Slot& slot, const std::string& path, uint32_t cardSize);
int PendingOn(int fd);
bool NextByte(uint8_t& value, int timeoutMs, bool quiet);
bool MoreWithin(int millis);
void Send(const uint8_t* data, std::size_t count);
void SendByte(uint8_t value);

}  // namespace playersim_internal
