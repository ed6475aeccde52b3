// Cards whose title table cannot be trusted, listed, read, added to, checked and
// repaired from the command line on an image file, compared with what they held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace {

using namespace vexo_test;

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
  std::size_t problems;                    // findings of --check
  const char* checkLine;                   // one of them, as --check prints it
  const char* planLine;                    // a line of the repair's plan
  std::size_t kept;                        // findings --check still reports after --repair
  std::size_t repairedTitles;              // the first titles of the listing that stay
};

const CardTitle kFirst{0x10000, 1000, "Song A", 1};

void NoPatch(Bytes&) {}

const char* const kSoundEnd = " Card is sound.\n";

const DamagedCard kCards[] = {
    {"Sound", {0x10400, 100, "Song B", 1}, NoPatch, 0, nullptr, 1100, 2, 0, kSoundEnd,
     " Nothing to repair.", 0, 2},
    {"SizePastCard", {0x10400, 4294967040u, "Song B", 1}, NoPatch, 2, "ends past the card",
     1000 + (kCardSize - 0x10400), 2, 1, " Title 2 \"Song B\" is damaged: ends past the card.",
     " Title 2 \"Song B\" leaves the table (damaged: ends past the card); its bytes stay on the card.",
     0, 1},
    {"StartPastCard", {0x40000000, 100, "Song B", 1}, NoPatch, 2, "starts past the card", 1000, 2, 1,
     " is damaged: starts past the card.", " leaves the table (damaged: starts past the card)", 0, 1},
    {"StartInHeaderArea", {0x200, 100, "Song B", 1}, NoPatch, 2, "starts in the header area", 1000, 2,
     1, " is damaged: starts in the header area.", " leaves the table (damaged: starts in", 0, 1},
    {"StartNotAligned", {0x10401, 100, "Song B", 1}, NoPatch, 2, "starts off a sector boundary",
     1100, 2, 1, " is damaged: starts off a sector boundary.", " leaves the table (damaged: starts off",
     0, 1},
    {"Overlapping", {0x10200, 1000, "Song B", 1}, NoPatch, 0, nullptr, 0x200 + 1000, 2, 1,
     " Title 1 \"Song A\" and title 2 overlap by 488 bytes.",
     " Kept: Title 1 \"Song A\" and title 2 overlap by 488 bytes.", 1, 2},
    {"Duplicated", kFirst, NoPatch, 0, nullptr, 1000, 2, 1,
     " Title 2 \"Song A\" is listed twice: title 1 has the same start and size.",
     " Title 2 \"Song A\" leaves the table: it lists title 1 again.", 0, 1},
    {"TableEndWrong", {0x10400, 100, "Song B", 1}, [](Bytes& b) { PutLe32(b, 10, 9999); }, 0,
     nullptr, 1100, 2, 1, " The header's table end is 9999; the table ends at 576.",
     " The header's table end 9999 becomes 576.", 0, 2},
    // 3000 entries claimed: the 2032 that fit are loaded, those behind the two all zero.
    {"CountPastHeaderArea", {0x10400, 100, "Song B", 1},
     [](Bytes& b) { PutLe16(b, 4, 3000); PutLe32(b, 10, 512 + 3000 * 32); }, 3,
     "starts in the header area", 1100, 2032, 2031,
     " The header counts 3000 titles; the header area holds 2032.",
     " The header's count of 3000 titles becomes 2.", 0, 2},
};

class DamagedTable : public ::testing::TestWithParam<DamagedCard> {
 protected:
  void SetUp() override {
    UseNoDelay();
    const DamagedCard& card = GetParam();
    before = WriteCardImage(image, 1, "Trust", {kFirst, card.second}, kImageBytes);
    card.patch(before);
    // Sound titles open with an MPEG frame header (layer III, 128 kbit/s, 44.1 kHz).
    for (const uint32_t start : {kFirst.start, card.second.start}) {
      if (start % 512 == 0 && start >= 0x10000 && start + 4 <= kImageBytes) PutLe32(before, start, 0x6490FBFF);
    }
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

std::string FinalLine(std::size_t problems) {
  char line[48];
  std::snprintf(line, sizeof line, " %zu problems found.\n", problems);
  return problems == 0 ? kSoundEnd : line;
}

// Commands that only look write nothing; listings mark the damage, --read refuses it, --check counts.
TEST_P(DamagedTable, ListReadAndCheckReportTheDamageAndWriteNothing) {
  const DamagedCard& card = GetParam();
  const std::string out = Run({"--get"}).out;
  const nlohmann::json listing = Listing();
  EXPECT_NE(out.find("  Free:        " + std::to_string(kDataBytes - card.coveredBytes) + " Byte\n"),
            std::string::npos) << out.substr(0, 200);
  EXPECT_EQ(listing["freeBytes"], kDataBytes - card.coveredBytes);
  EXPECT_NE(out.find(Line(1, 1000, "Song A") + "\n"), std::string::npos);
  ASSERT_EQ(listing["titles"].size(), static_cast<std::size_t>(card.listed));
  EXPECT_FALSE(listing["titles"][0].contains("damaged"));
  const int number = card.damage != nullptr ? card.markedNumber : 2;
  const nlohmann::json entry = listing["titles"][number - 1];
  const std::string file = dir.File("out.mp3");
  const RunResult read = Run({"--read", std::to_string(number), file});
  if (card.damage != nullptr) {
    EXPECT_NE(out.find(Line(number, entry["size"], entry["title"]) + "   (damaged: " + card.damage + ")\n"),
              std::string::npos);
    EXPECT_EQ(entry["damaged"], card.damage);
    EXPECT_NE(read.out.find("\n Error: DAMAGED TITLE\n"), std::string::npos) << read.out;
    EXPECT_FALSE(FileExists(file));
  } else {
    EXPECT_EQ(out.find("damaged"), std::string::npos);
    EXPECT_NE(read.out.find(kDone), std::string::npos) << read.out;
    EXPECT_EQ(ReadFile(file).size(), entry["size"].get<std::size_t>());
  }
  const RunResult check = Run({"--check"});
  EXPECT_EQ(check.status, card.problems == 0 ? 0 : 1);
  EXPECT_NE(check.out.find(std::string(card.checkLine) + (card.problems == 0 ? "" : "\n")), std::string::npos) << check.out;
  EXPECT_TRUE(check.out.ends_with(FinalLine(card.problems))) << check.out.substr(0, 300);
  const nlohmann::json report = nlohmann::json::parse(Run({"--check", "--json"}).out);
  EXPECT_EQ(report["problems"].size(), card.problems);
  EXPECT_EQ(report["sound"], card.problems == 0);
  EXPECT_EQ(ReadFile(image), before);
}

bool Overlap(uint64_t a, uint64_t aSize, uint64_t b, uint64_t bSize) {
  return a < b + bSize && b < a + aSize;
}

// A new title goes inside the card, over no listed title's sectors, never into the header area.
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

// --repair --dry-run writes nothing; --repair changes only the table; a second finds nothing to do.
TEST_P(DamagedTable, RepairMendsOnlyTheTable) {
  const DamagedCard& card = GetParam();
  const nlohmann::json listed = Listing();
  const RunResult dry = Run({"--repair", "--dry-run"});
  EXPECT_EQ(dry.status, 0);
  EXPECT_NE(dry.out.find(std::string(card.planLine)), std::string::npos) << dry.out;
  EXPECT_EQ(ReadFile(image), before);

  const RunResult run = Run({"--repair"});
  EXPECT_EQ(run.status, 0) << run.out;
  const std::size_t plan = std::min(dry.out.find(" Dry run"), dry.out.size());
  EXPECT_EQ(run.out.substr(0, plan), dry.out.substr(0, plan));
  const nlohmann::json after = Listing();
  ASSERT_EQ(after["titles"].size(), card.repairedTitles);
  for (std::size_t i = 0; i < card.repairedTitles; ++i) EXPECT_EQ(after["titles"][i], listed["titles"][i]) << i;
  EXPECT_EQ(after["cardName"], listed["cardName"]);
  EXPECT_EQ(after["cardType"], listed["cardType"]);
  const Bytes image2 = ReadFile(image);
  EXPECT_EQ(Slice(image2, 0x10000, kImageBytes - 0x10000), Slice(before, 0x10000, kImageBytes - 0x10000));
  if (card.problems == 0) {
    EXPECT_EQ(image2, before);
  }

  const RunResult check = Run({"--check"});
  EXPECT_TRUE(check.out.ends_with(FinalLine(card.kept))) << check.out;
  EXPECT_NE(Run({"--repair"}).out.find(" Nothing to repair.\n"), std::string::npos);
  EXPECT_EQ(ReadFile(image), image2);
}

INSTANTIATE_TEST_SUITE_P(Cards, DamagedTable, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
