// Cards whose title table cannot be trusted: entries pointing outside the
// card, overlapping or listed twice, a wrong table end, a count larger than
// the header area. Each damaged card is listed, read from, added to, checked
// and repaired from the command line on an image file; what the image holds
// afterwards is compared with what it held before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace {

using namespace vexo_test;

constexpr uint32_t kCardSize = 132907008;  // what every image file stands for
constexpr uint32_t kDataBytes = kCardSize - 0x10000;
constexpr std::size_t kImageBytes = 68608;

struct DamagedCard {
  const char* name;
  CardTitle second;                        // title 2; title 1 is "Song A", 1000 bytes at 0x10000
  std::function<void(Bytes&)> patch;       // changes to the header after it is built
  int markedNumber;                        // the title that carries the mark (0: none)
  const char* damage;                      // its reason, nullptr when no entry is damaged
  uint64_t coveredBytes;                   // data-area bytes the titles cover, each once
  int listed;                              // titles the listing shows
};

const CardTitle kFirst{0x10000, 1000, "Song A", 1};

void NoPatch(Bytes&) {}

const DamagedCard kCards[] = {
    {"SizePastCard", {0x10400, 4294967040u, "Song B", 1}, NoPatch, 2, "ends past the card",
     1000 + (kCardSize - 0x10400), 2},
    {"StartPastCard", {0x40000000, 100, "Song B", 1}, NoPatch, 2, "starts past the card", 1000, 2},
    {"StartInHeaderArea", {0x200, 100, "Song B", 1}, NoPatch, 2, "starts in the header area", 1000, 2},
    {"StartNotAligned", {0x10401, 100, "Song B", 1}, NoPatch, 2, "starts off a sector boundary",
     1100, 2},
    {"Overlapping", {0x10200, 1000, "Song B", 1}, NoPatch, 0, nullptr, 0x200 + 1000, 2},
    {"Duplicated", kFirst, NoPatch, 0, nullptr, 1000, 2},
    {"TableEndWrong", {0x10400, 100, "Song B", 1}, [](Bytes& b) { PutLe32(b, 10, 9999); }, 0,
     nullptr, 1100, 2},
    // 3000 entries claimed: the 2032 that fit in the header area are loaded,
    // those behind the two titles all zero.
    {"CountPastHeaderArea", {0x10400, 100, "Song B", 1},
     [](Bytes& b) { PutLe16(b, 4, 3000); PutLe32(b, 10, 512 + 3000 * 32); }, 3,
     "starts in the header area", 1100, 2032},
};

class DamagedTable : public ::testing::TestWithParam<DamagedCard> {
 protected:
  void SetUp() override {
    UseNoDelay();
    const DamagedCard& card = GetParam();
    before = WriteCardImage(image, 1, "Trust", {kFirst, card.second}, kImageBytes);
    card.patch(before);
    WriteFile(image, before);
  }
  RunResult Run(const std::vector<std::string>& args) { return RunVexo({"ros", image}, args); }
  nlohmann::json Listing() { return nlohmann::json::parse(Run({"--json"}).out); }
  TempDir dir;
  std::string image = dir.File("card.ros");
  Bytes before;
};

std::string Line(int number, uint32_t size, const std::string& title) {
  char line[96];
  std::snprintf(line, sizeof line, "  %3i.  %8lu  %s", number, static_cast<unsigned long>(size),
                title.c_str());
  return line;
}

// --get and --json mark the damaged entry on its own line, count each byte
// once in the free space and change nothing on the card.
TEST_P(DamagedTable, ListingMarksDamage) {
  const DamagedCard& card = GetParam();
  const std::string out = Run({"--get"}).out;
  EXPECT_NE(out.find("  Free:        " + std::to_string(kDataBytes - card.coveredBytes) + " Byte\n"),
            std::string::npos) << out.substr(0, 200);
  EXPECT_NE(out.find(Line(1, 1000, "Song A") + "\n"), std::string::npos);
  if (card.damage != nullptr) {
    const nlohmann::json entry = Listing()["titles"][card.markedNumber - 1];
    EXPECT_NE(out.find(Line(card.markedNumber, entry["size"], entry["title"]) + "   (damaged: " +
                       card.damage + ")\n"),
              std::string::npos);
    EXPECT_EQ(entry["damaged"], card.damage);
  } else {
    EXPECT_EQ(out.find("damaged"), std::string::npos);
  }
  const nlohmann::json listing = Listing();
  EXPECT_EQ(listing["freeBytes"], kDataBytes - card.coveredBytes);
  ASSERT_EQ(listing["titles"].size(), static_cast<std::size_t>(card.listed));
  EXPECT_FALSE(listing["titles"][0].contains("damaged"));
  EXPECT_EQ(ReadFile(image), before);
}

// A damaged title is refused and no file appears; a sound one is read whole.
TEST_P(DamagedTable, ReadRefusesDamagedTitle) {
  const DamagedCard& card = GetParam();
  const std::string out = dir.File("out.mp3");
  const int number = card.damage != nullptr ? card.markedNumber : 2;
  const RunResult run = Run({"--read", std::to_string(number), out});
  if (card.damage != nullptr) {
    EXPECT_NE(run.out.find("\n Error: DAMAGED TITLE\n"), std::string::npos) << run.out;
    EXPECT_FALSE(FileExists(out));
  } else {
    EXPECT_NE(run.out.find(kDone), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(out).size(), Listing()["titles"][number - 1]["size"].get<std::size_t>());
  }
  EXPECT_EQ(ReadFile(image), before);
}

bool Overlap(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) {
  return a < b + bSize && b < a + aSize;
}

// A new title goes inside the card, over no listed title's sectors on it and
// never into the header area; the old entries stay as they were.
TEST_P(DamagedTable, AddPlacesInsideTheCard) {
  const DamagedCard& card = GetParam();
  const std::string song = dir.Write("new.mp3", Pattern(5000));
  const RunResult run = Run({"--add", song, "New"});
  const nlohmann::json titles = Listing()["titles"];
  // A table of as many entries as the header area holds takes no more.
  if (card.listed >= 2032) {
    EXPECT_NE(run.out.find("\n Error: TABLE FULL\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(image), before);
    return;
  }
  if (card.coveredBytes >= kDataBytes - 5000) {
    EXPECT_NE(run.out.find("CARD FULL"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(image), before);
    return;
  }
  ASSERT_NE(run.out.find(kDone), std::string::npos) << run.out;
  const nlohmann::json added = titles.back();
  const uint64_t start = added["start"], size = added["size"];
  EXPECT_EQ(size, 5000u);
  EXPECT_FALSE(added.contains("damaged"));
  for (std::size_t i = 0; i + 1 < titles.size(); ++i) {
    const uint64_t s = titles[i]["start"], z = titles[i]["size"];
    const uint64_t first = s / 512 * 512, end = std::min<uint64_t>((s + z + 511) / 512 * 512, kCardSize);
    EXPECT_FALSE(Overlap(start, size, first, end > first ? end - first : 0)) << i;
  }
  const Bytes after = ReadFile(image);
  EXPECT_EQ(Slice(after, start, 5000), Pattern(5000));
  // The data area before the new title is as it was.
  const std::size_t kept = std::min<std::size_t>(start, kImageBytes) - 0x10000;
  EXPECT_EQ(Slice(after, 0x10000, kept), Slice(before, 0x10000, kept));
}

INSTANTIATE_TEST_SUITE_P(Cards, DamagedTable, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
