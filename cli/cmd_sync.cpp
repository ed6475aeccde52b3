// --sync: the songs of the sources prepared as --import stores them, the
// card's header read once, the plan (card/sync_plan.h) over titles matched
// by card/sync_match.h, printed before anything is written, then carried out
// step by step with the playlist operations on the loaded table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result_codes.h"
#include "card/charset.h"
#include "card/header.h"
#include "card/playlist.h"
#include "card/sync_match.h"
#include "card/sync_plan.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/song_import.h"
#include "host/pauses.h"
#include "host/progress.h"
#include "transport/transport.h"

namespace {

using Json = nlohmann::ordered_json;

// Prescribed pauses of the player's line, in seconds: a file copy is framed
// by two quiet pauses, a header write by a pause and the quiet after it.
constexpr double kSerialCopyPauses = 3.0;
constexpr double kSerialHeaderPauses = 3.0;
// Bytes on the player's line for one sector written (block, CRC, 'n', 'V').
constexpr double kSerialBytesPerSector = 516.0;

struct SyncSource {
  Song song;
  PreparedSong prepared;
  bool stored = false;
};

std::string Text(const SyncStep& step) { return title_ToUtf8(step.text.c_str()); }

const char* MatchName(SyncMatch match) {
  return match == SyncMatch::Whole ? "whole" : match == SyncMatch::Sampled ? "sampled" : "none";
}

// Why a song is left out, in words.
std::string SkipText(const SyncStep& step, const std::vector<SyncSource>& sources) {
  const SyncSource& source = sources[static_cast<std::size_t>(step.song)];
  if (step.skip == SyncSkip::NamedTwice) {
    return "the same song as " + sources[static_cast<std::size_t>(step.sameSong)].song.path;
  }
  if (!source.stored) return source.prepared.skipReason;
  return vexo_ResultMessage(step.reason);
}

// Seconds the plan takes at the port's rate: on the player's line the
// line's speed and the pauses of each step, elsewhere the rate measured
// while the card was read.
double PlanSeconds(const SyncPlan& plan, int32_t kind, double measuredBytesPerSecond) {
  if (kind == VEXO_PORT_SERIAL) {
    double seconds = 0;
    for (const SyncStep& step : plan.steps) {
      if (step.kind == SyncStepKind::Add) {
        const double sectors = static_cast<double>((step.size + SECTOR_SIZE - 1) / SECTOR_SIZE);
        seconds += sectors * kSerialBytesPerSector * 10.0 / SerialBaudRate + kSerialCopyPauses + kSerialHeaderPauses;
      } else if (step.kind == SyncStepKind::Delete || step.kind == SyncStepKind::Move) {
        seconds += kSerialHeaderPauses;
      }
    }
    return seconds;
  }
  return measuredBytesPerSecond > 0 ? static_cast<double>(plan.bytesToSend) / measuredBytesPerSecond : 0;
}

std::string Duration(double seconds) {
  char text[64];
  const auto whole = static_cast<unsigned long>(seconds + 0.5);
  if (whole >= 60) {
    std::snprintf(text, sizeof text, "%lu min %02lu s", whole / 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  }
  return text;
}

std::string RateText(int32_t kind, double measured) {
  char text[64];
  if (kind == VEXO_PORT_SERIAL) {
    std::snprintf(text, sizeof text, "%d baud", static_cast<int>(SerialBaudRate));
  } else {
    std::snprintf(text, sizeof text, "%.0f bytes/s as measured", measured);
  }
  return text;
}

void PrintPlan(const SyncPlan& plan, const std::vector<SyncSource>& sources, int32_t kind, double seconds,
               double measured) {
  std::printf("\n Plan:\n");
  for (const SyncStep& step : plan.steps) {
    switch (step.kind) {
      case SyncStepKind::Keep:
        std::printf("  keep    %3u  %10llu bytes  %s (matched %s)\n", step.title,
                    static_cast<unsigned long long>(step.size), Text(step).c_str(), MatchName(step.matchedBy));
        break;
      case SyncStepKind::Delete:
        std::printf("  delete  %3u  %10llu bytes  %s", step.title, static_cast<unsigned long long>(step.size),
                    Text(step).c_str());
        if (step.duplicateOf != 0) std::printf(" (same bytes as title %u)", step.duplicateOf);
        std::printf("\n");
        break;
      case SyncStepKind::Add:
        std::printf("  add     %3u  %10llu bytes  %s (%s)\n", step.title,
                    static_cast<unsigned long long>(step.size), Text(step).c_str(),
                    sources[static_cast<std::size_t>(step.song)].song.path.c_str());
        break;
      case SyncStepKind::Skip:
        std::printf("  skip              %s: %s\n", sources[static_cast<std::size_t>(step.song)].song.path.c_str(),
                    SkipText(step, sources).c_str());
        break;
      case SyncStepKind::Move:
        std::printf("  move    %3u  to place %u  %s\n", step.title, step.to, Text(step).c_str());
        break;
    }
  }
  std::printf(" Keep %u, delete %u, add %u, move %u, skip %u: %llu bytes to send, about %s at %s.\n",
              plan.keeps, plan.deletes, plan.adds, plan.moves, plan.skips,
              static_cast<unsigned long long>(plan.bytesToSend), Duration(seconds).c_str(),
              RateText(kind, measured).c_str());
}

Json PlanJson(const SyncPlan& plan, const std::vector<SyncSource>& sources, double seconds) {
  Json steps = Json::array();
  for (const SyncStep& step : plan.steps) {
    Json item;
    const std::string song = step.song >= 0 ? sources[static_cast<std::size_t>(step.song)].song.path : "";
    switch (step.kind) {
      case SyncStepKind::Keep:
        item = {{"kind", "keep"}, {"title", step.title}, {"text", Text(step)}, {"size", step.size},
                {"song", song}, {"matchedBy", MatchName(step.matchedBy)}};
        break;
      case SyncStepKind::Delete:
        item = {{"kind", "delete"}, {"title", step.title}, {"text", Text(step)}, {"size", step.size}};
        if (step.duplicateOf != 0) item["duplicateOf"] = step.duplicateOf;
        break;
      case SyncStepKind::Add:
        item = {{"kind", "add"}, {"title", step.title}, {"text", Text(step)}, {"size", step.size},
                {"song", song}, {"start", step.startSector * SECTOR_SIZE}};
        break;
      case SyncStepKind::Skip:
        item = {{"kind", "skip"}, {"song", song}, {"reason", SkipText(step, sources)}};
        break;
      case SyncStepKind::Move:
        item = {{"kind", "move"}, {"title", step.title}, {"text", Text(step)}, {"size", step.size},
                {"from", step.title}, {"to", step.to}};
        break;
    }
    steps.push_back(item);
  }
  return {{"steps", steps},          {"keep", plan.keeps},   {"delete", plan.deletes},
          {"add", plan.adds},        {"move", plan.moves},   {"skip", plan.skips},
          {"bytesToSend", plan.bytesToSend}, {"seconds", seconds}, {"songs", plan.songCount}};
}

// Before a step: none begins once a stop was asked for, and after a write
// the card is found again (a header write leaves the adapter's card inside a
// write that only a new bring-up ends).
VexoResult NextStep(int32_t kind, int32_t port, int32_t slot, bool afterWrite) {
  if (vexo_StopRequested()) return -VEXO_ERROR_TRANSFER_STOPPED;
  uint32_t size = 0;
  return afterWrite ? vexo_Search(kind, port, slot, &size, 5) : 0;
}

// Carries out the plan on the loaded table: the deletes, the adds, then the
// moves that put what is on the card into the songs' order (planned afresh
// when an add was left out). Stops before a step when a stop was requested.
// songOf: the song each title on the card holds (-1 for none), in table
// order, as far as it got. The failure that ended it, or 0.
VexoResult Execute(int32_t kind, int32_t port, int32_t slot, const CardHeader& header, const SyncPlan& plan,
                   const std::vector<SyncSource>& sources, bool report, std::vector<int64_t>* songsOf,
                   bool* wrote) {
  std::vector<int64_t>& songOf = *songsOf;
  songOf.assign(card_LoadedCount(), -1);
  for (const SyncStep& step : plan.steps) {
    if (step.kind == SyncStepKind::Keep) songOf[step.title - 1] = step.song;
  }
  VexoResult failure = 0;
  for (const SyncStep& step : plan.steps) {
    if (step.kind != SyncStepKind::Delete && step.kind != SyncStepKind::Add) continue;
    failure = NextStep(kind, port, slot, *wrote);
    if (failure != 0) return failure;
    if (step.kind == SyncStepKind::Delete) {
      if (report) std::printf(" Deleting title %u: %s\n", step.title, Text(step).c_str());
      failure = card_DeleteLoaded(kind, port, slot, header, static_cast<uint16_t>(step.title - 1));
      if (failure != 0) return failure;
      songOf.erase(songOf.begin() + (step.title - 1));
      *wrote = true;
      continue;
    }
    const SyncSource& source = sources[static_cast<std::size_t>(step.song)];
    if (report) {
      std::printf(" Adding file: %s\n %s\n ", source.song.path.c_str(), media_Describe(source.prepared).c_str());
    }
    TitleEntry entry;
    card_SetTitleText(&entry, step.text.c_str());
    entry.fileType = 1;
    const VexoResult result = card_AddLoaded(kind, port, slot, header, source.prepared.storedPath.c_str(), entry, 1);
    if (result == 0) {
      songOf.push_back(step.song);
      *wrote = true;
      if (report) {
        vexo_EndProgressLine();
        std::fputs(kDoneLine, stdout);
      }
    } else if (cli_IsSongRefusal(result)) {
      if (report) std::printf("\n Skipped: %s\n", vexo_ResultMessage(result));
    } else {
      return result;
    }
  }
  std::vector<TitleEntry> table;
  std::vector<std::size_t> ranks;
  for (uint16_t i = 0; i < card_LoadedCount(); ++i) {
    table.push_back(*card_LoadedTitle(i));
    ranks.push_back(static_cast<std::size_t>(songOf[i]));
  }
  SyncPlan moves;
  card_PlanMoves(table, ranks, &moves);
  for (const SyncStep& step : moves.steps) {
    failure = NextStep(kind, port, slot, *wrote);
    if (failure != 0) return failure;
    if (report) std::printf(" Moving title %u to place %u: %s\n", step.title, step.to, Text(step).c_str());
    failure = card_MoveLoaded(kind, port, slot, header, static_cast<uint16_t>(step.title - 1),
                              static_cast<uint16_t>(step.to - 1));
    if (failure != 0) return failure;
    *wrote = true;
  }
  return 0;
}

// A refusal before the port is opened: its line (or its JSON object).
int Refuse(VexoResult result, const std::string& what, bool json) {
  if (json) {
    std::printf("%s\n", Json({{"error", -result}, {"message", vexo_ResultMessage(result)}, {"source", what}})
                            .dump(2, ' ', false, Json::error_handler_t::replace)
                            .c_str());
    return VEXO_EXIT_FAILED;
  }
  cli_PrintError(result);
  if (!what.empty()) std::printf(" Source: %s\n", what.c_str());
  return VEXO_EXIT_FAILED;
}

}  // namespace

int cmd_Sync(int32_t kind, int32_t port, int32_t slot, const std::vector<std::string>& sourceWords,
             const char* cardName, uint16_t cardType, const char* imagePath, const SyncOptions& options) {
  // Guards: every source there and readable, and some song among them, before
  // the card is touched (a mistyped folder must never empty a card).
  for (const std::string& source : sourceWords) {
    const int32_t checked = song_CheckSource(source);
    if (checked != 0) return Refuse(checked, source, options.json);
  }
  std::vector<SyncSource> sources;
  for (const Song& song : song_Expand(sourceWords, options.recursive)) sources.push_back({song, {}, false});
  MediaWorkspace ws;
  media_OpenWorkspace(&ws);
  std::vector<std::string> paths;
  for (const SyncSource& source : sources) paths.push_back(source.song.path);
  const std::vector<PreparedSong> prepared = media_PrepareSongs(paths, options.media, ws.dir.empty() ? nullptr : &ws);
  bool anyStored = false;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    sources[i].prepared = prepared[i];
    sources[i].stored = prepared[i].action != MEDIA_SKIP;
    anyStored = anyStored || sources[i].stored;
  }
  if (!anyStored) {
    media_CloseWorkspace(&ws);
    return Refuse(-VEXO_ERROR_NO_SONG, "", options.json);
  }
  if (options.json) vexo_SetProgressQuiet(true);

  const VexoResult opened = vexo_Open(kind, port, SerialBaudRate, imagePath);
  if (opened != 0) {
    media_CloseWorkspace(&ws);
    return Refuse(opened, "", options.json);
  }
  const auto began = std::chrono::steady_clock::now();
  CardHeader header;
  VexoResult result = card_ReadHeaderOrBlank(kind, port, slot, cardType, &header);
  SyncPlan plan;
  CardMatcher matcher;
  if (result == 0) {
    if (cardType != 0) header.cardType = cardType;
    if (cardName != nullptr) card_SetCardName(&header, cardName);
    std::vector<TitleEntry> table;
    for (uint16_t i = 0; i < card_LoadedCount(); ++i) table.push_back(*card_LoadedTitle(i));
    matcher = card_NewMatcher(kind, port, slot, header.cardSize, table);
    std::vector<SyncSong> songs;
    for (const SyncSource& source : sources) {
      SyncSong song;
      song.name = source.song.path;
      song.title = title_FromUtf8(song_Title(source.song));
      song.size = source.prepared.storedSize;
      if (!source.stored) {
        song.refusal = -VEXO_ERROR_FILE_READ;
      } else if (song.size == 0) {
        song.refusal = -VEXO_ERROR_FILE_SIZE_ZERO;
      }
      songs.push_back(song);
    }
    SyncCompare compare;
    compare.by = matcher.way;
    compare.titleIsSong = [&](uint16_t title, std::size_t song, bool* same) {
      return card_TitleHoldsFile(&matcher, title, sources[song].prepared.storedPath, songs[song].size, same);
    };
    compare.songsSame = [&](std::size_t a, std::size_t b, bool* same) {
      return card_HostFilesSame(sources[a].prepared.storedPath, sources[b].prepared.storedPath, same);
    };
    result = card_PlanSync(table, header.cardSize, songs, compare, &plan);
  }
  if (result != 0) {
    card_ReleaseTitles();
    vexo_Close(kind, port);
    media_CloseWorkspace(&ws);
    return Refuse(result, "", options.json);
  }
  // The rate of what was read so far: the header area and the compared sectors.
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double readBytes = static_cast<double>(matcher.sectorsRead + 1 + (card_LoadedCount() * 32u + 511u) / 512u) * SECTOR_SIZE;
  const double measured = elapsed > 0 ? readBytes / elapsed : 0;
  const double seconds = PlanSeconds(plan, kind, measured);
  Json out;
  if (options.json) {
    out = PlanJson(plan, sources, seconds);
  } else {
    PrintPlan(plan, sources, kind, seconds, measured);
  }

  VexoResult failure = 0;
  uint32_t songsOnCard = plan.songsOnCard;
  std::vector<int64_t> songOf;
  bool wrote = false;
  if (options.dryRun) {
    if (!options.json) std::printf("\n Dry run: nothing written.\n");
  } else if (plan.deletesAll() && !options.force) {
    failure = -VEXO_ERROR_DELETES_ALL;
    if (!options.json) {
      cli_PrintError(failure);
      std::printf(" The plan deletes every title on the card: give --force to do it.\n");
    }
  } else {
    failure = Execute(kind, port, slot, header, plan, sources, !options.json, &songOf, &wrote);
    songsOnCard = static_cast<uint32_t>(std::count_if(songOf.begin(), songOf.end(), [](int64_t s) { return s >= 0; }));
    // A new name or type with nothing else to write still goes on the card.
    if (failure == 0 && !wrote && (cardName != nullptr || cardType != 0)) {
      failure = card_WriteHeader(kind, port, slot, header, nullptr);
      wrote = failure == 0;
    }
    if (failure != 0 && !options.json) cli_PrintError(failure);
    if (wrote) cli_ReleaseAdapterLines(kind, port, slot);
  }
  card_ReleaseTitles();
  vexo_Close(kind, port);
  media_CloseWorkspace(&ws);
  if (options.json) {
    if (vexo_StopRequested() && failure != 0) failure = -VEXO_ERROR_TRANSFER_STOPPED;
    out["dryRun"] = options.dryRun;
    out["error"] = -failure;
    out["message"] = vexo_ResultMessage(failure);
    out["songsOnCard"] = songsOnCard;
    std::printf("%s\n", out.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
  } else if (!options.dryRun && failure != -VEXO_ERROR_DELETES_ALL) {
    std::printf("\n The card holds %u of %u songs.\n", songsOnCard, plan.songCount);
  }
  vexo_SettleDelay(kind);
  return failure != 0 ? VEXO_EXIT_FAILED : VEXO_EXIT_DONE;
}
