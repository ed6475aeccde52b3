// The card layer on image files: the header sector and title table (parsed
// safely whatever sector 0 holds), the placement and refusals of a new title,
// the other playlist operations, and that no change, cut off anywhere, loses
// a title.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "drivers/image/ros.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"
#include "host/block_copy.h"
#include "transport/transport.h"

namespace {

using namespace vexo_test;

constexpr int32_t kRos = VEXO_PORT_ROS;
constexpr uint32_t kCardSize = 132907008;

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

// The image file: a new or empty file becomes a blank 64 KiB card of 0xFF;
// any other is kept; past its end the card reads as zeros.
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

// Tables at 512 and at 520, entries of 32 and 40 bytes: entries that end on
// or run over a sector's end are read whole.
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

// Whatever sector 0 and the table hold: no crash, no access out of bounds
// (run under AddressSanitizer), free bytes that never wrap, names that always
// end, a valid card type never taken for a blank card, and no write reaching
// the data area.
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

// Where a new title goes and how much of it: behind the last title at a
// sector boundary, cut to the free space and to the card's end; refused with
// nothing written when there is no room in the data area or the table.
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
      {"one sector left behind, too short", {{0x10000, kCardSize - 0x10200, "big"}}, 2000, 0, kCardSize - 512, 512},
      {"a freed place that holds it", {{0x10000, 700, "a"}, {0x10800, 700, "c"}}, 1024, 0, 0x10400, 1024},
      {"a freed place too short", {{0x10000, 700, "a"}, {0x10800, 700, "c"}}, 1025, 0, 0x10C00, 1025},
      // 4,000,511 bytes free, but only 3,999,744 behind the last title (padding).
      {"cut to what lies behind the last", {{0x10000, 1, "one"}, {0x10200, kCardSize - 0x10200 - 4000000, "big"}},
       5000000, 0, kCardSize - 3999744, 3999744},
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

// A header change writes only the sectors whose bytes change: renaming title
// 1 of 40 is one sector write, even when a second write would fail.
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

// An image-file copy fails at the sector whose write fails, with the lines
// and bytes up to it as a copy sector by sector gives them.
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

// ---- A card never loses a title ---------------------------------------------------
// A playlist change cut off after any sector write, on any port kind, leaves
// the old or the new playlist with every title whole. And the guard rails:
// host files that are no regular files, a read onto the image itself.

constexpr uint32_t kTitleBytes = 700;  // two sectors a title
using Run = std::function<VexoResult(int32_t kind, int32_t port)>;

struct Playlist {
  std::string name;
  std::vector<std::pair<std::string, Bytes>> titles;  // text and bytes on the card
  bool operator==(const Playlist&) const = default;
};

// Titles T1..Tn, each kTitleBytes of its own pattern.
Playlist Songs(int count) {
  Playlist playlist{"Card", {}};
  for (int i = 1; i <= count; ++i) {
    playlist.titles.push_back({std::string("T").append(std::to_string(i)), Pattern(kTitleBytes, static_cast<uint32_t>(i))});
  }
  return playlist;
}

// An image holding the playlist, titles back to back from 0x10000.
void WriteCard(const std::string& path, const Playlist& playlist) {
  std::vector<CardTitle> entries;
  for (std::size_t i = 0; i < playlist.titles.size(); ++i) {
    entries.push_back({static_cast<uint32_t>(0x10000 + 1024 * i), kTitleBytes, playlist.titles[i].first});
  }
  Bytes image = vexo_test::WriteCardImage(path, 1, playlist.name, entries, 0x10000 + 1024 * entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::copy(playlist.titles[i].second.begin(), playlist.titles[i].second.end(), image.begin() + entries[i].start);
  }
  WriteFile(path, image);
}

// The playlist an image holds as vexo reads its header, with the bytes each
// entry points at.
Playlist ReadCard(const std::string& path) {
  Playlist playlist;
  vexo_test::UseNoDelay();
  EXPECT_EQ(vexo_Open(kRos, 1, 0, path.c_str()), 0);
  CardHeader header;
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0) << "the card lost its header";
  playlist.name = header.cardName.data();
  for (TitleEntry entry; card_NextTitle(&entry) == 0;) {
    playlist.titles.push_back({std::string(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES)),
                               vexo_test::ReadRange(path, entry.startAddress, entry.size)});
  }
  card_ReleaseTitles();
  vexo_Close(kRos, 1);
  return playlist;
}

// The player again, its line hanging up instead of its card leaving.
constexpr int32_t kHangUp = 99;
int32_t KindOf(int32_t param) { return param == kHangUp ? VEXO_PORT_SERIAL : param; }

// Lets k sector writes reach the card, then it stops working; or hangs the
// line up 2k player bytes behind the header read (a sector written costs
// the player one or two bytes).
void CutOffAfter(int32_t kind, int k, int titles) {
  if (kind == kHangUp) {
    CardHeader header;
    playersim_ResetCounters();
    card_ReadHeader(VEXO_PORT_SERIAL, 1, 1, &header);
    card_ReleaseTitles();
    playersim_SetFaults({.hangupAfter = static_cast<int64_t>(playersim_Counters().bytesSent) + 2 * k});
  }
  if (kind == VEXO_PORT_ROS) vexo_SetSectorWriteFailure(static_cast<uint32_t>(k) + 1);
  if (kind == VEXO_PORT_PARALLEL) mmcsim_Faults()->pullAfterBlocks = k;  // blocks programmed before the pull
  // The player's fault counts sectors read too: every change here first
  // reads the header's sectors, one behind the table's last full sector.
  if (kind == VEXO_PORT_SERIAL) playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = k + 2 + titles / 16});
}

Playlist Without(Playlist p, int n) {
  p.titles.erase(p.titles.begin() + (n - 1));
  return p;
}

Playlist Moved(Playlist p, int from, int to) {
  const auto title = p.titles[from - 1];
  p.titles.erase(p.titles.begin() + (from - 1));
  p.titles.insert(p.titles.begin() + (to - 1), title);
  return p;
}

bool Lists(const Playlist& p, const std::pair<std::string, Bytes>& title) {
  return std::find(p.titles.begin(), p.titles.end(), title) != p.titles.end();
}

// Between the old and the new list of a change of several table sectors:
// every new title listed, every entry an old one.
bool Between(const Playlist& found, const Playlist& before, const Playlist& after) {
  return found.name == after.name &&
         std::all_of(after.titles.begin(), after.titles.end(), [&](const auto& t) { return Lists(found, t); }) &&
         std::all_of(found.titles.begin(), found.titles.end(), [&](const auto& t) { return Lists(before, t); });
}

struct Change {
  const char* name;
  int titlesBefore;
  Run run;
  std::function<Playlist(Playlist)> after;
  bool severalSectors = false;  // may list a title twice after a cut; refused on image files
  bool onImageFile = true;
};

Change DeleteN(const char* name, int titles, int n) {
  return {name, titles, [n](int32_t kind, int32_t port) { return card_DeleteTitle(kind, port, 1, n); },
          [n](Playlist p) { return Without(p, n); }, true, false};
}

Change Move(const char* name, int titles, int from, int to) {
  return {name, titles, [=](int32_t kind, int32_t port) { return card_MoveTitle(kind, port, 1, from, to); },
          [=](Playlist p) { return Moved(p, from, to); }, true, true};
}

class CutOff : public testing::TestWithParam<int32_t> {
 protected:
  // Each change, cut off after 0, 1, 2... sector writes until it completes.
  void CutEverywhere(std::initializer_list<Change> changes) {
    const std::string image = dir.File("card.ros"), extra = dir.Write("extra.mp3", Pattern(kTitleBytes, 99));
    for (const Change& change : changes) {
      if (GetParam() == VEXO_PORT_ROS && !change.onImageFile) continue;
      SCOPED_TRACE(change.name);
      const Playlist before = Songs(change.titlesBefore);
      const Playlist after = change.after(before);
      for (int k = 0;; ++k) {
        ASSERT_LT(k, 40) << "the change never completed";
        WriteCard(image, before);
        VexoResult result = 0;
        {
          vexo_test::CardOnPort card(KindOf(GetParam()), image);
          ASSERT_EQ(card.Open(), 0);
          CutOffAfter(GetParam(), k, change.titlesBefore);
          result = change.run(KindOf(GetParam()), 1);
          vexo_SetSectorWriteFailure(0);
        }
        if (GetParam() == kHangUp) {
          ASSERT_TRUE(result == 0 || result == -VEXO_ERROR_LINE_LOST) << result;
        }
        const Playlist found = ReadCard(image);
        if (result == 0) {
          EXPECT_EQ(found, after);
          EXPECT_GT(k, 0) << "the change was never cut off";
          break;
        }
        ASSERT_TRUE(found == before || found == after || (change.severalSectors && Between(found, before, after)))
            << "cut off after " << k << ", result " << result;
        // The card stays whole: a title added now keeps every title listed.
        vexo_Open(kRos, 1, 0, image.c_str());
        ASSERT_EQ(card_AddTitle(kRos, 1, 1, 0, nullptr, extra.c_str(), "Extra", 0, 1), 0);
        vexo_Close(kRos, 1);
        Playlist grown = found;
        grown.titles.push_back({"Extra", Pattern(kTitleBytes, 99)});
        ASSERT_EQ(ReadCard(image), grown) << "cut off after " << k;
      }
    }
  }
  vexo_test::TempDir dir;
};

Change AddT17(const std::string& song) {
  return {"add, table grows into sector 2", 16,
          [=](int32_t kind, int32_t port) { return card_AddTitle(kind, port, 1, 0, nullptr, song.c_str(), "T17", 0, 1); },
          [](Playlist) { return Songs(17); }};
}

TEST_P(CutOff, AnyChangeLeavesTheOldOrTheNewPlaylistAndEveryTitleWhole) {
  CutEverywhere({
      AddT17(dir.Write("song.mp3", Songs(17).titles.back().second)),
      {"delete last, table shrinks to sector 1", 17,
       [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 1); },
       [](Playlist) { return Songs(16); }},
      {"delete all", 17, [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 0); },
       [](Playlist) { return Playlist{}; }},
      {"chtitle", 17, [](int32_t kind, int32_t port) { return card_ChangeTitle(kind, port, 1, 17, "Renamed"); },
       [](Playlist p) { p.titles.back().first = "Renamed"; return p; }},
      {"change", 17, [](int32_t kind, int32_t port) { return card_ChangeCard(kind, port, 1, 5, "Other"); },
       [](Playlist p) { p.name = "Other"; return p; }},
  });
}

TEST_P(CutOff, DeleteNListsEveryRemainingTitle) {
  CutEverywhere({DeleteN("delete 1 of 17", 17, 1), DeleteN("delete 9 of 17", 17, 9), DeleteN("delete 17 of 17", 17, 17),
                 DeleteN("delete 1 of 40", 40, 1), DeleteN("delete 20 of 40", 40, 20), DeleteN("delete 40 of 40", 40, 40)});
}

TEST_P(CutOff, MoveListsEveryTitle) {
  CutEverywhere({Move("move 1 to 40", 40, 1, 40), Move("move 40 to 1", 40, 40, 1), Move("move 17 to 16", 17, 17, 16),
                 Move("move 2 to 5, one sector", 17, 2, 5)});
}

INSTANTIATE_TEST_SUITE_P(NeverLoseATitle, CutOff, testing::ValuesIn(vexo_test::kAllKinds),
                         [](const auto& info) { return std::string(vexo_test::KindName(info.param)); });

// A line that hangs up anywhere in an add: its title and header writes.
class HangUp : public CutOff {};

TEST_P(HangUp, AnAddLeavesTheOldOrTheNewPlaylist) {
  CutEverywhere({AddT17(dir.Write("song.mp3", Songs(17).titles.back().second))});
}

INSTANTIATE_TEST_SUITE_P(NeverLoseATitle, HangUp, testing::Values(kHangUp),
                         [](const auto&) { return std::string("Player"); });

TEST(NeverLoseATitle, FoldersFifosAndDevicesAreRefusedAtOnce) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros"), fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteCard(card, Songs(1));
  const std::vector<std::string> lines[] = {
      {"ros", fifo, "--get"},          {"ros", dir.path(), "--get"}, {"ros", "/dev/null", "--get"},
      {"ros", card, "--add", fifo, "T"}, {"ros", card, "--add", dir.path(), "T"},
  };
  for (const auto& line : lines) {
    SCOPED_TRACE(line[1] + " " + line[2] + " " + (line.size() > 3 ? line[3] : ""));
    // In a child that a hang cannot outlive.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(1);
      const vexo_test::RunResult run = RunVexo(line);
      _exit(run.out.find("\n Error: NOT A REGULAR FILE\n") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  struct stat info;
  ASSERT_EQ(stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(ReadCard(card), Songs(1));
}

TEST(NeverLoseATitle, AReadOntoTheImageItselfIsRefusedWhateverItsSpelling) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros");
  WriteCard(card, Songs(2));
  const Bytes before = ReadFile(card);
  ASSERT_EQ(link(card.c_str(), dir.File("hard.ros").c_str()), 0);
  ASSERT_EQ(symlink(card.c_str(), dir.File("soft.ros").c_str()), 0);
  const std::string name = dir.path().substr(dir.path().rfind('/') + 1);
  for (const std::string& target : {card, dir.path() + "/./card.ros", dir.path() + "/../" + name + "/card.ros",
                                    dir.File("hard.ros"), dir.File("soft.ros")}) {
    SCOPED_TRACE(target);
    EXPECT_NE(RunVexo({"ros", card, "--read", "1", target}).out.find("\n Error: SAME FILE AS IMAGE\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(card), before);
  }
  // The simulated adapter's card, copied whole onto itself.
  vexo_test::UseNoAdapterWaits();
  ASSERT_TRUE(mmcsim_InstallImageCard(card.c_str(), MmcSimConfig{}));
  const std::string out = RunVexo({"lp1", "--rawread", dir.File("hard.ros")}).out;
  mmcsim_Remove();
  EXPECT_NE(out.find("\n Error: SAME FILE AS IMAGE\n"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(card), before);
}

// A card or image without a valid header is changed only when its header
// area is blank; any other data stays byte for byte, whatever the command.
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
