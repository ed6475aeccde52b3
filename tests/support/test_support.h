// Helpers shared by the test files: temporary folders, files, vexo runs in
// process, card images built by hand, and one card on each kind of port.
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
// Up to `count` bytes of a file from `offset`, fewer where the file ends.
std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, std::size_t count);
// `count` sectors of an image file from sector `first`, zeros past its end.
std::vector<uint8_t> ImageSectors(const std::string& path, uint32_t first, uint32_t count = 1);

// A sector buffer of the first 512 bytes given (zero-padded), and the data bytes of one.
SectorBuffer ToSector(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> DataOf(const SectorBuffer& buffer);
// Deterministic test content: byte i is a mix of i and the seed.
std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed = 1);

struct RunResult {
  int status;
  std::string out;
};
// vexo_Main with these arguments (the program name is added): its exit status.
int VexoMain(const std::vector<std::string>& args);
// The same, with everything it printed on standard output.
RunResult RunVexo(const std::vector<std::string>& args);
// The same with the port words `front` put before the arguments.
RunResult RunVexo(const std::vector<std::string>& front, const std::vector<std::string>& args);

// The shell command running the built vexo-sim with these (shell-quoted) arguments;
// RunSim runs it: output and error together, the status as a shell reports it.
std::string SimCommand(const std::string& arguments);
RunResult RunSim(const std::string& arguments);

// Every vexo_Delay returns at once until the real pauses are put back (a CardOnPort does when it goes).
void UseNoDelay();
// The same, and no wait after the adapter's power-up.
void UseNoAdapterWaits();

// A listener fails every test during which the simulated card counted departures
// from the bus's rules; a test breaking them on purpose takes those it caused.
uint64_t TakeCardDepartures();

// ---- Card images, byte by byte (little-endian, header in sector 0, entries from 512) ----

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

// What an image's header lists, each title with the bytes it points at (zeros past the
// file's end); none without a valid header.
struct ListedTitle {
  std::string title;
  uint32_t start;
  Bytes bytes;
};
std::vector<ListedTitle> ListedTitles(const std::string& image);

// The 32 bytes of one table entry.
std::vector<uint8_t> EncodeCardTitle(const CardTitle& title);

// An image of `length` zero bytes (at least 64 KiB) with a header of this type,
// name and titles (table at 512, 32-byte entries); written to path and returned.
std::vector<uint8_t> WriteCardImage(const std::string& path, uint16_t cardType,
                                    const std::string& name, const std::vector<CardTitle>& titles,
                                    std::size_t length = 0x10000);

// ---- One card on each kind of port -------------------------------------------
// A card in an image file behind the image-file driver, the card reader (the
// file standing in for its device), the simulated adapter on lp1 or the simulated
// player on ttyS0 (slot 1), pauses shortened; the destructor undoes it all.

constexpr uint32_t kCardSize = 132907008;  // what an image file or a simulated card stands for by default
inline const std::string kDone = " Done.                        \n";

constexpr int32_t kAllKinds[] = {VEXO_PORT_ROS, VEXO_PORT_PARALLEL, VEXO_PORT_SERIAL};
const char* KindName(int32_t kind);

class CardOnPort {
 public:
  CardOnPort(int32_t kind, const std::string& image, uint64_t capacity = kCardSize, uint32_t seed = 0);
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
