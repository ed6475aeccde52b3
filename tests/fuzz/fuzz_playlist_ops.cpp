// The playlist operations on an image whose header area the input gives
// (byte 0 picks the operations, byte 1 the title numbers, the rest is the
// card from byte 0). After each operation: a title read is as long as its
// sound entry says and never larger than the card; a title added lies in the
// data area over no listed title; a repair leaves nothing it mends; and no
// sector changed but the header's and table's, and an added title's own.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "card/card_check.h"
#include "card/header.h"
#include "card/playlist.h"
#include "card/table_check.h"
#include "target_support.h"
#include "transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kCardSize = 132907008;  // what an image file stands for
constexpr std::size_t kImageBytes = DATA_AREA_START + 8 * SECTOR_SIZE;
constexpr uint32_t kSongBytes = 3000;
// The part of the image compared before and after each operation.
constexpr std::size_t kCompared = DATA_AREA_START + 32 * SECTOR_SIZE;

struct Table {
  bool valid = false;
  CardHeader header;
  std::vector<TitleEntry> entries;
  uint64_t end = 0;  // where the table ends
};

Table Decode(const Bytes& image) {
  Table t;
  t.valid = card_DecodeHeaderArea(image.data(), image.size(), &t.header, &t.entries);
  t.header.cardSize = kCardSize;
  t.end = t.valid ? card_TableEnd(t.header, static_cast<uint32_t>(t.entries.size())) : 0;
  return t;
}

// Sectors an operation may change: those of the header and both tables
// (with the one zeroed behind a shrinking table), and an added title's.
void CheckChanges(const Bytes& before, const Bytes& after, const Table& old, const Table& now,
                  uint64_t addedFirst, uint64_t addedEnd) {
  const uint64_t tableSectors = (std::max(old.end, now.end) + SECTOR_SIZE - 1) / SECTOR_SIZE + 1;
  const std::size_t compared = std::min(before.size(), after.size());
  for (std::size_t at = 0; at < compared; at += SECTOR_SIZE) {
    const std::size_t n = std::min<std::size_t>(SECTOR_SIZE, compared - at);
    if (std::equal(before.begin() + at, before.begin() + at + n, after.begin() + at)) continue;
    const uint64_t sector = at / SECTOR_SIZE;
    const bool header = sector < DATA_AREA_START / SECTOR_SIZE && sector < tableSectors;
    const bool added = at + n > addedFirst && at < addedEnd;
    FUZZ_CHECK(header || added, "a sector changed that no operation may change");
  }
}

bool IsSound(const TitleEntry& e) { return card_TitleDamage(e, kCardSize) == TitleDamage::None; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexo_fuzz::SilenceOutput();
  vexo_fuzz::NoDelays();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 3 || size > kImageBytes) return 0;
  const uint8_t ops = data[0], numbers = data[1];
  Bytes image(data + 2, data + size);
  image.resize(kImageBytes, 0);
  const std::string path = vexo_fuzz::WriteFile("card.ros", image.data(), image.size());
  Bytes song(kSongBytes);
  for (uint32_t i = 0; i < kSongBytes; ++i) song[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::string songPath = vexo_fuzz::WriteFile("song.mp3", song.data(), song.size());
  const std::string outPath = vexo_fuzz::Folder() + "/out.mp3";
  if (vexo_Open(VEXO_PORT_ROS, 1, 115200, path.c_str()) != 0) return 0;

  const int32_t first = numbers % 8 + 1, second = numbers / 8 % 8 + 1;
  for (int step = 0; step < 8; ++step) {
    if ((ops & (1 << step)) == 0) continue;
    const Bytes before = vexo_fuzz::ReadFile(path, kCompared);
    const Table old = Decode(before);
    uint64_t addedFirst = 0, addedEnd = 0;
    VexoResult result = 0;
    switch (step) {
      case 0: {
        CardCheck check;
        result = card_CheckCard(VEXO_PORT_ROS, 1, 1, &check);
        break;
      }
      case 1:
        std::remove(outPath.c_str());
        result = card_ReadTitle(VEXO_PORT_ROS, 1, 1, first, outPath.c_str(), 0);
        if (result == 0) {
          FUZZ_CHECK(old.valid && first <= static_cast<int32_t>(old.entries.size()), "read a title not listed");
          const TitleEntry& e = old.entries[first - 1];
          FUZZ_CHECK(IsSound(e), "read a damaged title");
          FUZZ_CHECK(vexo_fuzz::ReadFile(outPath).size() == e.size, "the file read is not the title's size");
        }
        break;
      case 2:
        result = card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, songPath.c_str(), "Fuzz", 0, 1);
        if (result == 0) {
          const Table now = Decode(vexo_fuzz::ReadFile(path, kCompared));
          FUZZ_CHECK(!now.entries.empty(), "an added title is not listed");
          const TitleEntry& e = now.entries.back();
          addedFirst = e.startAddress;
          addedEnd = static_cast<uint64_t>(e.startAddress) + e.size;
          FUZZ_CHECK(IsSound(e) && e.size == kSongBytes, "an added title is damaged");
          for (const TitleEntry& o : old.entries) {
            if (!IsSound(o) || o.size == 0) continue;
            const uint64_t a = o.startAddress / SECTOR_SIZE * SECTOR_SIZE;
            const uint64_t b = (static_cast<uint64_t>(o.startAddress) + o.size + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
            FUZZ_CHECK(addedEnd <= a || addedFirst >= b, "a title added over a listed one");
          }
        }
        break;
      case 3:
        result = card_DeleteTitle(VEXO_PORT_ROS, 1, 1, first);
        break;
      case 4:
        result = card_MoveTitle(VEXO_PORT_ROS, 1, 1, first, second);
        break;
      case 5:
        result = card_ChangeTitle(VEXO_PORT_ROS, 1, 1, first, "Renamed");
        break;
      case 6:
        result = card_ChangeCard(VEXO_PORT_ROS, 1, 1, 5, "Fuzzed card");
        break;
      case 7: {
        result = card_Repair(VEXO_PORT_ROS, 1, 1, false, [](const CardCheck&, const RepairPlan&) {});
        CardCheck check;
        if (result == 0 && card_CheckCard(VEXO_PORT_ROS, 1, 1, &check) == 0 &&
            check.header.tableOffset == HEADER_TABLE_OFFSET && check.header.entrySize == HEADER_ENTRY_SIZE) {
          FUZZ_CHECK(card_PlanRepair(check.table).Empty(), "a repair left something it mends");
        }
        break;
      }
    }
    (void)result;
    const Bytes after = vexo_fuzz::ReadFile(path, kCompared);
    CheckChanges(before, after, old, Decode(after), addedFirst, addedEnd);
  }
  vexo_Close(VEXO_PORT_ROS, 1);
  return 0;
}
