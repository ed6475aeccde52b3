// The sync's plan, pure, from a table and songs (a letter stands for its bytes);
// every plan is played on a model of the table, which must end in the songs' order.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "card/sync_plan.h"

namespace {

constexpr uint32_t kCardSize = 132907008;

// A letter's size is its own; a lower case one has its upper case's size, other bytes.
uint32_t SizeOf(char c) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return 1000u + 300u * static_cast<uint32_t>(upper - 'A');
}

struct Model {
  std::vector<TitleEntry> table;
  std::string contents;  // one letter a title
  std::vector<SyncSong> songs;
  std::string songContents;
  int compares = 0;
  int mismatchedCompares = 0;
};

// A card of the letters back to back from sector 128, each padded to whole sectors.
Model Make(const std::string& card, const std::string& songs) {
  Model model;
  uint32_t address = 0x10000;
  for (char c : card) {
    TitleEntry entry;
    entry.startAddress = address;
    entry.size = SizeOf(c);
    card_SetTitleText(&entry, std::string(1, c).c_str());
    entry.fileType = 1;
    model.table.push_back(entry);
    address += (entry.size + 511) / 512 * 512;
  }
  model.contents = card;
  for (char c : songs) {
    SyncSong song;
    song.name = std::string(1, c) + ".mp3";
    song.title = std::string(1, c);
    song.size = c == '-' ? 0 : SizeOf(c);
    song.refusal = c == '-' ? -VEXO_ERROR_FILE_NOT_EXIST : 0;
    model.songs.push_back(song);
  }
  model.songContents = songs;
  return model;
}

SyncCompare Compare(Model& model, SyncMatch by = SyncMatch::Whole) {
  SyncCompare compare;
  compare.by = by;
  compare.titleIsSong = [&model](uint16_t t, std::size_t s, bool* same) {
    ++model.compares;
    if (model.table[t].size != model.songs[s].size) ++model.mismatchedCompares;
    *same = model.contents[t] == model.songContents[s];
    return VexoResult{0};
  };
  compare.songsSame = [&model](std::size_t a, std::size_t b, bool* same) {
    if (model.songs[a].size != model.songs[b].size) ++model.mismatchedCompares;
    *same = model.songContents[a] == model.songContents[b];
    return VexoResult{0};
  };
  return compare;
}

// The plan in short: "k1 d5 d2(1) a3@130 s4(twice 1) s5(-41) m3>2".
std::string Render(const SyncPlan& plan) {
  std::string out;
  const auto put = [&out](const char* word, uint64_t number) {
    out.append(word).append(std::to_string(number));
  };
  for (const SyncStep& step : plan.steps) {
    if (!out.empty()) out += ' ';
    switch (step.kind) {
      case SyncStepKind::Keep: put("k", step.title); break;
      case SyncStepKind::Delete:
        put("d", step.title);
        if (step.duplicateOf != 0) put("(", step.duplicateOf), out += ')';
        break;
      case SyncStepKind::Add: put("a", step.title), put("@", step.startSector); break;
      case SyncStepKind::Skip:
        put("s", static_cast<uint64_t>(step.song + 1));
        if (step.skip == SyncSkip::NamedTwice) {
          put("(twice ", static_cast<uint64_t>(step.sameSong + 1));
        } else {
          out.append("(").append(std::to_string(step.reason));
        }
        out += ')';
        break;
      case SyncStepKind::Move: put("m", step.title), put(">", step.to); break;
    }
  }
  return out;
}

// Plays the plan on the model: the right titles, none over another, the songs' order at the end.
void Play(const Model& model, const SyncPlan& plan, const std::string& expectedEnd) {
  std::vector<TitleEntry> table = model.table;
  std::string contents = model.contents;
  for (const SyncStep& step : plan.steps) {
    switch (step.kind) {
      case SyncStepKind::Keep:
      case SyncStepKind::Skip: break;
      case SyncStepKind::Delete:
        ASSERT_LE(step.title, table.size());
        table.erase(table.begin() + step.title - 1);
        contents.erase(step.title - 1, 1);
        break;
      case SyncStepKind::Add: {
        ASSERT_EQ(step.title, table.size() + 1);
        TitleEntry entry;
        entry.startAddress = static_cast<uint32_t>(step.startSector * 512);
        entry.size = static_cast<uint32_t>(step.size);
        for (const TitleEntry& other : table) {
          const bool apart = entry.startAddress + entry.size <= other.startAddress ||
                             other.startAddress + (other.size + 511) / 512 * 512 <= entry.startAddress;
          EXPECT_TRUE(apart) << "add " << step.title << " lands on a title";
        }
        EXPECT_LE(entry.startAddress + entry.size, kCardSize);
        table.push_back(entry);
        contents += model.songContents[static_cast<std::size_t>(step.song)];
        break;
      }
      case SyncStepKind::Move: {
        ASSERT_LE(step.title, table.size());
        ASSERT_LE(step.to, table.size());
        EXPECT_EQ(contents[step.title - 1], model.songContents[static_cast<std::size_t>(step.song)]);
        const TitleEntry entry = table[step.title - 1];
        const char c = contents[step.title - 1];
        table.erase(table.begin() + step.title - 1);
        contents.erase(step.title - 1, 1);
        table.insert(table.begin() + step.to - 1, entry);
        contents.insert(contents.begin() + step.to - 1, c);
        break;
      }
    }
  }
  EXPECT_EQ(contents, expectedEnd);
  EXPECT_EQ(plan.songsOnCard, contents.size());
}

TEST(SyncPlan, Cases) {
  const struct {
    const char* what;
    std::string card, songs;
    std::string plan;
    std::string end;
    uint64_t bytes;
    bool deletesAll = false;  // the guard's count: the card had titles and none stays
    uint32_t cardSize = kCardSize;
  } cases[] = {
      {"nothing to nothing", "", "", "", "", 0},
      {"empty card to five songs", "", "ABCDE", "a1@128 a2@130 a3@133 a4@137 a5@141", "ABCDE",
       1000 + 1300 + 1600 + 1900 + 2200},
      {"the same five: nothing sent", "ABCDE", "ABCDE", "k1 k2 k3 k4 k5", "ABCDE", 0},
      // B replaced by b (going where B was), E removed, F new, C and D swapped.
      {"replaced, removed, new, swapped", "ABCDE", "AbDCF", "k1 k3 k4 d5 d2 a4@130 a5@141 m3>4 m2>4",
       "AbDCF", 1300 + 2500},
      {"reversed: all but one move", "ABCDE", "EDCBA", "k1 k2 k3 k4 k5 m4>5 m3>5 m2>5 m1>5", "EDCBA", 0},
      {"one to the end", "EABCD", "ABCDE", "k1 k2 k3 k4 k5 m1>5", "ABCDE", 0},
      {"a duplicate on the card goes", "AAB", "AB", "k1 k3 d2(1)", "AB", 0},
      {"a duplicate in the sources goes on once", "", "ABA", "a1@128 a2@130 s3(twice 1)", "AB", 2300},
      {"a kept song named twice", "A", "AA", "k1 s2(twice 1)", "A", 0},
      {"a refused song is left out", "A", "A-B", "k1 s2(-5) a2@130", "AB", 1300},
      {"same size, other bytes: replaced", "A", "a", "d1 a1@128", "a", 1000, true},
      {"everything goes", "ABC", "DE", "d3 d2 d1 a1@128 a2@132", "DE", 1900 + 2200, true},
      {"one stays, the new song in the freed place", "ABC", "CD", "k3 d2 d1 a2@128", "CD", 1900},
      // A card of 0x10000 + 4 sectors: B's stretch is free, E larger than it.
      {"a song larger than every free stretch", "AB", "AEB", "k1 k2 s2(-41)", "AB", 0, false, 0x10000 + 4 * 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Model model = Make(c.card, c.songs);
    SyncPlan plan;
    ASSERT_EQ(card_PlanSync(model.table, c.cardSize, model.songs, Compare(model), &plan), 0);
    EXPECT_EQ(Render(plan), c.plan);
    EXPECT_EQ(plan.songCount, std::set<char>(c.songs.begin(), c.songs.end()).size()) << "different songs";
    EXPECT_EQ(plan.bytesToSend, c.bytes);
    EXPECT_EQ(model.mismatchedCompares, 0);
    EXPECT_EQ(plan.deletesAll(), c.deletesAll);
    Play(model, plan, c.end);
  }
}

// Moves are the fewest: every order of six takes six minus its longest increasing run.
TEST(SyncPlan, FewestMoves) {
  std::string order = "ABCDEF";
  int orders = 0;
  do {
    Model model = Make(order, "ABCDEF");
    SyncPlan plan;
    ASSERT_EQ(card_PlanSync(model.table, kCardSize, model.songs, Compare(model), &plan), 0);
    std::vector<int> best(order.size(), 1);
    int longest = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (order[j] < order[i]) best[i] = std::max(best[i], best[j] + 1);
      }
      longest = std::max(longest, best[i]);
    }
    EXPECT_EQ(plan.moves, order.size() - static_cast<std::size_t>(longest)) << order;
    Play(model, plan, "ABCDEF");
    ++orders;
  } while (std::next_permutation(order.begin(), order.end()));
  EXPECT_EQ(orders, 720);
}

// A title is compared only with songs of its size; a failing comparison ends the plan.
TEST(SyncPlan, ComparisonsAndTheirFailure) {
  Model model = Make("ABCD", "AXYD");
  SyncPlan plan;
  ASSERT_EQ(card_PlanSync(model.table, kCardSize, model.songs, Compare(model, SyncMatch::Sampled), &plan), 0);
  EXPECT_EQ(model.compares, 2);  // B and C have no song of their size
  EXPECT_EQ(plan.steps[0].matchedBy, SyncMatch::Sampled);

  SyncCompare failing = Compare(model);
  failing.titleIsSong = [](uint16_t, std::size_t, bool*) { return VexoResult{-VEXO_ERROR_CMD_READ}; };
  EXPECT_EQ(card_PlanSync(model.table, kCardSize, model.songs, failing, &plan), -VEXO_ERROR_CMD_READ);
}

// A table one entry short of full: of two new songs one goes on, the other is skipped.
TEST(SyncPlan, TableFull) {
  Model full;
  for (std::size_t i = 0; i + 1 < HEADER_MAX_TITLES + 2; ++i) {
    SyncSong song;
    song.size = i + 1;
    full.songs.push_back(song);
    if (i + 1 >= HEADER_MAX_TITLES) continue;
    TitleEntry entry;
    entry.startAddress = static_cast<uint32_t>(0x10000 + i * 512);
    entry.size = static_cast<uint32_t>(i + 1);
    full.table.push_back(entry);
  }
  SyncCompare bySize;
  bySize.titleIsSong = [&](uint16_t t, std::size_t s, bool* same) {
    *same = full.table[t].size == full.songs[s].size;
    return VexoResult{0};
  };
  bySize.songsSame = [](std::size_t, std::size_t, bool* same) {
    *same = false;
    return VexoResult{0};
  };
  SyncPlan plan;
  ASSERT_EQ(card_PlanSync(full.table, kCardSize, full.songs, bySize, &plan), 0);
  EXPECT_EQ(plan.keeps, HEADER_MAX_TITLES - 1);
  EXPECT_EQ(plan.adds, 1u);
  EXPECT_EQ(plan.steps.back().skip, SyncSkip::TableFull);
  EXPECT_EQ(plan.steps.back().reason, -VEXO_ERROR_TABLE_FULL);
}

}  // namespace
