#include "cli/song_import.h"

#include <unistd.h>

#include <future>
#include <optional>
#include <system_error>

#include "card/charset.h"
#include "card/header.h"
#include "card/playlist.h"
#include "card/sync_match.h"
#include "card/table_check.h"
#include "host/pauses.h"

namespace {

// The stored bytes of a song, once on the card, are needed no more when
// they are a file of the run's workspace (a cache entry stays).
void DropWorkspaceFile(const MediaWorkspace& ws, const PreparedSong& prepared) {
  if (ws.dir.empty() || prepared.action == MEDIA_COPY) return;
  if (prepared.storedPath.rfind(ws.dir + "/", 0) == 0) unlink(prepared.storedPath.c_str());
}

// The card's table and size as the next add finds them (a blank card: no
// titles).
VexoResult ReadTable(int32_t kind, int32_t port, int32_t slot, std::vector<TitleEntry>* table,
                     uint32_t* cardSize) {
  CardHeader header;
  const VexoResult result = card_ReadHeader(kind, port, slot, &header);
  if (result != 0 && result != -VEXO_ERROR_NO_VALID_HEADER) return result;
  for (uint16_t i = 0; i < card_LoadedCount(); ++i) table->push_back(*card_LoadedTitle(i));
  *cardSize = header.cardSize;
  card_ReleaseTitles();
  return 0;
}

// --fit: every song prepared as the settings say; when they do not all fit
// the card, the rate at which they do goes into *settings and the songs
// above it are left out of *early, to be prepared again at that rate.
VexoResult PlanFit(int32_t kind, int32_t port, int32_t slot, const std::vector<Song>& songs,
                   MediaSettings* settings, MediaWorkspace* ws, const ImportHooks& hooks,
                   std::vector<std::optional<PreparedSong>>* early) {
  std::vector<std::string> paths;
  for (const Song& song : songs) paths.push_back(song.path);
  std::vector<PreparedSong> prepared = media_PrepareSongs(paths, *settings, ws);
  std::vector<TitleEntry> table;
  uint32_t cardSize = 0;
  const VexoResult result = ReadTable(kind, port, slot, &table, &cardSize);
  if (result != 0) {
    for (const PreparedSong& song : prepared) DropWorkspaceFile(*ws, song);
    return result;
  }
  const auto fits = [&](const std::vector<uint64_t>& sizes) { return card_TitlesFitIn(table, cardSize, sizes); };
  std::vector<uint64_t> sizes;
  for (const PreparedSong& song : prepared) {
    if (song.action != MEDIA_SKIP) sizes.push_back(song.storedSize);
  }
  const int rate = fits(sizes) ? -1 : media_FitBitrate(prepared, fits);
  if (rate >= 0 && hooks.fitted) hooks.fitted(rate);
  if (rate > 0) settings->bitrate = rate;
  for (std::size_t i = 0; i < prepared.size(); ++i) {
    if (rate > 0 && media_AboveRate(prepared[i], rate)) {
      DropWorkspaceFile(*ws, prepared[i]);
    } else {
      (*early)[i] = std::move(prepared[i]);
    }
  }
  return 0;
}

// Song i prepared on a worker thread; where no thread can be had, when it is
// asked for.
template <typename Prepare>
std::future<PreparedSong> PrepareAhead(const Prepare& prepare, std::size_t i) {
  try {
    return std::async(std::launch::async, prepare, i);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, prepare, i);
  }
}

// What the card holds, read once at the start: the titles a song may already
// be, the songs added since (their stored files and title numbers), and on a
// dry run the table as the adds would leave it.
struct OnCard {
  CardMatcher matcher;
  struct Added {
    std::string path;
    uint64_t size;
    uint32_t title;
  };
  std::vector<Added> added;
  std::vector<TitleEntry> table;
  uint32_t cardSize = 0;
};

VexoResult ReadOnCard(int32_t kind, int32_t port, int32_t slot, OnCard* on) {
  CardHeader header;
  VexoResult result = card_ReadHeader(kind, port, slot, &header);
  if (result == 0) {
    for (uint16_t i = 0; i < card_LoadedCount(); ++i) on->table.push_back(*card_LoadedTitle(i));
  }
  if (result == -VEXO_ERROR_NO_VALID_HEADER) result = 0;  // a blank card holds nothing yet
  card_ReleaseTitles();
  on->cardSize = header.cardSize;
  on->matcher = card_NewMatcher(kind, port, slot, header.cardSize, on->table);
  return result;
}

// The title (from 1) that already holds the song's bytes, or 0.
VexoResult FindOnCard(OnCard* on, const PreparedSong& song, uint32_t* title) {
  int32_t found = -1;
  const VexoResult result = card_FindTitleHolding(&on->matcher, song.storedPath, song.storedSize, &found);
  *title = found >= 0 ? static_cast<uint32_t>(found + 1) : 0;
  for (const OnCard::Added& added : on->added) {
    if (*title != 0 || result != 0) break;
    bool same = false;
    // A file of this run that is gone (not cached) is compared no more.
    if (added.size == song.storedSize && card_HostFilesSame(added.path, song.storedPath, &same) == 0 && same) {
      *title = added.title;
    }
  }
  return result;
}

// A dry run: the title the song would become on the table as the adds before
// would leave it, or the reason it would not go on.
VexoResult WouldBe(OnCard* on, const PreparedSong& song, uint32_t* title) {
  *title = 0;
  const uint64_t data = on->cardSize > DATA_AREA_START ? on->cardSize - DATA_AREA_START : 0;
  const uint64_t covered = card_CoveredBytes(on->table, on->cardSize);
  uint64_t start = 0, stretch = 0;
  if (on->table.size() >= HEADER_MAX_TITLES) return -VEXO_ERROR_TABLE_FULL;
  if (song.storedSize == 0 || song.storedSize > UINT32_MAX || covered + song.storedSize > data ||
      !card_FindTitleStretchIn(on->table, on->cardSize, song.storedSize, &start, &stretch)) {
    return -VEXO_ERROR_CARD_FULL;
  }
  TitleEntry entry;
  entry.startAddress = static_cast<uint32_t>(start * SECTOR_SIZE);
  entry.size = static_cast<uint32_t>(song.storedSize);
  on->table.push_back(entry);
  *title = static_cast<uint32_t>(on->table.size());
  return 0;
}

}  // namespace

bool cli_IsSongRefusal(VexoResult result) {
  switch (-result) {
    case VEXO_ERROR_FILE_NOT_EXIST:
    case VEXO_ERROR_FILE_SIZE_ZERO:
    case VEXO_ERROR_FILE_NOT_OPEN:
    case VEXO_ERROR_FILE_READ:
    case VEXO_ERROR_NOT_REGULAR_FILE:
    case VEXO_ERROR_SAME_FILE:
    case VEXO_ERROR_CARD_FULL:
      return !vexo_StopRequested();
    default:
      return false;
  }
}

ImportTotals cli_ImportSongs(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                             const char* cardName, const std::vector<Song>& songs,
                             const MediaSettings& given, int progress, const ImportHooks& hooks,
                             const ImportMode& mode) {
  ImportTotals totals;
  OnCard onCard;
  if (!mode.again || mode.dryRun) {
    totals.failure = ReadOnCard(kind, port, slot, &onCard);
    if (totals.failure != 0) return totals;
  }
  // Where prepared songs go that the cache does not take (--no-cache, a cache
  // folder that cannot be written).
  MediaWorkspace ws;
  media_OpenWorkspace(&ws);
  MediaWorkspace* const workspace = ws.dir.empty() ? nullptr : &ws;
  MediaSettings settings = given;
  std::vector<std::optional<PreparedSong>> early(songs.size());
  if (mode.prepared != nullptr && mode.prepared->size() == songs.size()) early = *mode.prepared;
  if (settings.fit && !songs.empty()) {
    totals.failure = PlanFit(kind, port, slot, songs, &settings, &ws, hooks, &early);
    if (totals.failure != 0) {
      media_CloseWorkspace(&ws);
      return totals;
    }
  }
  // Runs on the worker: reads only its own song, the settings and the
  // workspace's name, all unchanged while it runs.
  const auto prepare = [&](std::size_t i) {
    if (early[i]) return *early[i];
    PreparedSong prepared;
    media_PrepareSong(songs[i].path, settings, workspace, &prepared);
    return prepared;
  };
  std::future<PreparedSong> next;
  if (!songs.empty()) next = PrepareAhead(prepare, 0);
  for (std::size_t i = 0; i < songs.size(); ++i) {
    if (vexo_StopRequested() || (hooks.stopWanted && hooks.stopWanted())) {
      totals.failure = -VEXO_ERROR_TRANSFER_STOPPED;
      break;
    }
    SongStep step;
    step.index = i;
    step.song = &songs[i];
    step.prepared = next.get();
    if (i + 1 < songs.size()) next = PrepareAhead(prepare, i + 1);
    const bool stored = step.prepared.action != MEDIA_SKIP;
    if (stored && !mode.again) {
      const VexoResult found = FindOnCard(&onCard, step.prepared, &step.onCard);
      if (found != 0) {
        totals.failure = found;
        break;
      }
    }
    if (stored && step.onCard == 0) {
      step.title = title_FromUtf8(song_Title(songs[i]));
      if (hooks.adding) hooks.adding(step);
      if (mode.dryRun) {
        step.result = WouldBe(&onCard, step.prepared, &step.wouldBe);
      } else {
        // The stored bytes are always an MP3, whatever the source's name.
        step.result = card_AddTitle(kind, port, slot, cardType, cardName, step.prepared.storedPath.c_str(),
                                    step.title.c_str(), progress, 1);
      }
      if (step.result == 0) {
        const uint32_t title = mode.dryRun ? step.wouldBe
                                           : static_cast<uint32_t>(onCard.table.size() + onCard.added.size() + 1);
        onCard.added.push_back({step.prepared.storedPath, step.prepared.storedSize, title});
      }
      if (!mode.dryRun) DropWorkspaceFile(ws, step.prepared);
    }
    if (hooks.finished) hooks.finished(step);
    if (!stored) continue;
    if (step.onCard != 0) {
      ++totals.alreadyOnCard;
    } else if (step.result == 0) {
      ++totals.added;
      if (step.prepared.action == MEDIA_STRIP && step.prepared.sourceSize > step.prepared.storedSize) {
        totals.tagBytesLeftOut += step.prepared.sourceSize - step.prepared.storedSize;
      }
    } else if (!cli_IsSongRefusal(step.result)) {
      totals.failure = vexo_StopRequested() ? -VEXO_ERROR_TRANSFER_STOPPED : step.result;
      break;
    }
  }
  // A song prepared ahead of a stop or a failure is not stored.
  if (next.valid()) DropWorkspaceFile(ws, next.get());
  media_CloseWorkspace(&ws);
  return totals;
}
