// How a card is brought in step with a list of songs, for --sync and for the
// web page's sync from a folder: the sources' songs prepared as --import
// stores them, the card's header read once, the plan (card/sync_plan.h) over
// titles matched by card/sync_match.h, then the deletes, the adds and the
// moves, each one playlist operation with its own header write on the
// loaded table. Prints nothing: the callers show the plan and report the
// steps through the hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/vexo_types.h"
#include "card/header.h"
#include "card/sync_plan.h"
#include "media/song_prepare.h"
#include "media/songs.h"

struct SyncSource {
  Song song;
  PreparedSong prepared;
  bool stored = false;
};

// One sync from its sources to its end.
struct SyncRun {
  std::vector<SyncSource> sources;
  MediaWorkspace workspace;
  CardHeader header;
  SyncPlan plan;
  double seconds = 0;       // the plan's expected time at the port's rate
  double measuredRate = 0;  // bytes/s of the card's reads while planning
};

// The guards and the songs: every source there and readable, some song
// among them, each song prepared. 0, or the refusal; *badSource is the
// source refused ("" when no source yields a song). Nothing is opened.
VexoResult cli_SyncSources(const std::vector<std::string>& words, bool recursive,
                           const MediaSettings& media, SyncRun* run, std::string* badSource);

// On the open port: the header read once (a blank one on a card without),
// the card's new name and type when given (nullptr, 0: kept), the titles
// matched and the plan made. 0, or the failure of a read.
VexoResult cli_SyncPlan(int32_t kind, int32_t port, int32_t slot, const char* cardName,
                        uint16_t cardType, SyncRun* run);

// The plan in lines of text, one per step and the summary last.
std::vector<std::string> cli_SyncPlanLines(const SyncRun& run, int32_t kind);
// The plan as one JSON object (steps with their kind, title, size, places, matched-by).
nlohmann::ordered_json cli_SyncPlanJson(const SyncRun& run);

struct SyncHooks {
  std::function<bool()> stopWanted;  // asked before each step, besides a signal's stop
  // Before a delete, an add or a move: the step and its line of report.
  std::function<void(const SyncStep&, const std::string& line)> starting;
  // After an add: its result (0, or a refusal that skipped the song).
  std::function<void(const SyncStep&, VexoResult)> added;
};

struct SyncOutcome {
  VexoResult failure = 0;    // what ended it early, or 0
  uint32_t songsOnCard = 0;  // the sources' songs the card now holds
  bool wrote = false;        // some header write was made
};

// Carries out the plan: the deletes, the adds, then the moves that put what
// is on the card into the songs' order (planned afresh when an add was left
// out). None begins once a stop was asked for. A new name or type with
// nothing else to write still goes on the card when nameChanged.
SyncOutcome cli_SyncCarryOut(int32_t kind, int32_t port, int32_t slot, SyncRun& run, bool nameChanged,
                             const SyncHooks& hooks);

// The loaded table released and the prepared songs' private folder removed.
void cli_SyncEnd(SyncRun* run);
