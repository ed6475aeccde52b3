// The player's settings record in the last sector but one of an image file
// (sector 259582): range forcing on reading, exact bytes on writing.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "card/settings.h"
#include "image/ros.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSector = 259582;

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    vexo_test::UseNoDelay();
    vexo_test::WriteCardImage(path, 1, "", std::vector<vexo_test::CardTitle>(300));
    ASSERT_EQ(ros_Open(path.c_str()), 0);
  }
  void TearDown() override { ros_Close(); }
  // Sets the header's title count and the first bytes of the settings sector.
  void Store(uint16_t titles, Bytes head, bool markers = true) {
    Bytes header(512);
    ros_ReadSector(0, header.data());
    vexo_test::PutLe16(header, 4, titles);
    ros_WriteSector(0, header.data());
    head.resize(512, 0);
    if (markers) head[11] = head[12] = 22;
    ros_WriteSector(kSector, head.data());
  }
  PlayerSettings Read() {
    PlayerSettings settings;
    settings.setting1 = 99;
    EXPECT_EQ(card_ReadSettings(VEXO_PORT_ROS, 1, 1, &settings), 0);
    return settings;
  }
  vexo_test::TempDir dir;
  std::string path = dir.File("card.ros");
};

void ExpectSettings(const PlayerSettings& s, int one, int two, int three, int title) {
  EXPECT_EQ(s.setting1, one);
  EXPECT_EQ(s.setting2, two);
  EXPECT_EQ(s.setting3, three);
  EXPECT_EQ(s.titleNumber, title);
}

TEST_F(Settings, SectorLocation) {
  EXPECT_EQ(card_SettingsSector(132907008), kSector);
  EXPECT_EQ(card_SettingsSector(512), 0u);
}

TEST_F(Settings, ReadingForcesEveryFieldIntoRange) {
  ExpectSettings(Read(), 0, 0, 0, 1);  // past the image's end: no markers
  Store(3, {3, 2, 9, 0, 3}, false);
  ExpectSettings(Read(), 0, 0, 0, 1);
  Store(3, {3, 2, 9, 0, 3});
  ExpectSettings(Read(), 3, 2, 9, 3);
  EXPECT_EQ(Read().sampleCount, 3);
  Store(3, {4, 3, 10, 0x00, 0x05});
  ExpectSettings(Read(), 0, 0, 0, 1);
  Store(3, {0, 0, 0xF7, 0, 0});
  ExpectSettings(Read(), 0, 0, -9, 1);
  Store(3, {0, 0, 0xF6, 0, 1});
  ExpectSettings(Read(), 0, 0, 0, 1);
  Store(128, {0, 0, 0xFF, 0x00, 0x80});
  ExpectSettings(Read(), 0, 0, -1, 128);
  Store(300, {1, 1, 0x0A, 0x01, 0x00});
  ExpectSettings(Read(), 1, 1, 0, 256);
  Store(255, {1, 1, 1, 0x01, 0x00});
  ExpectSettings(Read(), 1, 1, 1, 1);
  // Without a valid header every title number reads as 1.
  Store(300, {2, 2, 2, 0, 2});
  Bytes header(512, 0);
  ros_WriteSector(0, header.data());
  ExpectSettings(Read(), 2, 2, 2, 1);
}

TEST_F(Settings, WritingStoresTheBytesUnchecked) {
  PlayerSettings settings;
  settings.setting1 = 2;
  settings.setting2 = 1;
  settings.setting3 = -3;
  settings.titleNumber = 5;
  ASSERT_EQ(card_WriteSettings(VEXO_PORT_ROS, 1, 1, settings), 0);
  Bytes sector(512);
  ASSERT_EQ(ros_ReadSector(kSector, sector.data()), 0);
  Bytes expected = {2, 1, 0xFD, 0, 5, 0, 0, 0, 0, 0, 0, 0x16, 0x16};
  expected.resize(512, 0);
  EXPECT_EQ(sector, expected);

  settings.setting1 = 200;
  settings.titleNumber = 300;
  ASSERT_EQ(card_WriteSettings(VEXO_PORT_ROS, 1, 1, settings), 0);
  ASSERT_EQ(ros_ReadSector(kSector, sector.data()), 0);
  EXPECT_EQ(sector[0], 200);
  EXPECT_EQ(sector[3], 0x01);
  EXPECT_EQ(sector[4], 0x2C);
  ros_Close();
  EXPECT_EQ(card_WriteSettings(VEXO_PORT_ROS, 1, 1, settings), -35);
  EXPECT_EQ(std::ifstream(path, std::ios::ate | std::ios::binary).tellg(), (kSector + 1) * 512);
}

}  // namespace
