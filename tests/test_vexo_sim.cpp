// The simulator program as a user runs it: its own options, then a vexo
// command line against the simulated adapter or player, card in an image file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace {

using namespace vexo_test;

class VexoSimProgram : public testing::Test {
 protected:
  vexo_test::TempDir dir;
  // A file of the test's folder, quoted for the shell.
  std::string Q(const std::string& name) { return std::string("'").append(dir.File(name)).append("'"); }
};

// A card image file on the simulated adapter and in the player's slots.
TEST_F(VexoSimProgram, CardsInTheSimulatedAdapterAndPlayer) {
  const auto song = vexo_test::Pattern(3000, 7);
  vexo_test::WriteFile(dir.File("song.mp3"), song);
  EXPECT_EQ(RunSim("--fast --card " + Q("card.img") + " -- lp1 --add " + Q("song.mp3") + " 'My Song'").status, 0);
  EXPECT_NE(RunSim("--fast --card " + Q("card.img") + " -- lp1 --get").out.find("    1.      3000  My Song\n"),
            std::string::npos);
  const auto image = vexo_test::ReadFile(dir.File("card.img"));  // the title from sector 128 on
  ASSERT_GE(image.size(), 0x10000u + song.size());
  EXPECT_TRUE(std::equal(song.begin(), song.end(), image.begin() + 0x10000));

  EXPECT_EQ(RunSim("--fast --player-version 305 --card " + Q("a.img") + " -- ttyS0 --get").status, 2)
      << "a version byte above 255 is refused";
  // Every serial line word reaches the simulated player, never a real line.
  EXPECT_EQ(RunSim("--fast --card " + Q("a.img") + " -- ttyUSB0 --add " + Q("song.mp3") + " Tune").status, 0);
  const RunResult get = RunSim("--fast --player-version 199 --card " + Q("a.img") + " --card2 " + Q("b.img") +
                            " -- ttyACM3 --slow --get");
  EXPECT_NE(get.out.find("  Cards:       2 inserted\n  Version:     1.99\n"), std::string::npos) << get.out;
  EXPECT_NE(get.out.find("    1.      3000  Tune\n"), std::string::npos) << get.out;
}

TEST_F(VexoSimProgram, OptionsRefusedOfferedAndPassedOn) {
  const std::string card = " --card " + Q("c.img") + " -- ";
  for (const char* line : {"--card", "--card x.img lp1 --get", "-- lp1 --get", "--capacity lots --card x.img -- lp1 --get"}) {
    EXPECT_EQ(RunSim(line).status, 2) << line;
  }
  for (const char* option : {"--fault bogus", "--fault no-card:3", "--fault drop-send:0", "--seed x"}) {
    EXPECT_EQ(RunSim(std::string(option) + card + "lp1 --get").status, 2) << option;
  }
  EXPECT_EQ(RunSim("--help").status, 0);
  for (const char* version : {"--version", "-V"}) EXPECT_EQ(RunSim(version).out, "vexo 2.14\n");
  EXPECT_NE(RunSim("--fast --fault no-card" + card + "lp1 --get").out.find(" Error: "), std::string::npos);
  EXPECT_NE(RunSim("--fast --fault silent" + card + "ttyS0 --get").out.find(" Error: "), std::string::npos);
  const RunResult ros = RunSim("-- ros " + Q("plain.ros") + " --get");  // image files need no simulator
  EXPECT_NE(ros.out.find("  - no valid carddata -\n"), std::string::npos) << ros.out;
  EXPECT_EQ(vexo_test::ReadFile(dir.File("plain.ros")).size(), 65536u);
}

}  // namespace
