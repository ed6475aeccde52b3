// The card layer on image files: the header and table parsed safely, a new title's
// place and refusals, the playlist operations, the foreign-data check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "drivers/image/ros.h"
#include "support/test_support.h"
#include "host/block_copy.h"

namespace {

using namespace vexo_test;

constexpr int32_t kRos = VEXO_PORT_ROS;

std::vector<CardTitle> Titles(int count, uint32_t size = 100) {
  std::vector<CardTitle> titles;
  for (int i = 0; i < count; ++i) {
    titles.push_back({0x10000u + 512u * i, size, std::string("T").append(std::to_string(i)), 1});
  }
  return titles;
}

class Card : public ::testing::Test {
 protected:
  void SetUp() override { vexo_test::UseNoDelay(); }
  void TearDown() override {
    card_ReleaseTitles();
    ros_Close();
  }
  void Open(const Bytes& bytes) {
    vexo_test::WriteFile(path, bytes);
    ASSERT_EQ(ros_Open(path.c_str()), 0);
  }
  void OpenTitles(const std::vector<CardTitle>& titles, uint16_t type = 1, const char* name = "Name") {
    before = vexo_test::WriteCardImage(path, type, name, titles);
    ASSERT_EQ(ros_Open(path.c_str()), 0);
  }
  Bytes Image() {
    ros_Close();
    Bytes bytes = ReadFile(path);
    ros_Open(path.c_str());
    return bytes;
  }
  VexoResult Add(const std::string& host, int progress = 0) {
    return card_AddTitle(kRos, 1, 1, 0, nullptr, host.c_str(), "New", progress, 1);
  }
  vexo_test::TempDir dir;
  std::string path = dir.File("card.ros");
  Bytes before;
  CardHeader header;
};

// A new or empty image file becomes 64 KiB of 0xFF, any other is kept; past its end, zeros.
TEST_F(Card, ImageFileOpenAndRead) {
  const struct { Bytes content; Bytes after; } files[] = {{{}, Bytes(65536, 0xFF)}, {{1, 2, 3}, {1, 2, 3}}};
  for (const auto& f : files) {
    vexo_test::WriteFile(path, f.content);
    ASSERT_EQ(ros_Open(path.c_str()), 0);
    ros_Close();
    EXPECT_EQ(ReadFile(path), f.after);
  }
  ASSERT_EQ(ros_Open(dir.File("new.ros").c_str()), 0);
  ros_Close();
  EXPECT_EQ(ReadFile(dir.File("new.ros")), Bytes(65536, 0xFF));
  EXPECT_EQ(ros_Open(nullptr), -VEXO_ERROR_FILE_NOT_EXIST);
  EXPECT_EQ(ros_Open(dir.File("no/such.ros").c_str()), -VEXO_ERROR_FILE_NOT_EXIST);
  EXPECT_EQ(ros_Open(dir.path().c_str()), -VEXO_ERROR_NOT_REGULAR_FILE);
  uint8_t sector[SECTOR_SIZE];
  EXPECT_EQ(ros_ReadSector(0, sector), -VEXO_ERROR_FILE_NOT_OPEN);
  EXPECT_EQ(ros_WriteSector(0, sector), -VEXO_ERROR_FILE_NOT_OPEN);

  Open(Pattern(700));
  std::fill(sector, sector + SECTOR_SIZE, 0xAA);
  ASSERT_EQ(ros_ReadSector(1, sector), 0);
  Bytes expected = Slice(Pattern(700), 512, 188);
  expected.resize(512, 0);
  EXPECT_EQ(Bytes(sector, sector + SECTOR_SIZE), expected);
}

// Tables at 512 and 520, entries of 32 and 40 bytes: entries across a sector's end read whole.
TEST_F(Card, EntriesAcrossSectorEnds) {
  const struct { uint32_t offset; uint16_t entrySize; int count; } layouts[] = {
      {512, 32, 15}, {512, 32, 16}, {512, 32, 17}, {520, 32, 30}, {520, 40, 30}};
  for (const auto& layout : layouts) {
    Bytes image = vexo_test::WriteCardImage(path, 1, "", {});
    vexo_test::PutLe16(image, 4, static_cast<uint16_t>(layout.count));
    vexo_test::PutLe32(image, 6, layout.offset);
    vexo_test::PutLe16(image, 51, layout.entrySize);
    for (int i = 0; i < layout.count; ++i) {
      const Bytes entry = vexo_test::EncodeCardTitle({0x10000u + 512u * i, 7u + i, std::string("E").append(std::to_string(i)), 2});
      std::copy(entry.begin(), entry.end(), image.begin() + layout.offset + layout.entrySize * i);
    }
    Open(image);
    ASSERT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
    ASSERT_EQ(card_LoadedCount(), layout.count);
    for (int i = 0; i < layout.count; ++i) {
      const TitleEntry* entry = card_LoadedTitle(static_cast<uint16_t>(i));
      EXPECT_EQ(entry->size, 7u + i) << layout.offset << "/" << layout.entrySize << " " << i;
      EXPECT_STREQ(entry->title.data(), (std::string("E").append(std::to_string(i))).c_str());
      EXPECT_EQ(entry->fileType, 2);
    }
    card_ReleaseTitles();
    ros_Close();
  }
}

TEST_F(Card, ShrinkingTableZeroesTheFreedSectorAndDeleteAllLeavesStaleOnes) {
  OpenTitles(Titles(17));
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 1), 0);
  Bytes image = Image();
  EXPECT_EQ(Le16(image, 4), 16);
  EXPECT_EQ(Le32(image, 10), 1024u);
  EXPECT_EQ(Slice(image, 512, 32), vexo_test::EncodeCardTitle(Titles(1)[0]));
  EXPECT_EQ(Slice(image, 1024, 512), Bytes(512, 0));
  ros_Close();

  OpenTitles(Titles(40), 5, "Music");
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 0), 0);
  image = Image();
  EXPECT_EQ(Le16(image, 0), 1);
  EXPECT_EQ(Le16(image, 4), 0);
  EXPECT_EQ(image[14], 0);
  EXPECT_EQ(Slice(image, 512, 512), Bytes(512, 0));
  EXPECT_EQ(Slice(image, 1024, 1024), Slice(before, 1024, 1024)) << "sectors 2 and 3 stay";
}

// Any sector 0: no access out of bounds, free bytes that never wrap, names that end,
// and no write reaching the data area.
TEST_F(Card, AnySectorZeroIsParsedSafely) {
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

// A new title goes behind the last or in a freed place that holds it; refused, writing nothing, when it does not fit.
TEST_F(Card, PlacementOfANewTitle) {
  std::vector<CardTitle> crowded;
  for (uint32_t i = 0; i < 2032; ++i) crowded.push_back({0x10000 + 512 * i, 1, "t", 2});
  const struct {
    const char* what;
    std::vector<CardTitle> titles;
    std::size_t hostSize;
    VexoResult result;
    uint32_t start, size;  // of the new entry
  } cases[] = {
      {"free bytes 0", {{0x10000, kCardSize - 0x10000, "all"}}, 2000, -VEXO_ERROR_CARD_FULL, 0, 0},
      {"no sector behind the last, room before it", {{kCardSize - 512, 512, "last"}}, 2000, 0, 0x10000, 2000},
      {"table full", crowded, 2000, -VEXO_ERROR_TABLE_FULL, 0, 0},
      {"one sector left behind, too short", {{0x10000, kCardSize - 0x10200, "big"}}, 2000, -VEXO_ERROR_CARD_FULL, 0, 0},
      {"one sector left behind, just right", {{0x10000, kCardSize - 0x10200, "big"}}, 512, 0, kCardSize - 512, 512},
      {"a freed place that holds it", {{0x10000, 700, "a"}, {0x10800, 700, "c"}}, 1024, 0, 0x10400, 1024},
      {"a freed place too short", {{0x10000, 700, "a"}, {0x10800, 700, "c"}}, 1025, 0, 0x10C00, 1025},
      // 4,000,511 bytes free, but only 3,999,744 behind the last title (padding).
      {"larger than what lies behind the last", {{0x10000, 1, "one"}, {0x10200, kCardSize - 0x10200 - 4000000, "big"}},
       3999745, -VEXO_ERROR_CARD_FULL, 0, 0},
      {"all that lies behind the last", {{0x10000, 1, "one"}, {0x10200, kCardSize - 0x10200 - 4000000, "big"}},
       3999744, 0, kCardSize - 3999744, 3999744},
      {"behind a 1000-byte title", {{0x10000, 1000, "a"}}, 700, 0, 0x10400, 700},
      {"all-zero last entry", {{0x10000, 700, "A"}, {0, 0, "", 0}}, 700, 0, 0x10400, 700},
      {"last entry inside the header area", {{0xA00, 100, "low"}}, 700, 0, 0x10000, 700},
      {"entries out of order", {{0x20000, 700, "far"}, {0x10000, 700, "near"}}, 700, 0, 0x10400, 700},
  };
  for (const auto& c : cases) {
    const Bytes host = Pattern(c.hostSize, 3);
    OpenTitles(c.titles);
    EXPECT_EQ(Add(dir.Write("song", host)), c.result) << c.what;
    ros_Close();
    if (c.result != 0) {
      EXPECT_EQ(ReadFile(path), before) << c.what;
      continue;
    }
    const Bytes after = vexo_test::ReadRange(path, 0, 0x10000);  // not the whole (sparse) card
    const std::size_t at = 512 + 32 * c.titles.size();
    EXPECT_EQ(Le16(after, 4), c.titles.size() + 1) << c.what;
    EXPECT_EQ(Le32(after, at), c.start) << c.what;
    EXPECT_EQ(Le32(after, at + 4), c.size) << c.what;
    // Whole sectors of the host file, zeros past its end, and nothing behind.
    const std::size_t length = (c.size + 511) / 512 * 512;
    Bytes data = Slice(host, 0, length);
    data.resize(length, 0);
    EXPECT_EQ(vexo_test::ReadRange(path, c.start, length + 1), data) << c.what;
    EXPECT_EQ(Slice(after, 1024, 0x10000 - 1024), Slice(before, 1024, 0x10000 - 1024))
        << c.what << ": nothing written into the header area behind the table";
  }
  // 1-byte entries would list 65,024 titles; the header area holds 2,032.
  Bytes tiny = vexo_test::WriteCardImage(path, 1, "Card", {});
  vexo_test::PutLe16(tiny, 4, 65000);
  vexo_test::PutLe16(tiny, 51, 1);
  Open(tiny);
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  EXPECT_EQ(card_LoadedCount(), HEADER_MAX_TITLES);
  card_ReleaseTitles();
  ros_Close();
  // Room again for one once a title is deleted.
  OpenTitles(crowded);
  ASSERT_EQ(card_DeleteTitles(kRos, 1, 1, 1), 0);
  ASSERT_EQ(Add(dir.File("song")), 0);
  EXPECT_EQ(Le16(Image(), 4), 2032);
}

// A header change writes only changed sectors: renaming title 1 of 40 is one write.
TEST_F(Card, OnlyChangedHeaderSectorsAreWritten) {
  OpenTitles(Titles(40));
  vexo_SetSectorWriteFailure(2);
  EXPECT_EQ(card_ChangeTitle(kRos, 1, 1, 1, "New"), 0);
  vexo_SetSectorWriteFailure(0);
  const Bytes after = Image();
  EXPECT_EQ(Slice(after, 512, 32), vexo_test::EncodeCardTitle({0x10000, 100, "New", 1}));
  EXPECT_EQ(Slice(after, 544, after.size() - 544), Slice(before, 544, before.size() - 544));
}

TEST_F(Card, RefusalsWriteNothing) {
  OpenTitles({{0x10000, 10, "a"}, {0x10200, 20, "b"}});
  for (int32_t sample : {0, 3, -1}) {
    EXPECT_EQ(card_ChangeTitle(kRos, 1, 1, sample, "x"), -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER);
    EXPECT_EQ(card_ReadTitle(kRos, 1, 1, sample, dir.File("out").c_str(), 0), -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER);
  }
  EXPECT_EQ(card_ChangeTitle(kRos, 1, 1, 1, nullptr), -VEXO_ERROR_NO_VALID_SAMPLE_NUMBER);
  EXPECT_EQ(Add(dir.File("missing")), -VEXO_ERROR_FILE_NOT_EXIST);
  EXPECT_EQ(Add(dir.Write("empty", {})), -VEXO_ERROR_FILE_SIZE_ZERO);
  EXPECT_EQ(Image(), before);
  EXPECT_FALSE(vexo_test::FileExists(dir.File("out")));
}

// The progress lines of a copy of `total` sectors up to sector `last`.
std::string Progress(uint32_t total, uint32_t last) {
  std::string out;
  for (uint32_t i = 0; i <= last && i < total; i += 10) {
    char line[64];
    std::snprintf(line, sizeof line, " %u / %u (%d%%) \r", i, total, static_cast<int>(100.0 / total * i));
    out += line;
  }
  return out;
}

// An image-file copy fails at the failing sector write, with the lines and bytes up to it.
TEST(ImageBlockCopies, ProgressAndBytesAsSectorBySector) {
  vexo_test::UseNoDelay();
  TempDir dir;
  const std::string image = dir.File("card.ros");
  const Bytes data = Pattern(2100 * 512 - 3, 4);  // two blocks, the last sector short
  const std::string song = dir.Write("song.mp3", data);
  struct Case { uint32_t failAt; std::string tail; } cases[] = {
      {2049, "\n Error: ROS WRITE\n"}, {2051, "\n Error: ROS WRITE\n"},
      {11, "\n Error: ROS WRITE\n"}, {0, kDone}};
  for (const Case& c : cases) {
    vexo_test::WriteCardImage(image, 1, "Img", {});
    vexo_SetSectorWriteFailure(c.failAt);
    const std::string out = RunVexo({"ros", image, "--add", song, "T"}).out;
    vexo_SetSectorWriteFailure(0);
    const uint32_t written = c.failAt == 0 ? 2100 : c.failAt - 1;
    EXPECT_EQ(out, "\n Adding file: " + song + "\n " + Progress(2100, written) + c.tail) << c.failAt;
    const Bytes bytes = ReadFile(image);
    ASSERT_EQ(bytes.size(), 0x10000u + written * 512) << c.failAt;
    const std::size_t copied = std::min<std::size_t>(data.size(), written * 512);
    EXPECT_EQ(Bytes(bytes.begin() + 0x10000, bytes.begin() + 0x10000 + copied),
              Bytes(data.begin(), data.begin() + copied));
  }
  const std::string back = dir.File("back.mp3");
  EXPECT_EQ(RunVexo({"ros", image, "--read", "1", back}).out,
            "\n Reading file:\n " + Progress(2100, 2099) + kDone + " Transferrate: 0 Bits/sec.\n");
  EXPECT_EQ(ReadFile(back), data);
}

// A card without a valid header is changed only when its header area is blank.
TEST(ForeignData, RefusedUnlessTheHeaderAreaIsBlankOrValid) {
  vexo_test::UseNoDelay();
  vexo_test::TempDir dir;
  const std::string song = dir.Write("song.mp3", Pattern(3000));
  Bytes ext2(0x100000, 0), mbr(0x20000, 0), fat(0x10000, 0), erased(0x10000, 0);
  PutLe16(ext2, 1080, 0xEF53);  // superblock magic at byte 1024 + 56
  ext2[1024] = 0x80;
  PutLe16(mbr, 510, 0xAA55);
  fat = mbr;
  std::memcpy(fat.data() + 82, "FAT32   ", 8);
  std::fill(erased.begin() + 0x4000, erased.begin() + 0x4200, 0xFF);
  const std::string text = "notes about songs\n", refusal = "\n Error: FOREIGN DATA\n";
  const struct { const char* name; Bytes bytes; std::string end; } cases[] = {
      {"ext2", ext2, refusal + " It holds an ext2/3/4 file system.\n"},
      {"mbr", mbr, refusal + " It holds a partition table.\n"},
      {"fat", fat, refusal + " It holds a FAT file system.\n"},
      {"text", Bytes(text.begin(), text.end()), refusal},
      {"zeros and an erased sector", erased, ""},
      {"valid header", {}, ""},
      {"new image", {}, ""},
  };
  for (const auto& c : cases) {
    const std::string image = dir.File(c.name);
    if (std::string(c.name) == "valid header") WriteCardImage(image, 1, "Card", Titles(1));
    if (!c.bytes.empty()) WriteFile(image, c.bytes);
    const Bytes before = FileExists(image) ? ReadFile(image) : Bytes{};
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"--chtitle", "1", "T"}, {"--change", "-n", "N"}, {"--add", song, "T"}}) {
      const std::string out = RunVexo({"ros", image}, command).out;
      EXPECT_EQ(out.find(refusal) != std::string::npos, !c.end.empty()) << c.name << command[0] << out;
      EXPECT_TRUE(out.ends_with(c.end)) << c.name << ' ' << command[0] << out;
    }
    if (!c.end.empty()) {
      EXPECT_EQ(ReadFile(image), before) << c.name;
    } else {
      EXPECT_EQ(Le16(ReadFile(image), 4), std::string(c.name) == "valid header" ? 2 : 1) << c.name;
    }
  }
  const std::string card = dir.File("card.ros");
  WriteFile(card, ext2);
  {
    vexo_test::CardOnPort port(VEXO_PORT_PARALLEL, card);
    EXPECT_NE(RunVexo(port.Words(), {"--delete", "all"}).out.find("\n Error: FOREIGN DATA\n"),
              std::string::npos);
  }
  EXPECT_EQ(ReadFile(card), ext2);
}

}  // namespace
