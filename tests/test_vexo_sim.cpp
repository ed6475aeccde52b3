// The simulator program as a user runs it: its own options, then a vexo
// command line against the simulated adapter or player, card in an image file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace {

using SimRun = vexo_test::RunResult;
using vexo_test::RunSim;

class VexoSimProgram : public testing::Test {
 protected:
  vexo_test::TempDir dir;
  // A file of the test's folder, quoted for the shell.
  std::string Q(const std::string& name) { return std::string("'") + dir.File(name) + "'"; }
};

TEST_F(VexoSimProgram, AddsListsAndReadsBackOnTheSimulatedAdapter) {
  const auto song = vexo_test::Pattern(3000, 7);
  vexo_test::WriteFile(dir.File("song.mp3"), song);
  SimRun add = RunSim("--fast --card " + Q("card.img") + " -- lp1 --add " + Q("song.mp3") + " 'My Song'");
  EXPECT_EQ(add.status, 1);
  EXPECT_NE(add.out.find(" Done.                        \n Transferrate: "), std::string::npos) << add.out;

  SimRun get = RunSim("--fast --card " + Q("card.img") + " -- lp1 --get");
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.out.find("  Version:     PPA\n"), std::string::npos) << get.out;
  EXPECT_NE(get.out.find("    1.      3000  My Song\n"), std::string::npos) << get.out;

  SimRun read = RunSim("--fast --card " + Q("card.img") + " -- lp1 --read 1 " + Q("back.mp3"));
  EXPECT_EQ(read.status, 1);
  EXPECT_EQ(vexo_test::ReadFile(dir.File("back.mp3")), song);
  // The card image holds the title's data from sector 128 on.
  const auto image = vexo_test::ReadFile(dir.File("card.img"));
  ASSERT_GE(image.size(), 0x10000u + song.size());
  EXPECT_TRUE(std::equal(song.begin(), song.end(), image.begin() + 0x10000));
}

TEST_F(VexoSimProgram, TalksToTheSimulatedPlayerWithTwoCards) {
  const auto song = vexo_test::Pattern(700, 3);
  vexo_test::WriteFile(dir.File("song.wav"), song);
  SimRun add = RunSim("--fast --player-version 305 --card " + Q("a.img") + " -- ttyS0 --add " + Q("song.wav") + " Tune");
  EXPECT_EQ(add.status, 2) << "a version byte above 255 is refused: " << add.out;

  add = RunSim("--fast --card " + Q("a.img") + " -- ttyS0 --add " + Q("song.wav") + " Tune");
  EXPECT_EQ(add.status, 1);
  SimRun get = RunSim("--fast --player-version 199 --card " + Q("a.img") + " --card2 " + Q("b.img") + " -- ttyS3 --slow --get");
  EXPECT_EQ(get.status, 1);
  EXPECT_NE(get.out.find("  Cards:       2 inserted\n  Version:     1.99\n"), std::string::npos) << get.out;
  EXPECT_NE(get.out.find("    1.       700  Tune\n"), std::string::npos) << get.out;
}

TEST_F(VexoSimProgram, RefusesIncompleteOptionsAndPassesImageFilesThrough) {
  EXPECT_EQ(RunSim("--card").status, 2);
  EXPECT_EQ(RunSim("--card x.img lp1 --get").status, 2);  // no "--"
  EXPECT_EQ(RunSim("-- lp1 --get").status, 2);            // adapter without a card
  EXPECT_EQ(RunSim("--capacity lots --card x.img -- lp1 --get").status, 2);
  SimRun help = RunSim("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--card <file>"), std::string::npos);

  SimRun ros = RunSim("-- ros " + Q("plain.ros") + " --get");
  EXPECT_EQ(ros.status, 1);
  EXPECT_NE(ros.out.find("  - no valid carddata -\n"), std::string::npos) << ros.out;
  EXPECT_EQ(vexo_test::ReadFile(dir.File("plain.ros")).size(), 65536u);
}

}  // namespace
