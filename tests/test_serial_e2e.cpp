// Real vexo command lines on "ttyS0", run in process against the simulated
// player on a pty: exact output, card contents after each change, and a
// title that survives an add and a read with a byte corrupted on the line.
#include <gtest/gtest.h>

#include <memory>
#include <cctype>

#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::RunVexo;
using vexo_test::WriteFile;

const char* const kDone = " Done.                        \n";

class SerialCommands : public ::testing::Test {
 protected:
  void Start(bool secondCard, uint32_t cardSize = 132907008, int version = 214) {
    session_.reset();
    WriteFile(Card(1), {});
    WriteFile(Card(2), {});
    PlayerSimConfig config;
    config.slots[0].imagePath = Card(1);
    config.slots[0].cardSize = cardSize;
    if (secondCard) config.slots[1].imagePath = Card(2);
    config.version = version;
    session_ = std::make_unique<PlayerSimSession>(config);
    ASSERT_TRUE(session_->started);
  }
  void SetUp() override { Start(true); }
  void TearDown() override { session_.reset(); }
  std::string Card(int slot) const { return dir_.File("slot" + std::to_string(slot) + ".ros"); }

  // Output of a transfer command with its rate replaced by "R".
  static std::string WithoutRate(std::string out) {
    const std::string label = " Transferrate: ";
    const std::size_t at = out.find(label);
    if (at == std::string::npos) return out;
    std::size_t end = at + label.size();
    while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end])) != 0) ++end;
    if (end == at + label.size()) return out;
    std::string masked = out.substr(0, at + label.size());
    masked += 'R';
    masked += out.substr(end);
    return masked;
  }
  static std::string Report(uint32_t samples, uint32_t freeBytes, int cards, const std::string& name,
                            const std::string& titles = "", const std::string& version = "2.14") {
    std::string out = "\n  Cardsize:    132907008 Byte\n  Free:        " +
                      std::to_string(freeBytes) + " Byte\n  Cards:       " + std::to_string(cards) +
                      " inserted\n  Version:     " + version + "\n  Cardname:    " + name +
                      "\n  No. Samples: " + std::to_string(samples) + "\n";
    if (samples != 0) out += "  Titles:\n" + titles;
    return out;
  }

  vexo_test::TempDir dir_;
  std::unique_ptr<PlayerSimSession> session_;
};

TEST_F(SerialCommands, GetOnABlankCardShowsNoValidCardData) {
  const auto run = RunVexo({"ttyS0", "--get"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\n  Cardsize:    132907008\n  Version:     2.14\n  - no valid carddata -\n");
}

TEST_F(SerialCommands, EmptyThenGetCountsBothCards) {
  EXPECT_EQ(RunVexo({"ttyS0", "--empty"}).out, "\n Empty Header written.\n");
  const auto header = ReadFile(Card(1));
  ASSERT_GE(header.size(), 512u);
  const std::vector<uint8_t> start = {0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00,
                                      0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
  EXPECT_TRUE(std::equal(start.begin(), start.end(), header.begin()));
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out, Report(0, 132841472, 2, ""));
  EXPECT_TRUE(ReadFile(Card(2)).empty());  // the second card is only probed

  playersim_SetSlotImage(2, "");
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out, Report(0, 132841472, 1, ""));
}

TEST_F(SerialCommands, MissingVersionByteReadsAsHighestValue) {
  playersim_SetFaults({.noVersion = true});
  EXPECT_EQ(RunVexo({"ttyS0", "--empty"}).out, "\n Empty Header written.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out, Report(0, 132841472, 2, "", "", "655.35"));
}

TEST_F(SerialCommands, NoPlayerIsAnError) {
  playersim_SetFaults({.silent = true});
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out, "\n Error: TALVARO NOT FOUND\n");
}

TEST_F(SerialCommands, AddListReadGivesBackTheSameBytes) {
  const auto song = Pattern(3000, 50);
  WriteFile(dir_.File("song.mp3"), song);
  ASSERT_EQ(RunVexo({"ttyS0", "--empty"}).status, 1);
  const auto add = RunVexo({"ttyS0", "--add", dir_.File("song.mp3"), "Song", "-n", "MyCard"});
  EXPECT_EQ(WithoutRate(add.out),
            "\n Adding file: " + dir_.File("song.mp3") + "\n " + kDone + " Transferrate: R Bits/sec.\n");
  const auto card = ReadFile(Card(1));
  ASSERT_GE(card.size(), 0x10000u + 3000u);
  EXPECT_TRUE(std::equal(song.begin(), song.end(), card.begin() + 0x10000));

  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out,
            Report(1, 132841472 - 3000, 2, "MyCard", "    1.      3000  Song\n"));

  const auto read = RunVexo({"ttyS0", "--read", "1", dir_.File("back.mp3")});
  EXPECT_EQ(WithoutRate(read.out), std::string("\n Reading file:\n ") + kDone +
                                       " Transferrate: R Bits/sec.\n");
  EXPECT_EQ(ReadFile(dir_.File("back.mp3")), song);
}

TEST_F(SerialCommands, AddAndReadSurviveACorruptedByteEachWay) {
  const auto song = Pattern(20 * 512 + 17, 51);
  WriteFile(dir_.File("song.mp3"), song);
  ASSERT_EQ(RunVexo({"ttyS0", "--slow", "--empty"}).status, 1);
  playersim_SetFaults({.corruptReceiveAt = 5000});  // inside the streamed blocks of the add
  const auto add = RunVexo({"ttyS0", "--slow", "--add", dir_.File("song.mp3"), "Long"});
  EXPECT_EQ(WithoutRate(add.out), "\n Adding file: " + dir_.File("song.mp3") + "\n  10 / 21 (47%) \r" +
                                      " 20 / 21 (95%) \r" + kDone + " Transferrate: R Bits/sec.\n");
  EXPECT_EQ(playersim_Counters().crcErrors, 1u);

  playersim_ResetCounters();
  playersim_SetFaults({.corruptSendAt = 6000});  // inside the blocks of the read
  const auto read = RunVexo({"ttyS0", "--slow", "--read", "1", dir_.File("back.mp3")});
  EXPECT_NE(read.out.find(kDone), std::string::npos) << read.out;
  EXPECT_EQ(ReadFile(dir_.File("back.mp3")), song);
  EXPECT_EQ(playersim_Faults().corruptSendAt, -1);  // the fault was used
}

TEST_F(SerialCommands, DeleteChangeAndChangeTitle) {
  WriteFile(dir_.File("a.mp3"), Pattern(700, 52));
  WriteFile(dir_.File("b.mp3"), Pattern(900, 53));
  ASSERT_EQ(RunVexo({"ttyS0", "--empty"}).status, 1);
  ASSERT_EQ(RunVexo({"ttyS0", "--add", dir_.File("a.mp3"), "First"}).status, 1);
  ASSERT_EQ(RunVexo({"ttyS0", "--add", dir_.File("b.mp3"), "Second"}).status, 1);
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out,
            Report(2, 132841472 - 1600, 2, "", "    1.       700  First\n    2.       900  Second\n"));
  // The second title starts at the sector boundary after the first.
  const auto card = ReadFile(Card(1));
  const auto b = Pattern(900, 53);
  ASSERT_GE(card.size(), 0x10400u + 900u);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), card.begin() + 0x10400));

  EXPECT_EQ(RunVexo({"ttyS0", "--change", "-n", "Renamed"}).out, "\n Changed CardName.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--chtitle", "1", "Again"}).out, "\n Changed Title for Sample 1.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out,
            Report(2, 132841472 - 1600, 2, "Renamed", "    1.       700  Again\n    2.       900  Second\n"));
  EXPECT_EQ(RunVexo({"ttyS0", "--delete"}).out, "\n Deleted one title.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out,
            Report(1, 132841472 - 700, 2, "Renamed", "    1.       700  Again\n"));
  EXPECT_EQ(RunVexo({"ttyS0", "--delete", "all"}).out, "\n Deleted all titles.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out, Report(0, 132841472, 2, ""));  // name reset too
}

TEST_F(SerialCommands, RawWriteAndRawReadCopyTheWholeCard) {
  constexpr uint32_t kSectors = 150;
  Start(false, kSectors * 512);
  const auto image = Pattern(kSectors * 512, 54);
  WriteFile(dir_.File("image.bin"), image);
  const auto write = RunVexo({"ttyS0", "--rawwrite", dir_.File("image.bin")});
  std::string progress;
  for (uint32_t i = 10; i < kSectors; i += 10) {
    progress += std::string(" ") + std::to_string(i) + " / 150 (" + std::to_string(i * 100 / kSectors) + "%) \r";
  }
  EXPECT_EQ(WithoutRate(write.out), "\n Writing raw file: " + dir_.File("image.bin") + "\n " +
                                        progress + kDone + " Transferrate: R Bits/sec.\n");
  EXPECT_EQ(ReadFile(Card(1)), image);

  const auto read = RunVexo({"ttyS0", "--rawread", dir_.File("copy.bin")});
  EXPECT_EQ(WithoutRate(read.out), "\n Storing MMC data to file " + dir_.File("copy.bin") + "\n" +
                                       progress + kDone + " Transferrate: R Bits/sec.\n");
  EXPECT_EQ(ReadFile(dir_.File("copy.bin")), image);
}

}  // namespace
