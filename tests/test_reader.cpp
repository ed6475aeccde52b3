// The card in a host card reader ("card <device>"): refusals, and every command
// on a regular file standing in for the device and on a loop device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "drivers/reader/rdr.h"
#include "support/test_support.h"
#include "host/block_copy.h"

namespace {

using namespace vexo_test;

constexpr std::size_t kCard = 4 << 20;

// The rate of a transfer's report; -1 when there is none.
double Rate(const std::string& out) {
  std::smatch match;
  return std::regex_search(out, match, std::regex(" Transferrate: ([0-9]+) Bits/sec.\n$"))
             ? std::stod(match[1]) : -1.0;
}

TEST(ReaderRefusals, NothingOpenedNothingWritten) {
  TempDir dir;
  const std::string file = dir.Write("card.img", Pattern(kCard));
  mkfifo(dir.File("fifo").c_str(), 0600);
  WriteFile(dir.File("huge.img"), {});
  ASSERT_EQ(truncate(dir.File("huge.img").c_str(), 3ll << 30), 0);
  WriteFile(dir.File("tiny.img"), Bytes(0x10000));
  const int locked = open(file.c_str(), O_RDONLY);
  struct Case { std::string device; bool allowFile; bool lock; std::string out; } cases[] = {
      {file, false, false, "\n Error: NOT A BLOCK DEVICE\n"},
      {dir.path(), true, false, "\n Error: NOT A BLOCK DEVICE\n"},
      {dir.File("fifo"), true, false, "\n Error: NOT A BLOCK DEVICE\n"},
      {"/dev/null", true, false, "\n Error: NOT A BLOCK DEVICE\n"},
      {dir.File("missing"), true, false, "\n Error: FILE NOT EXIST\n"},
      {dir.File("huge.img"), true, false, "\n Error: CARD TOO LARGE\n"},
      {dir.File("tiny.img"), true, false, "\n Error: NO CARD IN READER\n"},
      {file, true, true, "\n Error: PORT IN USE\n"},
      {"ttyS0", true, false, " \nName of the card reader device is missing\n"},
  };
  for (const Case& c : cases) {
    rdr_AllowRegularFile(c.allowFile);
    if (c.lock) flock(locked, LOCK_EX);
    for (const char* command : {"--empty", "--delete"}) {
      EXPECT_EQ(RunVexo({"card", c.device, command}).out, c.out) << c.device << command;
    }
    flock(locked, LOCK_UN);
  }
  close(locked);
  rdr_AllowRegularFile(false);
  EXPECT_EQ(ReadFile(file), Pattern(kCard));
  EXPECT_EQ(ReadFile(dir.File("tiny.img")), Bytes(0x10000));
  struct stat huge;
  ASSERT_EQ(stat(dir.File("huge.img").c_str(), &huge), 0);
  EXPECT_EQ(huge.st_blocks, 0) << "nothing written to the large device";
}

// Every command on a card in the reader, checked against the card's bytes.
void RunEveryCommand(const std::string& device, const TempDir& dir, uint32_t cardBytes) {
  vexo_test::UseNoDelay();
  const auto run = [&](const std::vector<std::string>& args) { return RunVexo({"card", device}, args); };
  const Bytes data = Pattern(1200 * 1024 + 77, 9);
  const std::string song = dir.Write("song.mp3", data);
  EXPECT_EQ(run({"--empty"}).out, "\n Empty Header written.\n");
  const std::string added = run({"--add", song, "Song", "-n", "Reader"}).out;
  EXPECT_EQ(added.rfind("\n Adding file: " + song + "\n  0 / 2401 (0%) \r", 0), 0u) << added;
  EXPECT_NE(added.find("%) \r" + kDone), std::string::npos) << added;
  EXPECT_GT(Rate(added), 0.0) << "a fine clock measures a copy of less than a second";
  EXPECT_NE(Rate(added), 2401.0 * 4096) << "not whole seconds";
  EXPECT_EQ(run({"--chtitle", "1", "Renamed"}).out, "\n Changed Title for Sample 1.\n");
  const std::string report = "\n  Cardsize:    " + std::to_string(cardBytes) + " Byte\n  Free:        " +
                             std::to_string(cardBytes - 0x10000 - data.size()) +
                             " Byte\n  Version:     Card reader\n  Cardname:    Reader\n"
                             "  No. Samples: 1\n  Titles:\n    1.   1228877  Renamed\n";
  EXPECT_EQ(run({"--get"}).out, report);
  EXPECT_NE(run({"--rawread", device}).out.find("Error: SAME FILE AS IMAGE"), std::string::npos);
  EXPECT_EQ(run({"--get"}).out, report) << "a raw read onto the device itself is refused";
  EXPECT_GT(Rate(run({"--read", "1", dir.File("back.mp3")}).out), 0.0);
  EXPECT_EQ(ReadFile(dir.File("back.mp3")), data);
  const std::string rawRead = run({"--rawread", dir.File("raw.img")}).out;
  EXPECT_EQ(rawRead.rfind("\n Storing MMC data to file " + dir.File("raw.img") + "\n", 0), 0u) << rawRead;
  EXPECT_GT(Rate(rawRead), 0.0);
  const Bytes raw = ReadFile(dir.File("raw.img"));
  ASSERT_EQ(raw.size(), cardBytes);
  EXPECT_EQ(Bytes(raw.begin() + 0x10000, raw.begin() + 0x10000 + data.size()), data);
  EXPECT_EQ(run({"--delete"}).out, "\n Deleted one title.\n");
  EXPECT_NE(run({"--get"}).out.find("No. Samples: 0\n"), std::string::npos);
  const std::string rawWrite = run({"--rawwrite", dir.File("raw.img")}).out;
  EXPECT_EQ(rawWrite.rfind("\n Writing raw file: " + dir.File("raw.img") + "\n ", 0), 0u) << rawWrite;
  EXPECT_GT(Rate(rawWrite), 0.0);
  EXPECT_EQ(run({"--get"}).out, report) << "the whole card written back";
  EXPECT_EQ(run({"--delete", "all"}).out, "\n Deleted all titles.\n");
}

TEST(ReaderCommands, OnAFileStandingInForTheDevice) {
  TempDir dir;
  const CardOnPort card(VEXO_PORT_READER, dir.Write("card.img", Bytes(kCard, 0xFF)));
  RunEveryCommand(card.image, dir, kCard);
}

// A write that fails, or is reported done but dropped, leaves the old playlist.
TEST(ReaderCommands, AFailedOrDroppedWriteLeavesTheOldPlaylist) {
  TempDir dir;
  const std::string card = dir.File("card.img");
  WriteFile(dir.File("s.mp3"), Pattern(5 * 512));
  const CardOnPort reader(VEXO_PORT_READER, card);
  // Sector writes of an add: 5 data sectors, the table sector, sector 0.
  for (const bool lost : {false, true}) {
    for (uint32_t k = 1; k <= 7; ++k) {
      vexo_test::WriteCardImage(card, 1, "Old", {}, kCard);
      vexo_SetSectorWriteFailure(k, lost);
      const std::string out = RunVexo({"card", card, "--add", dir.File("s.mp3"), "New"}).out;
      vexo_SetSectorWriteFailure(0);
      EXPECT_NE(out.find(lost ? "\n Error: VERIFY FAILED\n" : "\n Error: ROS WRITE\n"),
                std::string::npos) << k << out;
      EXPECT_NE(RunVexo({"card", card, "--get"}).out.find("No. Samples: 0\n"), std::string::npos) << k;
    }
  }
}

// A loop device of the given size over a sparse file; detached at the end.
struct LoopDevice {
  std::string backing, device;
  LoopDevice(const TempDir& dir, long long bytes) : backing(dir.File("loop.img")) {
    if (geteuid() != 0) return;
    WriteFile(backing, {});
    if (truncate(backing.c_str(), bytes) != 0) return;
    FILE* pipe = popen(("losetup -f --show " + backing + " 2>/dev/null").c_str(), "r");
    char name[64] = {};
    if (pipe != nullptr && std::fgets(name, sizeof name, pipe) != nullptr) device = std::strtok(name, "\n");
    if (pipe != nullptr) pclose(pipe);
  }
  ~LoopDevice() {
    if (!device.empty() && std::system(("losetup -d " + device).c_str()) != 0) ADD_FAILURE() << "losetup -d " << device;
  }
};

TEST(ReaderLoopDevice, EveryCommandAndTheRefusals) {
  TempDir dir;
  LoopDevice card(dir, 16 << 20);
  if (card.device.empty()) GTEST_SKIP() << "needs root and a free loop device (losetup)";
  RunEveryCommand(card.device, dir, 16 << 20);
  const int held = open(card.device.c_str(), O_RDONLY | O_EXCL);
  EXPECT_EQ(RunVexo({"card", card.device, "--empty"}).out, "\n Error: PORT IN USE\n");
  close(held);
  TempDir other;
  LoopDevice huge(other, 3ll << 30);
  ASSERT_FALSE(huge.device.empty());
  EXPECT_EQ(RunVexo({"card", huge.device, "--empty"}).out, "\n Error: CARD TOO LARGE\n");
  struct stat info;
  ASSERT_EQ(stat(huge.backing.c_str(), &info), 0);
  EXPECT_EQ(info.st_blocks, 0) << "nothing written";
}

}  // namespace
