// The header sector and title table on image files: parsing (also of
// whatever a foreign or damaged sector 0 holds), building and writing, the
// order of the header writes, and the placement of a new title.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "image/ros.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

using vexo_test::CardTitle;
using vexo_test::Le16;
using vexo_test::Le32;
using vexo_test::ReadFile;
using vexo_test::Slice;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kRos = VEXO_PORT_ROS;
constexpr uint32_t kCardSize = 132907008;

int g_readsAfterSectorZero = 0;
void CountReads(const char* text) {
  if (std::strncmp(text, "rc read next", 12) == 0) ++g_readsAfterSectorZero;
}

std::vector<CardTitle> Titles(int count, uint32_t size = 100) {
  std::vector<CardTitle> titles;
  for (int i = 0; i < count; ++i) {
    titles.push_back({0x10000u + 512u * i, size, std::string("T").append(std::to_string(i)), 1});
  }
  return titles;
}

class CardHeaderTest : public ::testing::Test {
 protected:
  void SetUp() override { vexo_test::UseNoDelay(); }
  void TearDown() override {
    card_ReleaseTitles();
    ros_Close();
    vexo_SetTraceSink(nullptr);
  }
  // Opens an image file with these bytes.
  void Open(const Bytes& bytes) {
    vexo_test::WriteFile(path, bytes);
    ASSERT_EQ(ros_Open(path.c_str()), 0);
  }
  void OpenTitles(const std::vector<CardTitle>& titles, uint16_t type = 1, const char* name = "") {
    vexo_test::WriteCardImage(path, type, name, titles);
    ASSERT_EQ(ros_Open(path.c_str()), 0);
  }
  Bytes Image() {
    ros_Close();
    Bytes bytes = ReadFile(path);
    ros_Open(path.c_str());
    return bytes;
  }
  vexo_test::TempDir dir;
  std::string path = dir.File("card.ros");
  CardHeader header;
};

TEST_F(CardHeaderTest, BlankSectorZeroIsNoValidHeader) {
  for (uint8_t fill : {0x00, 0xFF}) {
    Bytes bytes(65536, fill);
    bytes[14] = 'x';  // a name that must not show
    Open(bytes);
    header.sampleCount = 9;
    EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), -18);
    EXPECT_EQ(header.cardSize, kCardSize);
    EXPECT_EQ(header.freeBytes, kCardSize - 0x10000);
    EXPECT_EQ(header.sampleCount, 0);
    EXPECT_EQ(header.cardName[0], '\0');
    EXPECT_EQ(header.version, 1);
    EXPECT_EQ(header.cardsInserted, 1);
    EXPECT_EQ(card_LoadedCount(), 0);
    ros_Close();
  }
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), -35) << "no image open";
  EXPECT_EQ(header.cardSize, kCardSize);
}

TEST_F(CardHeaderTest, DefaultHeaderBytesAndOneSectorWrite) {
  Open(Bytes(65536, 0xFF));
  card_DefaultHeader(&header, 0);
  ASSERT_EQ(card_WriteHeader(kRos, 1, 1, header, nullptr), 0);
  const Bytes image = Image();
  Bytes expected(512, 0);
  const uint8_t start[] = {1, 0, 1, 1, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0};
  std::copy(std::begin(start), std::end(start), expected.begin());
  expected[51] = 0x20;
  EXPECT_EQ(Slice(image, 0, 512), expected);
  EXPECT_EQ(Slice(image, 512, 65536 - 512), Bytes(65536 - 512, 0xFF)) << "only sector 0 written";

  ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  EXPECT_EQ(header.freeBytes, kCardSize - 0x10000);
  TitleEntry entry;
  EXPECT_EQ(card_NextTitle(&entry), 1);
  EXPECT_EQ(card_NextTitleSector(), 128u);
}

TEST_F(CardHeaderTest, EntryEncodingAndTwoSectorWrite) {
  TitleEntry song;
  song.startAddress = 0x10000;
  song.size = 1000;
  card_SetTitleText(&song, "Song");
  song.fileType = 1;
  uint8_t bytes[32];
  card_EncodeTitle(song, bytes);
  Bytes expected = {0, 0, 1, 0, 0xE8, 3, 0, 0, 'S', 'o', 'n', 'g'};
  expected.resize(31, 0);
  expected.push_back(1);
  EXPECT_EQ(Bytes(bytes, bytes + 32), expected);

  Open(Bytes(65536, 0xFF));
  ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), -18);
  card_DefaultHeader(&header, 5);
  card_SetCardName(&header, "Music");
  ASSERT_EQ(card_WriteHeader(kRos, 1, 1, header, &song), 0);
  const Bytes image = Image();
  EXPECT_EQ(Le16(image, 0), 5);
  EXPECT_EQ(Le16(image, 4), 1);
  EXPECT_EQ(Le32(image, 10), 544u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[14])), "Music");
  EXPECT_EQ(Slice(image, 512, 32), expected);
  EXPECT_EQ(Slice(image, 544, 480), Bytes(480, 0));
  EXPECT_EQ(Slice(image, 1024, 512), Bytes(512, 0xFF));

  ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  EXPECT_EQ(header.freeBytes, kCardSize - 0x10000 - 1000);
  EXPECT_EQ(card_NextTitleSector(), 0x10400u / 512) << "next title behind a 1000-byte one";
}

TEST_F(CardHeaderTest, TableSectorsAreReadInRunOrder) {
  vexo_SetTraceSink(CountReads);
  for (int count : {15, 16, 17}) {
    OpenTitles(Titles(count));
    g_readsAfterSectorZero = 0;
    ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
    EXPECT_EQ(g_readsAfterSectorZero, count == 15 ? 1 : 2) << count;
    ASSERT_EQ(card_LoadedCount(), count);
    EXPECT_EQ(card_LoadedTitle(static_cast<uint16_t>(count - 1))->startAddress,
              0x10000u + 512u * (count - 1));
    EXPECT_STREQ(card_LoadedTitle(static_cast<uint16_t>(count - 1))->title.data(),
                 (std::string("T").append(std::to_string(count - 1))).c_str());
    card_ReleaseTitles();
    ros_Close();
  }
}

TEST_F(CardHeaderTest, EntriesThatRunOverASectorEnd) {
  // Table at 520 with 32-byte entries: entry 15 covers bytes 1000..1031.
  // With 40-byte entries every 64th byte boundary is crossed somewhere.
  for (uint16_t entrySize : {32, 40}) {
    Bytes image = vexo_test::WriteCardImage(path, 1, "", {});
    const int count = 30;
    vexo_test::PutLe16(image, 4, count);
    vexo_test::PutLe32(image, 6, 520);
    vexo_test::PutLe16(image, 51, entrySize);
    for (int i = 0; i < count; ++i) {
      const Bytes entry = vexo_test::EncodeCardTitle({0x10000u + 512u * i, 7u + i, std::string("E").append(std::to_string(i)), 2});
      std::copy(entry.begin(), entry.end(), image.begin() + 520 + entrySize * i);
    }
    Open(image);
    ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
    ASSERT_EQ(card_LoadedCount(), count);
    for (int i = 0; i < count; ++i) {
      const TitleEntry* entry = card_LoadedTitle(static_cast<uint16_t>(i));
      EXPECT_EQ(entry->size, 7u + i) << entrySize << " " << i;
      EXPECT_STREQ(entry->title.data(), (std::string("E").append(std::to_string(i))).c_str());
      EXPECT_EQ(entry->fileType, 2);
    }
    card_ReleaseTitles();
    ros_Close();
  }
}

TEST_F(CardHeaderTest, ShrinkingTableZeroesTheFreedSectorAndDeleteAllLeavesStaleOnes) {
  OpenTitles(Titles(17));
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 1), 0);
  Bytes image = Image();
  EXPECT_EQ(Le16(image, 4), 16);
  EXPECT_EQ(Le32(image, 10), 1024u);
  EXPECT_EQ(Slice(image, 512, 32), vexo_test::EncodeCardTitle(Titles(1)[0]));
  EXPECT_EQ(Slice(image, 1024, 512), Bytes(512, 0));
  ros_Close();

  OpenTitles(Titles(40), 5, "Music");
  const Bytes before = Image();
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 0), 0);
  image = Image();
  EXPECT_EQ(Le16(image, 0), 1);
  EXPECT_EQ(Le16(image, 4), 0);
  EXPECT_EQ(image[14], 0);
  EXPECT_EQ(Slice(image, 512, 512), Bytes(512, 0));
  EXPECT_EQ(Slice(image, 1024, 1024), Slice(before, 1024, 1024)) << "sectors 2 and 3 stay";
}

// The order of the header writes is seen through an image file that cannot
// grow: the sector that extends it fails, and what was written before stays.
TEST_F(CardHeaderTest, TableSectorsGoBeforeSectorZeroAndTheFreedSectorAfter) {
  Bytes image = vexo_test::WriteCardImage(path, 1, "Old", {});
  image.resize(512);
  Open(image);
  ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  TitleEntry entry;
  entry.startAddress = 0x10000;
  entry.size = 5;
  {
    vexo_test::FileSizeLimit limit(512);
    EXPECT_EQ(card_WriteHeader(kRos, 1, 1, header, &entry), -37);
  }
  EXPECT_EQ(Image(), image) << "sector 0 must not count an entry whose sector failed";
  card_ReleaseTitles();
  ros_Close();

  // 17 titles, the file ends behind sector 1: deleting one writes sectors 1
  // and 0, then fails on the freed sector 2.
  image = vexo_test::WriteCardImage(path, 1, "", Titles(17));
  image.resize(1024);
  Open(image);
  {
    vexo_test::FileSizeLimit limit(1024);
    EXPECT_EQ(card_DeleteTitles(kRos, 1, 1, 1), -37);
  }
  EXPECT_EQ(Le16(Image(), 4), 16);
}

TEST_F(CardHeaderTest, FreeBytesNeverWrapAndNamesAlwaysEnd) {
  Bytes image = vexo_test::WriteCardImage(path, 7, "", {{0x10000, 0x7000000, "a"}, {0x7010000, 0x7000000, "b"}});
  std::fill(image.begin() + 14, image.begin() + 51, 'N');
  Open(image);
  ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  EXPECT_EQ(header.freeBytes, 0u);
  EXPECT_EQ(std::string(header.cardName.data()), std::string(36, 'N'));
}

// Whatever sector 0 and the table hold: no crash, no access out of bounds
// (run under AddressSanitizer), a valid card type is never taken for a blank
// card, and no write reaches the data area.
TEST_F(CardHeaderTest, AnySectorZeroIsParsedSafely) {
  std::mt19937 random(20240611);
  Bytes image(0x10000 + 4096);
  for (auto& b : image) b = static_cast<uint8_t>(random());
  const Bytes dataArea = Slice(image, 0x10000, 4096);
  Open(image);
  const uint16_t types[] = {1, 5, 6, 7, 0, 2, 0xFFFF};
  const uint16_t counts[] = {0, 1, 16, 17, 2032, 2033, 0xFFFF};
  const uint32_t offsets[] = {0, 14, 511, 512, 520, 1024, 65000, 65535, 65536, 0xFFFFFFFF};
  const uint16_t sizes[] = {0, 1, 31, 32, 33, 40, 512, 513, 0xFFFF};
  for (int round = 0; round < 2000; ++round) {
    Bytes sector0(512);
    for (auto& b : sector0) b = static_cast<uint8_t>(random());
    vexo_test::PutLe16(sector0, 0, types[random() % 7]);
    if (random() % 4 != 0) vexo_test::PutLe16(sector0, 4, counts[random() % 7]);
    if (random() % 4 != 0) vexo_test::PutLe32(sector0, 6, offsets[random() % 10]);
    if (random() % 4 != 0) vexo_test::PutLe16(sector0, 51, sizes[random() % 9]);
    ASSERT_EQ(ros_WriteSector(0, sector0.data()), 0);

    const VexoResult result = card_ReadHeader(kRos, 1, 1, &header);
    const bool valid = card_IsValidCardType(Le16(sector0, 0));
    ASSERT_EQ(result, valid ? 0 : -18) << round;
    EXPECT_LE(header.freeBytes, kCardSize - 0x10000);
    EXPECT_LE(std::strlen(header.cardName.data()), 36u);
    EXPECT_EQ(card_LoadedCount(), header.sampleCount);
    TitleEntry entry;
    int walked = 0;
    while (card_NextTitle(&entry) == 0) ++walked;
    EXPECT_EQ(walked, header.sampleCount);
    if (valid) {
      card_NextTitleSector();
      entry.startAddress = 0x10000;
      entry.size = 1;
      const VexoResult written = card_WriteHeader(kRos, 1, 1, header, round % 2 ? &entry : nullptr);
      EXPECT_TRUE(written == 0 || written == -42) << round << " " << written;
      if (round % 3 == 0) {
        card_ReleaseTitles();
        const VexoResult deleted = card_DeleteTitles(kRos, 1, 1, 1);
        EXPECT_TRUE(deleted == 0 || deleted == -42) << round << " " << deleted;
      }
    }
    card_ReleaseTitles();
  }
  EXPECT_EQ(Slice(Image(), 0x10000, 4096), dataArea);
}

}  // namespace
