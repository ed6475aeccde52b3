#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "card/header_format.h"
#include "cli/cli.h"
#include "drivers/ppa/ppa.h"
#include "drivers/reader/rdr.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "host/pauses.h"
#include "transport/transport.h"

namespace vexo_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexo-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  if (made == nullptr) std::abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
  WriteFile(File(name), bytes);
  return File(name);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

SectorBuffer ToSector(const std::vector<uint8_t>& bytes) {
  SectorBuffer buffer{};
  std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), SECTOR_SIZE), buffer.begin());
  return buffer;
}

std::vector<uint8_t> DataOf(const SectorBuffer& buffer) {
  return std::vector<uint8_t>(buffer.begin(), buffer.begin() + SECTOR_SIZE);
}

std::vector<uint8_t> ImageSectors(const std::string& path, uint32_t first, uint32_t count) {
  const std::size_t length = static_cast<std::size_t>(count) * 512;
  std::vector<uint8_t> bytes = ReadRange(path, static_cast<uint64_t>(first) * 512, length);
  bytes.resize(length, 0);
  return bytes;
}

int VexoMain(const std::vector<std::string>& args) {
  std::vector<std::string> storage{"vexo"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return vexo_Main(static_cast<int>(storage.size()), argv.data());
}

RunResult RunVexo(const std::vector<std::string>& args) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  const int status = VexoMain(args);
  std::fflush(stdout);
  return RunResult{status, testing::internal::GetCapturedStdout()};
}

RunResult RunVexo(const std::vector<std::string>& front, const std::vector<std::string>& args) {
  std::vector<std::string> all = front;
  all.insert(all.end(), args.begin(), args.end());
  return RunVexo(all);
}

std::string SimCommand(const std::string& arguments) {
  const char* dir = std::getenv("VEXO_TEST_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/vexo-sim " + arguments;
}

RunResult RunSim(const std::string& arguments) {
  FILE* pipe = popen((SimCommand(arguments) + " 2>&1").c_str(), "r");
  RunResult run{-1, ""};
  if (pipe == nullptr) return run;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, got);
  const int status = pclose(pipe);
  // As a shell reports it: 128 + n for a run ended by signal n.
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  return run;
}

namespace {
void NoDelay(uint32_t) {}
}  // namespace

void UseNoDelay() { vexo_SetDelayHook(NoDelay); }

void UseNoAdapterWaits() {
  UseNoDelay();
  ppa_SetPowerUpWaitHook([] {});
}

namespace {

uint64_t g_departureMark = 0;

class DepartureCheck : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { g_departureMark = mmcsim_DeparturesEver(); }
  void OnTestEnd(const testing::TestInfo&) override {
    const uint64_t departures = mmcsim_DeparturesEver() - g_departureMark;
    if (departures != 0) {
      ADD_FAILURE() << "the simulated card counted " << departures
                    << " departures from the bus's rules; latest: " << mmcsim_LastDepartureSummary();
    }
  }
};

const bool g_departureCheckInstalled =
    (testing::UnitTest::GetInstance()->listeners().Append(new DepartureCheck), true);

// Songs prepared by a test go into a cache folder of the test's own process
// (and of the programs it starts), never into the user's.
struct PrivateSongCache {
  std::string dir;
  PrivateSongCache() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexo-test-cache-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    setenv("XDG_CACHE_HOME", dir.c_str(), 1);
  }
  ~PrivateSongCache() {
    std::error_code error;
    if (!dir.empty()) std::filesystem::remove_all(dir, error);
  }
} g_privateSongCache;

}  // namespace

uint64_t TakeCardDepartures() {
  const uint64_t departures = mmcsim_DeparturesEver() - g_departureMark;
  g_departureMark = mmcsim_DeparturesEver();
  return departures;
}

uint16_t Le16(const std::vector<uint8_t>& bytes, std::size_t offset) {
  return static_cast<uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

uint32_t Le32(const std::vector<uint8_t>& bytes, std::size_t offset) {
  return static_cast<uint32_t>(Le16(bytes, offset)) |
         (static_cast<uint32_t>(Le16(bytes, offset + 2)) << 16);
}

void PutLe16(std::vector<uint8_t>& bytes, std::size_t offset, uint16_t value) {
  bytes.at(offset) = static_cast<uint8_t>(value);
  bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutLe32(std::vector<uint8_t>& bytes, std::size_t offset, uint32_t value) {
  PutLe16(bytes, offset, static_cast<uint16_t>(value));
  PutLe16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, std::size_t offset, std::size_t count) {
  if (offset >= bytes.size()) return {};
  const std::size_t end = std::min(bytes.size(), offset + count);
  return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                              bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

std::vector<ListedTitle> ListedTitles(const std::string& image) {
  const Bytes area = ReadRange(image, 0, DATA_AREA_START);
  CardHeader header;
  std::vector<TitleEntry> entries;
  std::vector<ListedTitle> titles;
  if (!card_DecodeHeaderArea(area.data(), area.size(), &header, &entries)) return titles;
  for (const TitleEntry& entry : entries) {
    Bytes bytes = ReadRange(image, entry.startAddress, entry.size);
    bytes.resize(entry.size, 0);
    titles.push_back({std::string(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES)), entry.startAddress, bytes});
  }
  return titles;
}

std::vector<uint8_t> EncodeCardTitle(const CardTitle& title) {
  std::vector<uint8_t> bytes(32, 0);
  PutLe32(bytes, 0, title.start);
  PutLe32(bytes, 4, title.size);
  for (std::size_t i = 0; i < title.title.size() && i < 23; ++i) {
    bytes[8 + i] = static_cast<uint8_t>(title.title[i]);
  }
  bytes[31] = title.type;
  return bytes;
}

std::vector<uint8_t> WriteCardImage(const std::string& path, uint16_t cardType,
                                    const std::string& name, const std::vector<CardTitle>& titles,
                                    std::size_t length) {
  std::vector<uint8_t> image(std::max<std::size_t>(length, 0x10000), 0);
  PutLe16(image, 0, cardType);
  image[2] = 1;
  image[3] = 1;
  PutLe16(image, 4, static_cast<uint16_t>(titles.size()));
  PutLe32(image, 6, 512);
  PutLe32(image, 10, static_cast<uint32_t>(512 + 32 * titles.size()));
  for (std::size_t i = 0; i < name.size() && i < 36; ++i) image[14 + i] = static_cast<uint8_t>(name[i]);
  PutLe16(image, 51, 32);
  for (std::size_t i = 0; i < titles.size(); ++i) {
    const std::vector<uint8_t> entry = EncodeCardTitle(titles[i]);
    std::copy(entry.begin(), entry.end(), image.begin() + static_cast<std::ptrdiff_t>(512 + 32 * i));
  }
  WriteFile(path, image);
  return image;
}

const char* KindName(int32_t kind) {
  return kind == VEXO_PORT_ROS ? "ImageFile" : kind == VEXO_PORT_READER ? "Reader" : kind == VEXO_PORT_PARALLEL ? "Adapter" : "Player";
}

CardOnPort::CardOnPort(int32_t kindOfPort, const std::string& imagePath, uint64_t capacity, uint32_t seed)
    : kind(kindOfPort), image(imagePath) {
  if (!FileExists(image)) WriteFile(image, {});
  if (kind == VEXO_PORT_ROS || kind == VEXO_PORT_READER) {
    UseNoDelay();
    rdr_AllowRegularFile(kind == VEXO_PORT_READER);
    ready = true;
  } else if (kind == VEXO_PORT_PARALLEL) {
    UseNoAdapterWaits();
    MmcSimConfig config;
    config.capacityBytes = capacity;
    config.timingSeed = seed;
    ready = mmcsim_InstallImageCard(image.c_str(), config);
  } else {
    PlayerSimConfig config;
    config.slots[0].imagePath = image;
    config.slots[0].cardSize = static_cast<uint32_t>(capacity);
    session_ = std::make_unique<PlayerSimSession>(config);
    ready = session_->started;
  }
}

CardOnPort::~CardOnPort() {
  if (opened_) vexo_Close(kind, port);
  session_.reset();
  if (kind == VEXO_PORT_PARALLEL) mmcsim_Remove();
  rdr_AllowRegularFile(false);
  vexo_SetDelayHook(nullptr);
}

VexoResult CardOnPort::Open() {
  VexoResult result = vexo_Open(kind, port, 115200, image.c_str());
  opened_ = result == 0;
  uint32_t size = 0;
  if (result == 0) result = vexo_Search(kind, port, 1, &size, 5);
  return result;
}

std::vector<std::string> CardOnPort::Words() const {
  if (kind == VEXO_PORT_ROS || kind == VEXO_PORT_READER) return {kind == VEXO_PORT_ROS ? "ros" : "card", image};
  return {kind == VEXO_PORT_PARALLEL ? "lp1" : "ttyS0"};
}

std::vector<uint8_t> CardOnPort::Sectors(uint32_t first, uint32_t count) const {
  return ImageSectors(image, first, count);
}

}  // namespace vexo_test

namespace {
// Every test program links the card layer, which reaches the parallel driver
// and so the port-access seam; this reference pulls the simulated seam out
// of its static library even in programs that never install a simulated card
// (without an installed adapter, port access is refused).
const bool g_simulatedSeamLinked = (mmcsim_Installed(), true);
}  // namespace
