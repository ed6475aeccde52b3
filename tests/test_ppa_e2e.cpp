// End to end: real vexo command lines on the parallel port, run in process
// against the simulated adapter whose card is an image file. Reports are
// checked against the image-file driver's report of the same card bytes
// (both drivers must describe one card the same way), contents against the
// host files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

std::time_t FrozenClock() { return 1000; }

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class CardInAdapter : public testing::Test {
 protected:
  void Install(uint64_t capacity) {
    vexo_test::UseNoAdapterWaits();
    ppa_SetTimeSource(FrozenClock);  // elapsed 0 s: rate = sectors x 4096
    MmcSimConfig config;
    config.capacityBytes = capacity;
    image_ = dir_.File("card.ros");
    ASSERT_TRUE(mmcsim_InstallImageCard(image_.c_str(), config));
  }
  void SetUp() override { Install(132907008); }
  void TearDown() override {
    ppa_SetTimeSource(nullptr);
    mmcsim_Remove();
  }
  vexo_test::RunResult Lp(const std::vector<std::string>& args) { return vexo_test::RunVexo({"lp1"}, args); }
  // The image-file driver's report of the card's bytes, as the parallel
  // driver must print it.
  std::string RosReport() {
    const std::string copy = dir_.File("copy.ros");
    vexo_test::WriteFile(copy, vexo_test::ReadFile(image_));
    const vexo_test::RunResult ros = vexo_test::RunVexo({"ros", copy, "--get"});
    EXPECT_EQ(ros.status, 1);
    return Replace(ros.out, "ROS file", "PPA");
  }
  std::string image_;
  vexo_test::TempDir dir_;
};

TEST_F(CardInAdapter, EmptyThenGetReportsLikeTheImageDriver) {
  const vexo_test::RunResult empty = Lp({"--empty"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out, "\n Empty Header written.\n");
  const vexo_test::RunResult get = Lp({"--get"});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.out.find("PPA"), std::string::npos);
  EXPECT_EQ(get.out, RosReport());
  EXPECT_EQ(mmcsim_Counters().badTokens, 0u);
  EXPECT_EQ(mmcsim_Counters().conflicts, 0u);
}

TEST_F(CardInAdapter, AddThenReadGivesBackTheSameBytesDespiteOneCrcErrorEachWay) {
  ASSERT_EQ(Lp({"--empty"}).status, 1);
  const std::vector<uint8_t> song = vexo_test::Pattern(2 * 1024 * 1024 + 333, 21);
  const std::string songPath = dir_.File("song.mp3");
  vexo_test::WriteFile(songPath, song);
  const uint32_t sectors = BytesToSectors(static_cast<uint32_t>(song.size()));
  mmcsim_SetWriteCrcReject(128 + 1000, 1);
  const vexo_test::RunResult add = Lp({"--add", songPath, "Song"});
  EXPECT_EQ(add.status, 1);
  std::string expected = "\n Adding file: " + songPath + "\n ";
  for (uint32_t i = 0; i < sectors; i += 10) {
    expected += std::string(" ") + std::to_string(i) + " / " + std::to_string(sectors) + " (" +
                std::to_string(static_cast<int>(100.0 / sectors * i)) + "%) \r";
  }
  expected += " Done.                        \n Transferrate: " + std::to_string(sectors * 4096u) +
              " Bits/sec.\n";
  EXPECT_EQ(add.out, expected);
  EXPECT_EQ(mmcsim_Counters().blocksRejected, 1u);
  // On the card: the data from sector 128 on, the last sector's tail zero.
  const std::vector<uint8_t> card = vexo_test::ReadFile(image_);
  ASSERT_GE(card.size(), 0x10000 + song.size());
  EXPECT_TRUE(std::equal(song.begin(), song.end(), card.begin() + 0x10000));
  for (std::size_t i = 0x10000 + song.size(); i < 0x10000 + sectors * 512u && i < card.size(); ++i) {
    ASSERT_EQ(card[i], 0) << i;
  }

  const vexo_test::RunResult get = Lp({"--get"});
  EXPECT_EQ(get.out, RosReport());
  EXPECT_NE(get.out.find("Song"), std::string::npos);

  mmcsim_SetReadCrcError(128 + 2000, 1);
  const std::string back = dir_.File("back.mp3");
  const vexo_test::RunResult read = Lp({"--read", "1", back});
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out.substr(0, 17), "\n Reading file:\n ");
  EXPECT_NE(read.out.find(" Done.                        \n Transferrate: "), std::string::npos);
  EXPECT_EQ(mmcsim_Counters().readCrcInjected, 1u);
  EXPECT_EQ(vexo_test::ReadFile(back), song);
}

TEST_F(CardInAdapter, HeaderCommandsChangeTheCardAsTheImageDriverSeesIt) {
  ASSERT_EQ(Lp({"--empty"}).status, 1);
  for (const char* name : {"a.mp3", "b.wav", "c.mp3"}) {
    const std::string path = dir_.File(name);
    vexo_test::WriteFile(path, vexo_test::Pattern(3000, static_cast<uint32_t>(name[0])));
    ASSERT_EQ(Lp({"--add", path, std::string("T") + name}).status, 1);
  }
  EXPECT_EQ(Lp({"--change", "-n", "MyCard"}).out, "\n Changed CardName.\n");
  EXPECT_EQ(Lp({"--chtitle", "2", "Renamed"}).out, "\n Changed Title for Sample 2.\n");
  std::string report = Lp({"--get"}).out;
  EXPECT_EQ(report, RosReport());
  EXPECT_NE(report.find("MyCard"), std::string::npos);
  EXPECT_NE(report.find("Renamed"), std::string::npos);

  EXPECT_EQ(Lp({"--delete"}).out, "\n Deleted one title.\n");
  report = Lp({"--get"}).out;
  EXPECT_EQ(report, RosReport());
  EXPECT_EQ(report.find("Tc.mp3"), std::string::npos);
  EXPECT_NE(report.find("Renamed"), std::string::npos);

  EXPECT_EQ(Lp({"--delete", "all"}).out, "\n Deleted all titles.\n");
  report = Lp({"--get"}).out;
  EXPECT_EQ(report, RosReport());
  EXPECT_EQ(report.find("Renamed"), std::string::npos);
  EXPECT_EQ(mmcsim_Counters().badTokens, 0u);
}

TEST_F(CardInAdapter, RawWriteAndRawReadCopyTheWholeCard) {
  Install(2 * 1024 * 1024);  // a small card keeps the whole-card copies short
  const std::vector<uint8_t> raw = vexo_test::Pattern(2 * 1024 * 1024, 33);
  const std::string rawPath = dir_.File("in.raw");
  vexo_test::WriteFile(rawPath, raw);
  const vexo_test::RunResult write = Lp({"--rawwrite", rawPath});
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.out.substr(0, 22 + rawPath.size()), "\n Writing raw file: " + rawPath + "\n ");
  EXPECT_NE(write.out.find(" Done.                        \n Transferrate: 16777216 Bits/sec.\n"),
            std::string::npos);
  EXPECT_EQ(vexo_test::ReadFile(image_), raw);

  const std::string outPath = dir_.File("out.raw");
  const vexo_test::RunResult read = Lp({"--rawread", outPath});
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(read.out.substr(0, 33), "\n Storing MMC data to file " + outPath.substr(0, 6));
  EXPECT_EQ(vexo_test::ReadFile(outPath), raw);
}

TEST_F(CardInAdapter, NoCardReportsTheErrorAndExits1) {
  mmcsim_Faults()->noCard = true;
  const vexo_test::RunResult get = Lp({"--get"});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.out.find("\n Error: PPA NO CARD RESPONSE\n"), std::string::npos) << get.out;
}

TEST_F(CardInAdapter, CardOf2GiBIsRefusedAtTheSearch) {
  Install(1ull << 31);
  const vexo_test::RunResult get = Lp({"--get"});
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.out.find("\n Error: CARD TOO LARGE\n"), std::string::npos) << get.out;
}

TEST(NoPortPermissionDeathTest, Lp2GetWritesTwoLinesAndExits255) {
  mmcsim_Remove();  // no adapter: the permission request fails
  EXPECT_EXIT(vexo_test::RunVexo({"lp2", "--get"}), testing::ExitedWithCode(255),
              "^Could not get permission for parport 0x278\n"
              "Either the port is in use or I am not running as root\\.\\.\\.\n$");
}

}  // namespace
