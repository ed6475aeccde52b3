// --sync end to end on every kind of port: the sources' songs in order, each once,
// only the missing ones sent; guards that write nothing; a stopped sync carries on.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "host/block_copy.h"
#include "host/pauses.h"
#include "host/trace.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
#include "support/test_audio.h"
#include "support/test_support.h"

namespace {

using namespace vexo_test;

// Song i: a tone at a rate of its own, so each has its own size and bytes.
constexpr int kRates[] = {32, 40, 48, 56, 64, 80, 96};
constexpr std::size_t kSongs = std::size(kRates);

const Bytes& SongBytes(std::size_t i) {
  static std::vector<Bytes> songs;
  if (songs.empty()) {
    for (int rate : kRates) songs.push_back(LameFrames(44100, rate));
  }
  return songs.at(i);
}

using Listing = std::vector<std::pair<std::string, Bytes>>;

// "s3", or "s3.mp3" (appended: GCC 12 warns wrongly about a literal plus a string).
std::string Name(std::size_t song, const char* extension = "") {
  return std::string("s").append(std::to_string(song)).append(extension);
}

// What the card lists, each title with the bytes it points at.
Listing Listed(const std::string& image) {
  Listing listing;
  for (const ListedTitle& title : ListedTitles(image)) listing.push_back({title.title, title.bytes});
  return listing;
}

// The listing of songs `songs`, each titled by its file name.
Listing Expected(const std::vector<std::size_t>& songs) {
  Listing listing;
  for (std::size_t s : songs) listing.push_back({Name(s), SongBytes(s)});
  return listing;
}

// Sectors the simulated device has written since its counters were reset.
uint64_t SectorsWritten(int32_t kind) {
  if (kind == VEXO_PORT_PARALLEL) return mmcsim_Counters().blocksWritten;
  if (kind == VEXO_PORT_SERIAL) return playersim_Counters().sectorsWritten;
  return 0;
}
void ResetCounts(int32_t kind) {
  if (kind == VEXO_PORT_PARALLEL) mmcsim_ResetCounters();
  if (kind == VEXO_PORT_SERIAL) playersim_ResetCounters();
}

// The data-area sectors (from 128) whose bytes differ between two images.
std::set<uint32_t> ChangedDataSectors(const Bytes& before, const Bytes& after) {
  std::set<uint32_t> changed;
  const std::size_t size = std::max(before.size(), after.size());
  for (std::size_t at = 0x10000; at < size; at += 512) {
    if (Slice(before, at, 512) != Slice(after, at, 512) &&
        !(Slice(before, at, 512).empty() && after.size() > at &&
          Slice(after, at, 512) == Bytes(Slice(after, at, 512).size(), 0))) {
      changed.insert(static_cast<uint32_t>(at / 512));
    }
  }
  return changed;
}

uint32_t SectorsOf(std::size_t song) { return static_cast<uint32_t>((SongBytes(song).size() + 511) / 512); }

class Sync : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { UseNoDelay(); }

  // A playlist of these songs (written as sN.mp3) in this order.
  std::string List(const std::string& name, const std::vector<std::size_t>& songs) {
    std::string text;
    for (std::size_t s : songs) {
      const std::string file = Name(s, ".mp3");
      if (!FileExists(dir.File(file))) dir.Write(file, SongBytes(s));
      text += file + "\n";
    }
    return dir.Write(name, Bytes(text.begin(), text.end()));
  }

  RunResult Run(const CardOnPort& card, const std::vector<std::string>& args) {
    ResetCounts(card.kind);
    return RunVexo(card.Words(), args);
  }

  TempDir dir;
  std::string image = dir.File("card.img");
};

// Empty to five songs, the same again, then replaced, removed, new and swapped: only new songs sent.
TEST_P(Sync, SendsOnlyWhatIsMissingAndEndsInTheSourcesOrder) {
  const CardOnPort card(GetParam(), image);
  struct Round {
    std::vector<std::size_t> songs;
    const char* summary;
    std::vector<std::size_t> sent;
  };
  const Round rounds[] = {
      {{0, 1, 2, 3, 4}, " Keep 0, delete 0, add 5, move 0, skip 0: ", {0, 1, 2, 3, 4}},
      {{0, 1, 2, 3, 4}, " Keep 5, delete 0, add 0, move 0, skip 0: 0 bytes to send", {}},
      {{0, 5, 4, 3, 6}, " Keep 3, delete 2, add 2, move 2, skip 0: ", {5, 6}},
  };
  int n = 0;
  for (const Round& round : rounds) {
    SCOPED_TRACE(testing::Message() << "round " << ++n);
    const Bytes before = ReadFile(image);
    const RunResult run = Run(card, {"--sync", List(std::string("l").append(std::to_string(n)).append(".m3u"), round.songs)});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(round.summary), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n The card holds 5 of 5 songs.\n"), std::string::npos) << run.out;
    EXPECT_EQ(Listed(image), Expected(round.songs));
    uint32_t sentSectors = 0;
    for (std::size_t s : round.sent) sentSectors += SectorsOf(s);
    EXPECT_EQ(ChangedDataSectors(before, ReadFile(image)).size(), sentSectors);
    if (round.sent.empty()) {
      EXPECT_EQ(ReadFile(image), before) << "a sync with nothing to do wrote";
    }
    if (GetParam() != VEXO_PORT_ROS) {
      // The songs' sectors, and a few header sectors a step.
      EXPECT_GE(SectorsWritten(GetParam()), sentSectors);
      EXPECT_LE(SectorsWritten(GetParam()), sentSectors + 2 * 8);
    }
  }
}

// A title of a song's size differing in a compared sector is not that song.
TEST_P(Sync, ATitleWithOtherBytesIsNotTheSong) {
  const CardOnPort card(GetParam(), image);
  const std::string list = List("l.m3u", {0, 1, 2});
  ASSERT_EQ(Run(card, {"--sync", list}).status, 0);
  const Bytes synced = ReadFile(image);
  const uint32_t sectors = SectorsOf(1);  // the second title's
  const struct {
    uint32_t sector;  // within the title
    bool seenSampled;
  } cases[] = {{0, true}, {sectors / 2, true}, {sectors - 1, true}, {1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "sector " << c.sector);
    Bytes damaged = synced;
    const uint32_t start = Le32(damaged, 512 + 32);
    damaged.at(start + c.sector * 512) ^= 0x5A;
    WriteFile(image, damaged);
    const bool seen = c.seenSampled || GetParam() == VEXO_PORT_ROS;
    const RunResult run = Run(card, {"--sync", list});
    EXPECT_NE(run.out.find(seen ? " Keep 2, delete 1, add 1, " : " Keep 3, delete 0, add 0, "), std::string::npos)
        << run.out;
    if (seen) {
      EXPECT_EQ(Listed(image), Expected({0, 1, 2}));
    }
    WriteFile(image, synced);
  }
}

// Of titles with the same bytes the first stays; a song named twice goes on once.
TEST_P(Sync, DuplicatesOnTheCardAndInTheSources) {
  const CardOnPort card(GetParam(), image);
  ASSERT_EQ(Run(card, {"--sync", List("a.m3u", {0, 1})}).status, 0);
  ASSERT_EQ(Run(card, {"--add", dir.File("s0.mp3"), "copy"}).status, 0);
  const RunResult run = Run(card, {"--sync", List("b.m3u", {1, 0, 1})});
  EXPECT_NE(run.out.find("(same bytes as title 1)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("s1.mp3: the same song as "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" Keep 2, delete 1, add 0, move 1, skip 1: "), std::string::npos) << run.out;
  EXPECT_EQ(Listed(image), Expected({1, 0}));
  // --import skips a song already there, or one it has just added; --again adds it.
  List("c.m3u", {2});
  const RunResult import = Run(card, {"--import", dir.File("s0.mp3"), dir.File("s2.mp3"), dir.File("s2.mp3")});
  EXPECT_NE(import.out.find("s0.mp3\n Skipped: already on the card as title 2\n"), std::string::npos) << import.out;
  EXPECT_NE(import.out.find("s2.mp3\n Skipped: already on the card as title 3\n"), std::string::npos) << import.out;
  EXPECT_EQ(Listed(image), Expected({1, 0, 2}));
  EXPECT_EQ(Run(card, {"--import", dir.File("s0.mp3"), "--again"}).status, 0);
  EXPECT_EQ(Listed(image), Expected({1, 0, 2, 0}));
}

// Dry runs, missing sources, no songs, or deleting every title without --force write nothing.
TEST_P(Sync, GuardsAndDryRunsWriteNothing) {
  const CardOnPort card(GetParam(), image);
  ASSERT_EQ(Run(card, {"--sync", List("a.m3u", {0, 1})}).status, 0);
  std::filesystem::create_directories(dir.File("empty"));
  std::filesystem::create_directories(dir.File("words"));
  dir.Write("words/notes.mp3", Pattern(100));  // offered by its name, and no audio
  const std::string other = List("b.m3u", {2});
  const struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"--sync", List("c.m3u", {3, 0}), "--dry-run"}, "\n Dry run: nothing written.\n"},
      {{"--import", dir.File("s3.mp3"), "--dry-run"}, "\n Dry run: nothing written.\n"},
      {{"--sync", dir.File("missing"), other}, "\n Error: SOURCE NOT FOUND\n Source: "},
      {{"--sync", dir.File("empty")}, "\n Error: NO SONG IN SOURCES\n"},
      {{"--sync", dir.File("words")}, "\n Error: NO SONG IN SOURCES\n"},
      {{"--sync", other}, "\n Error: PLAN DELETES EVERY TITLE\n"},
  };
  const Bytes before = ReadFile(image);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const RunResult run = Run(card, c.args);
    EXPECT_NE(run.out.find(c.line), std::string::npos) << run.out;
    EXPECT_EQ(run.status, c.args.back() == "--dry-run" ? 0 : 1);
    EXPECT_EQ(ReadFile(image), before);
    EXPECT_EQ(SectorsWritten(GetParam()), 0u);
  }
  EXPECT_EQ(Run(card, {"--sync", other, "--force"}).status, 0);
  EXPECT_EQ(Listed(image), Expected({2}));
}

// A stopped sync run again ends where an uninterrupted one does, sending no song twice.
TEST_P(Sync, AStoppedSyncCarriesOnWhenRunAgain) {
  const std::string first = List("a.m3u", {0, 1, 2, 3, 4}), second = List("b.m3u", {0, 5, 4, 3, 6});
  const CardOnPort card(GetParam(), image);
  ASSERT_EQ(Run(card, {"--sync", first}).status, 0);
  // The deletes are the first two steps: the stop comes as the first add begins.
  vexo_SetTraceSink([](const char* text) {
    if (std::strncmp(text, "File: ", 6) == 0) vexo_RequestStop();
  });
  const RunResult stopped = Run(card, {"--sync", second});
  vexo_SetTraceSink(nullptr);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.out.find(" Deleting title 2: s1\n"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("\n Error: TRANSFER STOPPED\n"), std::string::npos) << stopped.out;
  EXPECT_EQ(Listed(image), Expected({0, 3, 4}));
  const Bytes before = ReadFile(image);
  const RunResult again = Run(card, {"--sync", second});
  EXPECT_NE(again.out.find(" Keep 3, delete 0, add 2, move 2, skip 0: "), std::string::npos) << again.out;
  EXPECT_EQ(Listed(image), Expected({0, 5, 4, 3, 6})) << "as the uninterrupted sync of the first test ends";
  EXPECT_EQ(ChangedDataSectors(before, ReadFile(image)).size(), SectorsOf(5) + SectorsOf(6));
}

// The plan as one JSON object, with what became of it.
TEST_P(Sync, JsonPlan) {
  const CardOnPort card(GetParam(), image);
  ASSERT_EQ(Run(card, {"--sync", List("a.m3u", {0, 1})}).status, 0);
  const RunResult run = Run(card, {"--sync", List("b.m3u", {1, 2}), "--json", "--dry-run"});
  const nlohmann::json plan = nlohmann::json::parse(run.out);
  const std::string way = GetParam() == VEXO_PORT_ROS ? "whole" : "sampled";
  const nlohmann::json steps = {
      {{"kind", "keep"}, {"title", 2}, {"text", "s1"}, {"size", SongBytes(1).size()}, {"song", dir.File("s1.mp3")}, {"matchedBy", way}},
      {{"kind", "delete"}, {"title", 1}, {"text", "s0"}, {"size", SongBytes(0).size()}},
      {{"kind", "add"}, {"title", 2}, {"text", "s2"}, {"size", SongBytes(2).size()}, {"song", dir.File("s2.mp3")}, {"start", plan["steps"][2]["start"]}},
  };
  EXPECT_EQ(plan["steps"], steps) << run.out;
  EXPECT_EQ(plan["bytesToSend"], SongBytes(2).size());
  EXPECT_EQ(plan["dryRun"], true);
  EXPECT_EQ(plan["error"], 0);
  EXPECT_EQ(Listed(image), Expected({0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Ports, Sync, testing::ValuesIn(kAllKinds),
                         [](const auto& info) { return std::string(KindName(info.param)); });

}  // namespace
