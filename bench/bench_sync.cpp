// --sync through the simulated player, the line paced at 115200 baud and
// every pause at its full length, as on the real line: a card of 30 songs
// (about 300 to 540 KB each) synced to sources in which two songs were
// replaced, one removed and one added (three songs to send), against its
// reference in the same run: what the player's protocol cannot do without
//  - the line time of the sent songs' sectors (block, CRC and 'n' out, 'V'
//    back: 516 bytes of 10 bits a sector);
//  - the sampled sectors that match the kept titles (three a title, each a
//    read request: the 200 ms gap behind the command byte, the 100 ms wait
//    for the status during which the block arrives, the request and the 'n'
//    on the line), and the header area read once (a request, its table
//    sectors streamed);
//  - each file copy's quiet pauses before and after it (1.5 s each) and its
//    first sector's write request (the 200 ms gap, the 50 ms and 10 ms waits);
//  - each header write's pause before it (1.5 s), and per run of sectors it
//    writes (as the write plan orders them: the write requests the player
//    counted) the request and the 1.5 s quiet after the run;
//  - the 1.5 s a command waits after it closes the player's line.
// Prints both times, the player's counts beside the needed ones, and the
// ratio sync / reference.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "card/header_format.h"
#include "cli/cli.h"
#include "drivers/serial/ser_protocol.h"
#include "host/pauses.h"
#include "host/trace.h"
#include "sim/player_sim_session.h"

namespace {

constexpr int kSongs = 30;
constexpr int kFrameBytes = 417;      // MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, no padding
constexpr int kFirstFrames = 720;     // song 0: about 300 KB; each next one 20 frames more
constexpr uint32_t kSampledPerTitle = 3;
constexpr double kByteSeconds = 10.0 / 115200;
constexpr double kUnit = 0.01;  // one vexo_Delay unit

// The driver's prescribed pauses (drivers/serial/ser_protocol.cpp,
// ser_transfer.cpp) and the command frame's settle time, in delay units.
constexpr double kRequestGap = 20;        // after a request's command byte
constexpr double kReadStatusWait = 10;    // before a read request's status
constexpr double kWriteAckWaits = 5 + 1;  // after a write request, before the 'n'
constexpr double kQuietPause = 150;       // before and after a file copy, before a header write, after a run
constexpr double kSettle = 150;

using Bytes = std::vector<uint8_t>;

// MP3 frames: each a header, empty side information (a silent frame) and
// ancillary bytes of the song's own (never 0xFF, so no false frame sync).
Bytes Song(int frames, uint32_t seed) {
  Bytes bytes;
  bytes.reserve(static_cast<std::size_t>(frames) * kFrameBytes);
  for (int f = 0; f < frames; ++f) {
    const uint8_t header[] = {0xFF, 0xFB, 0x90, 0x64};
    bytes.insert(bytes.end(), header, header + 4);
    for (int i = 4; i < kFrameBytes; ++i) {
      bytes.push_back(i < 36 ? 0 : static_cast<uint8_t>((seed * 131u + static_cast<uint32_t>(f) * 7u + static_cast<uint32_t>(i)) % 251u));
    }
  }
  return bytes;
}

void Write(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

Bytes Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a vexo command line with its standard output going to `out`.
int Run(const std::vector<std::string>& words, const std::string& out) {
  std::vector<std::string> storage{"vexo"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (auto& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  const int saved = dup(1);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(fd, 1);
  close(fd);
  const int status = vexo_Main(static_cast<int>(storage.size()), argv.data());
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return status;
}

// Whether the image lists exactly these songs, in this order, each whole.
bool Holds(const std::string& image, const std::vector<std::pair<std::string, Bytes>>& songs) {
  const Bytes card = Read(image);
  CardHeader header;
  std::vector<TitleEntry> entries;
  if (card.size() < DATA_AREA_START || !card_DecodeHeaderArea(card.data(), DATA_AREA_START, &header, &entries) ||
      entries.size() != songs.size()) {
    return false;
  }
  for (std::size_t i = 0; i < songs.size(); ++i) {
    const TitleEntry& e = entries[i];
    if (std::string(e.title.data(), strnlen(e.title.data(), TITLE_TEXT_BYTES)) != songs[i].first ||
        e.size != songs[i].second.size() || uint64_t{e.startAddress} + e.size > card.size() ||
        !std::equal(songs[i].second.begin(), songs[i].second.end(), card.begin() + e.startAddress)) {
      return false;
    }
  }
  return true;
}

int g_headerReads = 0;
void CountHeaderReads(const char* text) {
  if (std::strncmp(text, "rc read first", 13) == 0) ++g_headerReads;
}

std::string Line(const std::string& path, const char* start) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(start, 0) == 0) return line;
  }
  return "(none)";
}

}  // namespace

int main() {
  char folder[] = "/tmp/vexo-bench-sync-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string dir = folder;
  const std::string image = dir + "/card.img", out = dir + "/out.txt";

  // The card's songs s0..s29; the sources replace s7 and s18 (by n0, n1 in
  // their places), leave out s29 and add n2 at the end.
  std::vector<std::pair<std::string, Bytes>> before, after;
  for (int i = 0; i < kSongs; ++i) before.push_back({std::string("s").append(std::to_string(i)), Song(kFirstFrames + 20 * i, static_cast<uint32_t>(i))});
  const std::pair<std::string, Bytes> fresh[] = {{"n0", Song(kFirstFrames + 5, 100)},
                                                 {"n1", Song(kFirstFrames + 25, 101)},
                                                 {"n2", Song(kFirstFrames + 45, 102)}};
  after = before;
  after[7] = fresh[0];
  after[18] = fresh[1];
  after.pop_back();
  after.push_back(fresh[2]);
  std::string oldList, newList;
  for (const auto& song : before) {
    Write(dir + "/" + song.first + ".mp3", song.second);
    oldList += song.first + ".mp3\n";
  }
  for (const auto& song : fresh) Write(dir + "/" + song.first + ".mp3", song.second);
  for (const auto& song : after) newList += song.first + ".mp3\n";
  Write(dir + "/old.m3u", Bytes(oldList.begin(), oldList.end()));
  Write(dir + "/new.m3u", Bytes(newList.begin(), newList.end()));

  // The card as the image file's driver writes it (no pauses to wait there).
  Write(image, {});
  if (Run({"ros", image, "--sync", dir + "/old.m3u"}, out) != 0 || !Holds(image, before)) {
    std::printf("the card of %d songs could not be made\n", kSongs);
    return 1;
  }

  PlayerSimConfig config;
  config.slots[0].imagePath = image;
  config.baud = kPlayerLineSpeed;
  int status = 1;
  double seconds = 0;
  PlayerCounters counts;
  uint64_t pauseUnits = 0;
  {
    PlayerSimSession session(config, false);
    if (!session.started) return 1;
    playersim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
    vexo_SetTraceSink(CountHeaderReads);
    const auto start = std::chrono::steady_clock::now();
    status = Run({"ttyS0", "--sync", dir + "/new.m3u"}, out);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    vexo_SetTraceSink(nullptr);
    counts = playersim_Counters();
    pauseUnits = vexo_DelayUnitsTotal();
  }
  const bool synced = status == 0 && Holds(image, after);

  // The reference.
  uint64_t songSectors = 0;
  for (const auto& song : fresh) songSectors += (song.second.size() + SECTOR_SIZE - 1) / SECTOR_SIZE;
  const uint32_t kept = kSongs - 3;
  const uint32_t tableSectors = (kSongs * 32 + SECTOR_SIZE - 1) / SECTOR_SIZE;
  const uint32_t neededReads = kept * kSampledPerTitle + 1;  // and the header area's request
  // The player sends the block while the PC waits for the status byte.
  const double readRequest = kRequestGap * kUnit + SER_REQUEST_SIZE * kByteSeconds +
                             std::max(kReadStatusWait * kUnit, (1 + SER_READ_BLOCK_SIZE) * kByteSeconds) +
                             kByteSeconds;
  const double writeRequest = (kRequestGap + kWriteAckWaits) * kUnit +
                              (SER_REQUEST_SIZE + 1 + SER_WRITE_BLOCK_SIZE + 1 + 1) * kByteSeconds;
  const double streamedSector = (SER_STREAM_BLOCK_SIZE + 1) * kByteSeconds;
  const uint32_t copies = 3;
  // Deletes 3, adds 3, and two moves: n0 from place 28 to 8 (across table
  // sectors: listed twice first, two header writes), n1 from 29 to 19.
  const uint32_t headerWrites = 3 + 3 + 2 + 1;
  const uint32_t runs = counts.writeRequests - copies;
  const uint64_t headerSectors = counts.sectorsWritten - songSectors;
  const double lineSongs = static_cast<double>(songSectors) * streamedSector;
  const double reads = neededReads * readRequest + tableSectors * (SER_READ_BLOCK_SIZE + 1) * kByteSeconds;
  const double copyPauses = copies * (2 * kQuietPause * kUnit + writeRequest - streamedSector);
  const double headerPauses = headerWrites * kQuietPause * kUnit + runs * (kQuietPause * kUnit + writeRequest) +
                              static_cast<double>(headerSectors - runs) * streamedSector;
  const double settle = kSettle * kUnit;
  const double reference = lineSongs + reads + copyPauses + headerPauses + settle;

  std::printf("--sync through the simulated player at 115200 baud, full pauses: %d songs on the card, 3 to send\n",
              kSongs);
  std::printf("  plan: %s\n", Line(out, " Keep ").c_str());
  std::printf("  sync                                        %8.2f s  (status %d, card %s)\n", seconds, status,
              synced ? "holds the sources' songs in order" : "WRONG");
  std::printf("  reference                                   %8.2f s\n", reference);
  std::printf("    songs' sectors on the line  %6llu        %8.2f s\n", static_cast<unsigned long long>(songSectors),
              lineSongs);
  std::printf("    read requests               %6u needed %8.2f s  (%.3f s each; player: %u requests, %u blocks sent, %d header reads)\n",
              neededReads, reads, readRequest, counts.readRequests, counts.blocksSent, g_headerReads);
  std::printf("    file copies                 %6u        %8.2f s\n", copies, copyPauses);
  std::printf("    header writes               %6u        %8.2f s  (%u runs, %llu sectors)\n", headerWrites,
              headerPauses, runs, static_cast<unsigned long long>(headerSectors));
  std::printf("    settle after the close                    %8.2f s\n", settle);
  std::printf("  pauses the program asked for: %.2f s; searches: %u\n", static_cast<double>(pauseUnits) * kUnit,
              counts.searches[0] + counts.searches[1]);
  std::printf("sync / reference: %.3f (target <= 1.1)\n", seconds / reference);
  std::filesystem::remove_all(dir);
  return synced ? 0 : 1;
}
