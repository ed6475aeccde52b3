// Playlist operations through the library on image files: adding on full and
// nearly full cards, the table bound, refusals that write nothing, and the
// raw copies.
#include <gtest/gtest.h>

#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "support/test_support.h"
#include "transport/transport.h"

namespace {

using vexo_test::CardTitle;
using vexo_test::Le16;
using vexo_test::Le32;
using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::ReadRange;
using vexo_test::Slice;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kRos = VEXO_PORT_ROS;
constexpr uint32_t kCardSize = 132907008;

class Playlist : public ::testing::Test {
 protected:
  void SetUp() override {
    vexo_test::UseNoDelay();
    vexo_test::WriteFile(song, Pattern(2000));
  }
  void TearDown() override { vexo_Close(kRos, 1); }
  void OpenTitles(const std::vector<CardTitle>& titles) {
    before = vexo_test::WriteCardImage(image, 1, "Name", titles);
    ASSERT_EQ(vexo_Open(kRos, 1, 115200, image.c_str()), 0);
  }
  Bytes Image() {
    vexo_Close(kRos, 1);
    Bytes bytes = ReadFile(image);
    vexo_Open(kRos, 1, 115200, image.c_str());
    return bytes;
  }
  VexoResult Add(const std::string& path, int progress = 0) {
    return card_AddTitle(kRos, 1, 1, 0, nullptr, path.c_str(), "New", progress, 1);
  }
  vexo_test::TempDir dir;
  std::string image = dir.File("card.ros");
  std::string song = dir.File("song.mp3");
  Bytes before;
};

TEST_F(Playlist, FullCardsRefuseANewTitleAndWriteNothing) {
  OpenTitles({{0x10000, kCardSize - 0x10000, "all"}});  // freeBytes 0
  EXPECT_EQ(Add(song), -41);
  EXPECT_EQ(Image(), before);
  vexo_Close(kRos, 1);

  // Free bytes left, but no sector behind the last title.
  OpenTitles({{kCardSize - 512, 512, "last"}});
  EXPECT_EQ(Add(song), -41);
  EXPECT_EQ(Image(), before);
}

TEST_F(Playlist, ATitleNeverRunsPastTheCardsLastSector) {
  OpenTitles({{kCardSize - 1024, 100, "near the end"}});
  testing::internal::CaptureStdout();
  ASSERT_EQ(Add(song, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "- File size truncated to card space left -\n  0 / 1 (0%) \r");
  vexo_Close(kRos, 1);
  const Bytes header = ReadRange(image, 0, 1024);
  EXPECT_EQ(Le16(header, 4), 2);
  EXPECT_EQ(Le32(header, 544), kCardSize - 512);
  EXPECT_EQ(Le32(header, 548), 512u);
  EXPECT_EQ(ReadRange(image, kCardSize - 512, 1000), Slice(Pattern(2000), 0, 512));
}

TEST_F(Playlist, ATitleIsCutToTheFreeSpace) {
  // 4,000,511 bytes free, but only 3,999,744 behind the last title (padding).
  OpenTitles({{0x10000, 1, "one"}, {0x10200, kCardSize - 0x10200 - 4000000, "big"}});
  const Bytes host = Pattern(5000000, 3);
  vexo_test::WriteFile(song, host);
  ASSERT_EQ(Add(song), 0);
  vexo_Close(kRos, 1);
  const Bytes header = ReadRange(image, 0, 1024);
  EXPECT_EQ(Le32(header, 576), kCardSize - 3999744);
  EXPECT_EQ(Le32(header, 580), 3999744u);
  EXPECT_EQ(ReadRange(image, kCardSize - 3999744, 4000000), Slice(host, 0, 3999744));
}

TEST_F(Playlist, TableFullIsRefusedBeforeAnyData) {
  std::vector<CardTitle> titles;
  for (uint32_t i = 0; i < 2032; ++i) titles.push_back({0x10000 + 512 * i, 1, "t", 2});
  OpenTitles(titles);
  EXPECT_EQ(Add(song), -42);
  EXPECT_EQ(Image(), before);
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 1), 0);
  ASSERT_EQ(Add(song), 0) << "room again for one";
  EXPECT_EQ(Le16(Image(), 4), 2032);
}

TEST_F(Playlist, RefusalsWriteNothing) {
  OpenTitles({{0x10000, 10, "a"}, {0x10200, 20, "b"}});
  for (int32_t sample : {0, 3, -1}) {
    EXPECT_EQ(card_ChangeTitle(kRos, 1, 1, sample, "x"), -22);
    EXPECT_EQ(card_ReadTitle(kRos, 1, 1, sample, dir.File("out").c_str(), 0), -22);
  }
  EXPECT_EQ(card_ChangeTitle(kRos, 1, 1, 1, nullptr), -22);
  EXPECT_EQ(Add(dir.File("missing")), -5);
  vexo_test::WriteFile(dir.File("empty"), {});
  EXPECT_EQ(Add(dir.File("empty")), -5);
  EXPECT_EQ(Image(), before);
  EXPECT_FALSE(vexo_test::FileExists(dir.File("out")));
}

TEST_F(Playlist, ChangeCardKeepsEveryEntry) {
  std::vector<CardTitle> titles;
  for (uint32_t i = 0; i < 20; ++i) titles.push_back({0x10000 + 512 * i, 100 + i, std::string("t").append(std::to_string(i)), 2});
  OpenTitles(titles);
  ASSERT_EQ(card_ChangeCard(kRos, 1, 1, 6, "Other"), 0);
  const Bytes after = Image();
  EXPECT_EQ(Le16(after, 0), 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[14])), "Other");
  EXPECT_EQ(Slice(after, 512, 65536 - 512), Slice(before, 512, 65536 - 512));
}

TEST_F(Playlist, RawCopiesThroughTheLibrary) {
  OpenTitles({});
  const Bytes host = Pattern(3000, 8);
  vexo_test::WriteFile(dir.File("raw"), host);
  ASSERT_EQ(card_RawWrite(kRos, 1, 1, 0, dir.File("raw").c_str(), 0), 0);
  const Bytes after = Image();
  EXPECT_EQ(Slice(after, 0, 3000), host);
  EXPECT_EQ(Slice(after, 3000, 72), Bytes(72, 0));

  // The used part of a card with titles ends behind the last title.
  vexo_Close(kRos, 1);
  OpenTitles({{0x10000, 10, "a"}, {0x10200, 20, "b"}});
  ASSERT_EQ(card_RawRead(kRos, 1, 1, 0, dir.File("copy").c_str(), 0, 1), 0);
  Bytes used = before;
  used.resize(0x10200 + 20, 0);  // past the image file's end the card reads as zeros
  EXPECT_EQ(ReadFile(dir.File("copy")), used);
  EXPECT_EQ(card_RawRead(kRos, 1, 1, 0, "/dev/full", 0, 1), -43);
}

}  // namespace
