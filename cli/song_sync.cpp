#include "cli/song_sync.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "base/result_codes.h"
#include "card/charset.h"
#include "card/playlist.h"
#include "card/sync_match.h"
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/song_import.h"
#include "host/pauses.h"
#include "transport/transport.h"

namespace {

using Json = nlohmann::ordered_json;

// Prescribed pauses of the player's line, in seconds. A request costs the
// pause behind its command byte and the wait for its answer; the quiet
// pause is 1.5 s. A file copy is one request framed by two quiet pauses; a
// header write is a quiet pause, then its runs of sectors (the header
// sector's and the table's, usually two), each a request and the quiet
// after it.
constexpr double kSerialRequest = 0.3;
constexpr double kSerialQuiet = 1.5;
constexpr double kSerialCopyPauses = 2 * kSerialQuiet + kSerialRequest;
constexpr double kSerialHeaderPauses = kSerialQuiet + 2 * (kSerialRequest + kSerialQuiet);
// Bytes on the player's line for one sector written (block, CRC, 'n', 'V').
constexpr double kSerialBytesPerSector = 516.0;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string Text(const SyncStep& step) { return title_ToUtf8(step.text.c_str()); }

const char* MatchName(SyncMatch match) {
  return match == SyncMatch::Whole ? "whole" : match == SyncMatch::Sampled ? "sampled" : "none";
}

const std::string& SongPath(const SyncRun& run, const SyncStep& step) {
  return run.sources[static_cast<std::size_t>(step.song)].song.path;
}

// Why a song is left out, in words.
std::string SkipText(const SyncRun& run, const SyncStep& step) {
  const SyncSource& source = run.sources[static_cast<std::size_t>(step.song)];
  if (step.skip == SyncSkip::NamedTwice) {
    return "the same song as " + run.sources[static_cast<std::size_t>(step.sameSong)].song.path;
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
  const auto whole = static_cast<unsigned long>(seconds + 0.5);
  if (whole >= 60) return Format("%lu min %02lu s", whole / 60, whole % 60);
  return Format("%.1f s", seconds);
}

std::string RateText(int32_t kind, double measured) {
  if (kind == VEXO_PORT_SERIAL) return Format("%d baud", static_cast<int>(SerialBaudRate));
  return Format("%.0f bytes/s as measured", measured);
}

// Before a step: none begins once a stop was asked for, and after a write
// the card is found again (a header write leaves the adapter's card inside a
// write that only a new bring-up ends).
VexoResult NextStep(int32_t kind, int32_t port, int32_t slot, bool afterWrite, const SyncHooks& hooks) {
  if (vexo_StopRequested() || (hooks.stopWanted && hooks.stopWanted())) return -VEXO_ERROR_TRANSFER_STOPPED;
  uint32_t size = 0;
  return afterWrite ? vexo_Search(kind, port, slot, &size, 5) : 0;
}

void Starting(const SyncHooks& hooks, const SyncStep& step, const std::string& line) {
  if (hooks.starting) hooks.starting(step, line);
}

// The steps on the loaded table; songOf: the song each title on the card
// holds (-1 for none), in table order, as far as it got.
VexoResult Execute(int32_t kind, int32_t port, int32_t slot, SyncRun& run, const SyncHooks& hooks,
                   std::vector<int64_t>* songsOf, bool* wrote) {
  const CardHeader& header = run.header;
  std::vector<int64_t>& songOf = *songsOf;
  songOf.assign(card_LoadedCount(), -1);
  for (const SyncStep& step : run.plan.steps) {
    if (step.kind == SyncStepKind::Keep) songOf[step.title - 1] = step.song;
  }
  VexoResult failure = 0;
  for (const SyncStep& step : run.plan.steps) {
    if (step.kind != SyncStepKind::Delete && step.kind != SyncStepKind::Add) continue;
    failure = NextStep(kind, port, slot, *wrote, hooks);
    if (failure != 0) return failure;
    if (step.kind == SyncStepKind::Delete) {
      Starting(hooks, step, Format(" Deleting title %u: %s\n", step.title, Text(step).c_str()));
      failure = card_DeleteLoaded(kind, port, slot, header, static_cast<uint16_t>(step.title - 1));
      if (failure != 0) return failure;
      songOf.erase(songOf.begin() + (step.title - 1));
      *wrote = true;
      continue;
    }
    const SyncSource& source = run.sources[static_cast<std::size_t>(step.song)];
    Starting(hooks, step,
             " Adding file: " + source.song.path + "\n " + media_Describe(source.prepared) + "\n ");
    TitleEntry entry;
    card_SetTitleText(&entry, step.text.c_str());
    entry.fileType = 1;
    const VexoResult result = card_AddLoaded(kind, port, slot, header, source.prepared.storedPath.c_str(), entry, 1);
    if (result == 0) {
      songOf.push_back(step.song);
      *wrote = true;
    }
    if (hooks.added) hooks.added(step, result);
    if (result != 0 && !cli_IsSongRefusal(result)) return result;
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
    failure = NextStep(kind, port, slot, *wrote, hooks);
    if (failure != 0) return failure;
    Starting(hooks, step, Format(" Moving title %u to place %u: %s\n", step.title, step.to, Text(step).c_str()));
    failure = card_MoveLoaded(kind, port, slot, header, static_cast<uint16_t>(step.title - 1),
                              static_cast<uint16_t>(step.to - 1));
    if (failure != 0) return failure;
    *wrote = true;
  }
  return 0;
}

}  // namespace

VexoResult cli_SyncSources(const std::vector<std::string>& words, bool recursive, const MediaSettings& media,
                           SyncRun* run, std::string* badSource) {
  badSource->clear();
  // A mistyped folder must never empty a card: every source is checked first.
  for (const std::string& source : words) {
    const int32_t checked = song_CheckSource(source);
    if (checked != 0) {
      *badSource = source;
      return checked;
    }
  }
  run->sources.clear();
  for (const Song& song : song_Expand(words, recursive)) run->sources.push_back({song, {}, false});
  media_OpenWorkspace(&run->workspace);
  std::vector<std::string> paths;
  for (const SyncSource& source : run->sources) paths.push_back(source.song.path);
  const std::vector<PreparedSong> prepared =
      media_PrepareSongs(paths, media, run->workspace.dir.empty() ? nullptr : &run->workspace);
  bool anyStored = false;
  for (std::size_t i = 0; i < run->sources.size(); ++i) {
    run->sources[i].prepared = prepared[i];
    run->sources[i].stored = prepared[i].action != MEDIA_SKIP;
    anyStored = anyStored || run->sources[i].stored;
  }
  return anyStored ? 0 : -VEXO_ERROR_NO_SONG;
}

VexoResult cli_SyncPlan(int32_t kind, int32_t port, int32_t slot, const char* cardName, uint16_t cardType,
                        SyncRun* run) {
  const auto began = std::chrono::steady_clock::now();
  CardHeader& header = run->header;
  VexoResult result = card_ReadHeaderOrBlank(kind, port, slot, cardType, &header);
  if (result != 0) return result;
  if (cardType != 0) header.cardType = cardType;
  if (cardName != nullptr) card_SetCardName(&header, cardName);
  std::vector<TitleEntry> table;
  for (uint16_t i = 0; i < card_LoadedCount(); ++i) table.push_back(*card_LoadedTitle(i));
  CardMatcher matcher = card_NewMatcher(kind, port, slot, header.cardSize, table);
  std::vector<SyncSong> songs;
  for (const SyncSource& source : run->sources) {
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
    return card_TitleHoldsFile(&matcher, title, run->sources[song].prepared.storedPath, songs[song].size, same);
  };
  compare.songsSame = [&](std::size_t a, std::size_t b, bool* same) {
    return card_HostFilesSame(run->sources[a].prepared.storedPath, run->sources[b].prepared.storedPath, same);
  };
  result = card_PlanSync(table, header.cardSize, songs, compare, &run->plan);
  if (result != 0) return result;
  // The rate of what was read so far: the header area and the compared sectors.
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double readBytes =
      static_cast<double>(matcher.sectorsRead + 1 + (card_LoadedCount() * 32u + 511u) / 512u) * SECTOR_SIZE;
  run->measuredRate = elapsed > 0 ? readBytes / elapsed : 0;
  run->seconds = PlanSeconds(run->plan, kind, run->measuredRate);
  return 0;
}

std::vector<std::string> cli_SyncPlanLines(const SyncRun& run, int32_t kind) {
  std::vector<std::string> lines;
  const SyncPlan& plan = run.plan;
  for (const SyncStep& step : plan.steps) {
    const auto size = static_cast<unsigned long long>(step.size);
    switch (step.kind) {
      case SyncStepKind::Keep:
        lines.push_back(Format("  keep    %3u  %10llu bytes  %s (matched %s)", step.title, size, Text(step).c_str(),
                               MatchName(step.matchedBy)));
        break;
      case SyncStepKind::Delete:
        lines.push_back(Format("  delete  %3u  %10llu bytes  %s", step.title, size, Text(step).c_str()));
        if (step.duplicateOf != 0) lines.back() += Format(" (same bytes as title %u)", step.duplicateOf);
        break;
      case SyncStepKind::Add:
        lines.push_back(Format("  add     %3u  %10llu bytes  %s (%s)", step.title, size, Text(step).c_str(),
                               SongPath(run, step).c_str()));
        break;
      case SyncStepKind::Skip:
        lines.push_back(Format("  skip              %s: %s", SongPath(run, step).c_str(), SkipText(run, step).c_str()));
        break;
      case SyncStepKind::Move:
        lines.push_back(Format("  move    %3u  to place %u  %s", step.title, step.to, Text(step).c_str()));
        break;
    }
  }
  lines.push_back(Format(" Keep %u, delete %u, add %u, move %u, skip %u: %llu bytes to send, about %s at %s.",
                         plan.keeps, plan.deletes, plan.adds, plan.moves, plan.skips,
                         static_cast<unsigned long long>(plan.bytesToSend), Duration(run.seconds).c_str(),
                         RateText(kind, run.measuredRate).c_str()));
  return lines;
}

Json cli_SyncPlanJson(const SyncRun& run) {
  const SyncPlan& plan = run.plan;
  Json steps = Json::array();
  for (const SyncStep& step : plan.steps) {
    Json item;
    const std::string song = step.song >= 0 ? SongPath(run, step) : "";
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
        item = {{"kind", "skip"}, {"song", song}, {"reason", SkipText(run, step)}};
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
          {"bytesToSend", plan.bytesToSend}, {"seconds", run.seconds}, {"songs", plan.songCount}};
}

SyncOutcome cli_SyncCarryOut(int32_t kind, int32_t port, int32_t slot, SyncRun& run, bool nameChanged,
                             const SyncHooks& hooks) {
  SyncOutcome outcome;
  std::vector<int64_t> songOf;
  outcome.failure = Execute(kind, port, slot, run, hooks, &songOf, &outcome.wrote);
  outcome.songsOnCard =
      static_cast<uint32_t>(std::count_if(songOf.begin(), songOf.end(), [](int64_t s) { return s >= 0; }));
  if (outcome.failure == 0 && !outcome.wrote && nameChanged) {
    outcome.failure = card_WriteHeader(kind, port, slot, run.header, nullptr);
    outcome.wrote = outcome.failure == 0;
  }
  return outcome;
}

void cli_SyncEnd(SyncRun* run) {
  card_ReleaseTitles();
  media_CloseWorkspace(&run->workspace);
}
