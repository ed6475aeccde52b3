#include "card/sync_plan.h"

#include <algorithm>
#include <cstring>

#include "card/header.h"
#include "card/table_check.h"

namespace {

std::string StoredText(const TitleEntry& entry) {
  return std::string(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES));
}

// Free bytes of a card holding these entries, as the header reader counts
// them: each byte of the data area once, however titles overlap.
uint64_t FreeBytes(const std::vector<TitleEntry>& table, uint32_t cardSize) {
  const uint64_t used = card_CoveredBytes(table, cardSize);
  const uint64_t data = cardSize > DATA_AREA_START ? cardSize - DATA_AREA_START : 0;
  return used >= data ? 0 : data - used;
}

// Positions (into `ranks`) of one longest strictly increasing run, in order.
std::vector<std::size_t> LongestIncreasing(const std::vector<std::size_t>& ranks) {
  std::vector<std::size_t> tails;  // tails[k]: position ending the best run of length k + 1
  std::vector<std::ptrdiff_t> previous(ranks.size(), -1);
  for (std::size_t i = 0; i < ranks.size(); ++i) {
    const auto at = std::lower_bound(tails.begin(), tails.end(), ranks[i],
                                     [&](std::size_t pos, std::size_t rank) { return ranks[pos] < rank; });
    if (at != tails.begin()) previous[i] = static_cast<std::ptrdiff_t>(*(at - 1));
    if (at == tails.end()) {
      tails.push_back(i);
    } else {
      *at = i;
    }
  }
  std::vector<std::size_t> run;
  for (std::ptrdiff_t i = tails.empty() ? -1 : static_cast<std::ptrdiff_t>(tails.back()); i >= 0;
       i = previous[static_cast<std::size_t>(i)]) {
    run.push_back(static_cast<std::size_t>(i));
  }
  std::reverse(run.begin(), run.end());
  return run;
}

}  // namespace

// The longest run already in order stays, every other title is moved, lowest
// rank first, to just behind the title of the next lower rank (placed by
// then), so that the placed titles always stand in order.
void card_PlanMoves(std::vector<TitleEntry> entries, std::vector<std::size_t> ranks, SyncPlan* plan) {
  std::vector<bool> placed(ranks.size(), false);
  for (std::size_t pos : LongestIncreasing(ranks)) placed[pos] = true;
  std::vector<std::size_t> sorted = ranks;
  std::sort(sorted.begin(), sorted.end());
  // placed[], entries and ranks are kept in the table's current order.
  for (const std::size_t rank : sorted) {
    std::size_t from = 0;
    while (ranks[from] != rank) ++from;
    if (placed[from]) continue;
    // The placed title of the next lower rank, if any.
    std::ptrdiff_t before = -1;
    for (std::size_t i = 0; i < ranks.size(); ++i) {
      if (placed[i] && ranks[i] < rank && (before < 0 || ranks[i] > ranks[static_cast<std::size_t>(before)])) {
        before = static_cast<std::ptrdiff_t>(i);
      }
    }
    std::size_t to = 0;
    if (before >= 0) to = static_cast<std::size_t>(before) + (static_cast<std::size_t>(before) < from ? 1 : 0);
    SyncStep step;
    step.kind = SyncStepKind::Move;
    step.title = static_cast<uint32_t>(from + 1);
    step.to = static_cast<uint32_t>(to + 1);
    step.size = entries[from].size;
    step.song = static_cast<int64_t>(rank);
    step.text = StoredText(entries[from]);
    plan->steps.push_back(step);
    ++plan->moves;
    const auto moveOne = [&](auto& list) {
      auto value = list[from];
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(from));
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(to), value);
    };
    moveOne(entries);
    moveOne(ranks);
    placed.erase(placed.begin() + static_cast<std::ptrdiff_t>(from));
    placed.insert(placed.begin() + static_cast<std::ptrdiff_t>(to), true);
  }
}

VexoResult card_PlanSync(const std::vector<TitleEntry>& table, uint32_t cardSize,
                         const std::vector<SyncSong>& songs, const SyncCompare& compare,
                         SyncPlan* plan) {
  *plan = SyncPlan{};
  plan->titlesBefore = static_cast<uint32_t>(table.size());

  // The same song named twice: each song is the first of those with its bytes.
  std::vector<std::size_t> firstOf(songs.size());
  for (std::size_t i = 0; i < songs.size(); ++i) {
    firstOf[i] = i;
    if (songs[i].refusal != 0) continue;
    for (std::size_t j = 0; j < i; ++j) {
      if (firstOf[j] != j || songs[j].refusal != 0 || songs[j].size != songs[i].size) continue;
      bool same = false;
      const VexoResult result = compare.songsSame(j, i, &same);
      if (result != 0) return result;
      if (same) {
        firstOf[i] = j;
        break;
      }
    }
    if (firstOf[i] == i) ++plan->songCount;
  }
  for (const SyncSong& song : songs) {
    if (song.refusal != 0) ++plan->songCount;
  }

  // Which title holds which song: the first title with a song's bytes keeps it.
  std::vector<std::ptrdiff_t> holder(songs.size(), -1);
  std::vector<std::ptrdiff_t> heldSong(table.size(), -1);
  std::vector<uint32_t> duplicateOf(table.size(), 0);
  for (std::size_t t = 0; t < table.size(); ++t) {
    for (std::size_t s = 0; s < songs.size(); ++s) {
      if (firstOf[s] != s || songs[s].refusal != 0 || songs[s].size != table[t].size) continue;
      bool same = false;
      const VexoResult result = compare.titleIsSong(static_cast<uint16_t>(t), s, &same);
      if (result != 0) return result;
      if (!same) continue;
      if (holder[s] < 0) {
        holder[s] = static_cast<std::ptrdiff_t>(t);
        heldSong[t] = static_cast<std::ptrdiff_t>(s);
      } else {
        duplicateOf[t] = static_cast<uint32_t>(holder[s] + 1);
      }
      break;
    }
  }

  std::vector<TitleEntry> after;
  std::vector<std::size_t> afterSongs;
  for (std::size_t t = 0; t < table.size(); ++t) {
    if (heldSong[t] < 0) continue;
    SyncStep step;
    step.kind = SyncStepKind::Keep;
    step.title = static_cast<uint32_t>(t + 1);
    step.size = table[t].size;
    step.song = heldSong[t];
    step.matchedBy = compare.by;
    step.text = StoredText(table[t]);
    plan->steps.push_back(step);
    ++plan->keeps;
    after.push_back(table[t]);
    afterSongs.push_back(static_cast<std::size_t>(heldSong[t]));
  }
  for (std::size_t t = table.size(); t-- > 0;) {
    if (heldSong[t] >= 0) continue;
    SyncStep step;
    step.kind = SyncStepKind::Delete;
    step.title = static_cast<uint32_t>(t + 1);
    step.size = table[t].size;
    step.duplicateOf = duplicateOf[t];
    step.text = StoredText(table[t]);
    plan->steps.push_back(step);
    ++plan->deletes;
  }

  for (std::size_t s = 0; s < songs.size(); ++s) {
    if (holder[s] >= 0) continue;
    SyncStep step;
    step.kind = SyncStepKind::Skip;
    step.song = static_cast<int64_t>(s);
    step.size = songs[s].size;
    if (songs[s].refusal != 0) {
      step.skip = SyncSkip::Refused;
      step.reason = songs[s].refusal;
    } else if (firstOf[s] != s) {
      step.skip = SyncSkip::NamedTwice;
      step.sameSong = static_cast<int64_t>(firstOf[s]);
    } else {
      uint64_t start = 0, stretch = 0;
      const uint64_t tableEnd = HEADER_TABLE_OFFSET + (after.size() + 1) * uint64_t{HEADER_ENTRY_SIZE};
      if (after.size() >= HEADER_MAX_TITLES || tableEnd > DATA_AREA_START) {
        step.skip = SyncSkip::TableFull;
        step.reason = -VEXO_ERROR_TABLE_FULL;
      } else if (songs[s].size > UINT32_MAX || songs[s].size > FreeBytes(after, cardSize) ||
                 !card_FindTitleStretchIn(after, cardSize, songs[s].size, &start, &stretch)) {
        step.skip = SyncSkip::NoRoom;
        step.reason = -VEXO_ERROR_CARD_FULL;
      } else {
        step.kind = SyncStepKind::Add;
        step.startSector = start;
        step.title = static_cast<uint32_t>(after.size() + 1);
        TitleEntry entry;
        entry.startAddress = static_cast<uint32_t>(start * SECTOR_SIZE);
        entry.size = static_cast<uint32_t>(songs[s].size);
        card_SetTitleText(&entry, songs[s].title.c_str());
        entry.fileType = songs[s].fileType;
        step.text = StoredText(entry);
        after.push_back(entry);
        afterSongs.push_back(s);
        plan->bytesToSend += songs[s].size;
        ++plan->adds;
      }
    }
    if (step.kind == SyncStepKind::Skip) ++plan->skips;
    plan->steps.push_back(step);
  }

  // The songs' order: a song's index is its rank.
  card_PlanMoves(after, afterSongs, plan);
  plan->songsOnCard = static_cast<uint32_t>(after.size());
  return 0;
}
