// Helpers shared by the test files: a temporary folder that cleans up after
// itself, whole-file reads and writes, and running a vexo command line in
// process with its standard output captured.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/vexo_types.h"

struct PlayerSimSession;

namespace vexo_test {

using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `bytes` into the file `name` of the folder; returns its path.
  std::string Write(const std::string& name, const Bytes& bytes) const;

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);
// Up to `count` bytes of a file from `offset`, fewer where the file ends
// (sparse, card-sized files are fine).
std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, std::size_t count);
// `count` sectors of an image file from sector `first`, zeros past its end.
std::vector<uint8_t> ImageSectors(const std::string& path, uint32_t first, uint32_t count = 1);

// A sector buffer holding the first 512 bytes given (zeros after them), and
// the 512 data bytes of a sector buffer.
SectorBuffer ToSector(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> DataOf(const SectorBuffer& buffer);
// Deterministic test content: byte i is a mix of i and the seed.
std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed = 1);

struct RunResult {
  int status;
  std::string out;
};
// Runs vexo_Main with these arguments (the program name is added) and
// returns its exit status and everything it printed on standard output.
RunResult RunVexo(const std::vector<std::string>& args);
// The same with the port words `front` put before the arguments.
RunResult RunVexo(const std::vector<std::string>& front, const std::vector<std::string>& args);

// The shell command that runs the built vexo-sim with these (shell-quoted)
// arguments; RunSim runs it and returns its standard output and error
// together, and its exit status as a shell reports it (128 + n for signal n).
std::string SimCommand(const std::string& arguments);
RunResult RunSim(const std::string& arguments);

// Makes every vexo_Delay return at once, until a test puts the real pauses
// back (a CardOnPort does when it goes).
void UseNoDelay();

// For the parallel-port adapter on the simulated card: no pauses and no
// wait after a power-up.
void UseNoAdapterWaits();

// Every test fails when the simulated card counted departures of the driver
// from the bus's rules during it (a listener that every test program gets
// from this support library checks at the end of each test). A test that
// breaks the rules on purpose takes the departures it caused: the number
// since the test began or since the last take.
uint64_t TakeCardDepartures();



// ---- Card images ------------------------------------------------------------
// Helpers for tests that build card images by hand, byte by byte, the way the
// card layout stands on a card (little-endian, header in sector 0, 32-byte
// entries from byte 512, title data from byte 0x10000).

struct CardTitle {
  uint32_t start = 0;
  uint32_t size = 0;
  std::string title;
  uint8_t type = 1;
};

uint16_t Le16(const std::vector<uint8_t>& bytes, std::size_t offset);
uint32_t Le32(const std::vector<uint8_t>& bytes, std::size_t offset);
void PutLe16(std::vector<uint8_t>& bytes, std::size_t offset, uint16_t value);
void PutLe32(std::vector<uint8_t>& bytes, std::size_t offset, uint32_t value);
std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, std::size_t offset, std::size_t count);

// The 32 bytes of one table entry.
std::vector<uint8_t> EncodeCardTitle(const CardTitle& title);

// An image of `length` zero bytes (at least 64 KiB) holding a header of this
// card type and name (headerByte2/3 = 1, tableOffset 512, entrySize 32) and
// the given titles' entries; written to path and returned.
std::vector<uint8_t> WriteCardImage(const std::string& path, uint16_t cardType,
                                    const std::string& name, const std::vector<CardTitle>& titles,
                                    std::size_t length = 0x10000);

// ---- One card on each kind of port -------------------------------------------
// A card kept in an image file, reached through the image-file driver, the
// simulated adapter on lp1, or the simulated player on ttyS0 (slot 1), with
// the pauses shortened. The destructor closes the port and removes the
// simulated device.

// The line that ends a copy's progress lines.
inline const std::string kDone = " Done.                        \n";

constexpr int32_t kAllKinds[] = {VEXO_PORT_ROS, VEXO_PORT_PARALLEL, VEXO_PORT_SERIAL};
const char* KindName(int32_t kind);

class CardOnPort {
 public:
  CardOnPort(int32_t kind, const std::string& image, uint64_t capacity = 132907008, uint32_t seed = 0);
  ~CardOnPort();
  CardOnPort(const CardOnPort&) = delete;
  CardOnPort& operator=(const CardOnPort&) = delete;
  // Opens the port and finds the card, as a command does before a transfer.
  VexoResult Open();
  // The port words of a command line.
  std::vector<std::string> Words() const;
  // Sectors of the card (its image file), zeros past the file's end.
  std::vector<uint8_t> Sectors(uint32_t first, uint32_t count = 1) const;
  const int32_t kind;
  const int32_t port = 1;
  const std::string image;
  bool ready = false;

 private:
  bool opened_ = false;
  std::unique_ptr<PlayerSimSession> session_;
};

}  // namespace vexo_test
