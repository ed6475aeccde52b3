// The web session's card operations, run on its worker thread: the listing,
// the header changes, the uploaded songs added as the import adds them, the
// sync from a folder as --sync does it, and the copies from the card offered
// as downloads.

#include <sys/stat.h>

#include <cstdio>

#include "base/result_codes.h"
#include "card/charset.h"
#include "card/playlist.h"
#include "cli/commands.h"
#include "cli/listing_json.h"
#include "cli/song_import.h"
#include "cli/song_sync.h"
#include "cli/web_http.h"
#include "cli/web_state.h"
#include "host/pauses.h"
#include "media/songs.h"
#include "transport/transport.h"

WebOutcome WebSession::State::Listing() {
  VexoResult result = 0;
  Json listing = cli_CardListing(config.kind, config.port, config.slot, &result);
  vexo_SettleDelay(config.kind);
  if (result == 0 || result == -VEXO_ERROR_NO_VALID_HEADER) {
    freeBytes = result == 0 ? listing["freeBytes"].get<uint64_t>()
                            : listing["cardSize"].get<uint64_t>();
    cardSize = listing["cardSize"].get<uint64_t>();
    std::lock_guard<std::mutex> lock(filesMutex);
    lastListing = listing;
    return {0, listing};
  }
  return {result, Json()};
}

// A header operation, then the card as it now stands.
WebOutcome WebSession::State::Change(VexoResult result) {
  vexo_SettleDelay(config.kind);
  if (result != 0) return {result, Json()};
  return Listing();
}

uint64_t WebSession::State::ReservedBytes() {
  uint64_t total = 0;
  for (const auto& [id, file] : uploads) {
    if (!file.restore) total += file.size;
  }
  return total;
}

std::string WebSession::State::NewFilePath(const char* prefix, uint64_t* id) {
  *id = nextFile++;
  return folder + "/" + prefix + std::to_string(*id);
}

namespace {

// A prepared song's file in the private folder (not the upload itself, not
// a cache entry) goes with its upload.
void DropPrepared(const std::string& folder, const std::string& upload, const std::optional<PreparedSong>& song) {
  if (song && song->storedPath != upload && song->storedPath.rfind(folder + "/", 0) == 0) {
    std::remove(song->storedPath.c_str());
  }
}

// A prepared song whose stored bytes are still there as they were (a cache
// entry may have been dropped since).
bool StillThere(const PreparedSong& song) {
  struct stat info {};
  return song.action == MEDIA_SKIP ||
         (stat(song.storedPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
          static_cast<uint64_t>(info.st_size) == song.storedSize);
}

}  // namespace

void WebSession::State::DropFile(std::map<uint64_t, HostFile>& files, uint64_t id) {
  const auto found = files.find(id);
  if (found == files.end()) return;
  std::remove(found->second.path.c_str());
  DropPrepared(folder, found->second.path, found->second.prepared);
  files.erase(found);
}

void WebSession::State::PrepareUploads(const std::vector<uint64_t>& ids) {
  std::vector<uint64_t> missing;
  std::vector<std::string> paths;
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    for (uint64_t id : ids) {
      const auto found = uploads.find(id);
      if (found == uploads.end() || found->second.restore) continue;
      HostFile& file = found->second;
      if (file.prepared && !StillThere(*file.prepared)) file.prepared.reset();
      if (file.prepared) continue;
      missing.push_back(id);
      paths.push_back(file.path);
    }
  }
  if (missing.empty()) return;
  MediaWorkspace workspace{folder};
  std::vector<PreparedSong> prepared = media_PrepareSongs(paths, MediaSettings{}, &workspace);
  std::lock_guard<std::mutex> lock(filesMutex);
  for (std::size_t i = 0; i < missing.size(); ++i) {
    const auto found = uploads.find(missing[i]);
    if (found == uploads.end()) {
      DropPrepared(folder, paths[i], prepared[i]);  // removed meanwhile
    } else {
      found->second.prepared = std::move(prepared[i]);
    }
  }
}

// The plan of an add: each song with the bytes vexo stores for it, added
// while they fit the free space.
WebOutcome WebSession::State::AddPlan(const std::vector<uint64_t>& ids) {
  WebOutcome listing = Listing();
  if (listing.result != 0) return listing;
  PrepareUploads(ids);
  uint64_t room = freeBytes;
  uint64_t total = 0;
  Json steps = Json::array();
  std::lock_guard<std::mutex> lock(filesMutex);
  for (uint64_t id : ids) {
    const auto found = uploads.find(id);
    if (found == uploads.end() || !found->second.prepared) continue;
    const HostFile& file = found->second;
    const PreparedSong& song = *file.prepared;
    const bool stored = song.action != MEDIA_SKIP;
    const bool fits = stored && song.storedSize <= room;
    if (fits) {
      room -= song.storedSize;
      total += song.storedSize;
    }
    steps.push_back({{"upload", id}, {"name", file.name}, {"size", song.storedSize},
                     {"uploadSize", file.size}, {"action", fits ? "add" : "skip"},
                     {"how", stored ? media_Describe(song) : ""},
                     {"message", fits     ? ""
                                 : stored ? vexo_ResultMessage(-VEXO_ERROR_CARD_FULL)
                                          : song.skipReason}});
  }
  return {0, {{"steps", steps}, {"bytes", total}, {"freeAfter", room}}};
}

bool WebSession::State::StopWanted() const { return vexo_StopRequested() || worker->StopRequested(); }

// The uploaded songs, each prepared and added as --import adds it; a song
// that is not audio or cannot go on the card is reported and skipped.
WebOutcome WebSession::State::AddSongs(const std::vector<uint64_t>& ids) {
  std::vector<uint64_t> taken;
  std::vector<std::string> names;
  std::vector<Song> list;
  // What the plan prepared is not prepared again.
  std::vector<std::optional<PreparedSong>> prepared;
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    for (uint64_t id : ids) {
      const auto found = uploads.find(id);
      if (found == uploads.end() || found->second.restore) continue;
      HostFile& file = found->second;
      taken.push_back(id);
      names.push_back(file.name);
      list.push_back(Song{file.path, web_Stem(file.name)});
      if (file.prepared && !StillThere(*file.prepared)) file.prepared.reset();
      prepared.push_back(file.prepared);
    }
  }
  Json songs = Json::array();
  ImportHooks hooks;
  hooks.stopWanted = [this] { return worker->StopRequested(); };
  hooks.adding = [&](const SongStep& step) {
    worker->SetStep({std::to_string(step.index + 1) + " of " + std::to_string(list.size()) + ": " +
                         title_ToUtf8(step.title.c_str()),
                     step.prepared.storedSize});
  };
  hooks.finished = [&](const SongStep& step) {
    const bool skipped = step.prepared.action == MEDIA_SKIP;
    // A song that is not audio has no result code of its own: it could not
    // be read as a song.
    const VexoResult result = skipped ? -VEXO_ERROR_FILE_READ : step.result;
    songs.push_back({{"name", names[step.index]}, {"title", title_ToUtf8(step.title.c_str())},
                     {"action", media_Describe(step.prepared)}, {"result", -result},
                     {"message", skipped ? step.prepared.skipReason : vexo_ResultMessage(result)}});
    std::lock_guard<std::mutex> lock(filesMutex);
    DropFile(uploads, taken[step.index]);
  };
  ImportMode mode;
  mode.prepared = &prepared;
  const ImportTotals totals = cli_ImportSongs(config.kind, config.port, config.slot, 0, nullptr, list,
                                              MediaSettings{}, 0, hooks, mode);
  vexo_SettleDelay(config.kind);
  return {totals.failure, {{"added", totals.added}, {"of", ids.size()}, {"songs", songs}}};
}

// A copy from the card into the private folder, offered as a download.
WebOutcome WebSession::State::CopyFromCard(const std::string& name, uint64_t bytes,
                                           const std::function<VexoResult(const char*)>& copy) {
  uint64_t id = 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(filesMutex);
    while (!downloads.empty()) DropFile(downloads, downloads.begin()->first);
    path = NewFilePath("download-", &id);
  }
  worker->SetStep({name, bytes});
  VexoResult result = copy(path.c_str());
  vexo_SettleDelay(config.kind);
  // The driver clears its stop flag when its copy begins, so a stop asked
  // for while the header was still being read would be lost: a copy the
  // user stopped is never offered, however far it got.
  if (result == 0 && StopWanted()) result = -VEXO_ERROR_TRANSFER_STOPPED;
  if (result != 0) {
    std::remove(path.c_str());
    return {result, Json()};
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {-VEXO_ERROR_FILE_CREATE, Json()};
  std::lock_guard<std::mutex> lock(filesMutex);
  downloads[id] = HostFile{path, name, static_cast<uint64_t>(info.st_size), false, std::nullopt};
  return {0, {{"download", id}, {"name", name}, {"size", info.st_size}}};
}

namespace {

// The folder's songs prepared and the plan made on the card as it stands.
VexoResult PlanFolder(const WebConfig& config, const std::string& folder, SyncRun* run) {
  std::string bad;
  const VexoResult result = cli_SyncSources({folder}, false, MediaSettings{}, run, &bad);
  return result != 0 ? result : cli_SyncPlan(config.kind, config.port, config.slot, nullptr, 0, run);
}

}  // namespace

// The plan of a sync with the songs of `folder`: the command line's plan,
// its lines as --sync prints them, and whether it deletes every title.
WebOutcome WebSession::State::PlanSync(const std::string& folder) {
  SyncRun run;
  const VexoResult result = PlanFolder(config, folder, &run);
  Json plan;
  if (result == 0) {
    plan = cli_SyncPlanJson(run);
    plan["lines"] = cli_SyncPlanLines(run, config.kind);
    plan["deletesAll"] = run.plan.deletesAll();
  }
  cli_SyncEnd(&run);
  vexo_SettleDelay(config.kind);
  return {result, plan};
}

// The sync itself, step by step as --sync does it; the page follows each
// step, a stop ends it after the step in progress.
WebOutcome WebSession::State::SyncFolder(const std::string& folder, bool force) {
  SyncRun run;
  worker->SetStep({"preparing the songs and comparing them with the card", 0});
  VexoResult result = PlanFolder(config, folder, &run);
  if (result == 0 && run.plan.deletesAll() && !force) result = -VEXO_ERROR_DELETES_ALL;
  SyncOutcome outcome;
  outcome.failure = result;
  if (result == 0) {
    SyncHooks hooks;
    hooks.stopWanted = [this] { return worker->StopRequested(); };
    hooks.starting = [this](const SyncStep& step, const std::string&) {
      const std::string title = title_ToUtf8(step.text.c_str());
      if (step.kind == SyncStepKind::Delete) {
        worker->SetStep({"deleting title " + std::to_string(step.title) + ": " + title, 0});
      } else if (step.kind == SyncStepKind::Add) {
        worker->SetStep({"adding " + title, step.size});
      } else {
        worker->SetStep({"moving title " + std::to_string(step.title) + " to place " + std::to_string(step.to) +
                             ": " + title, 0});
      }
    };
    outcome = cli_SyncCarryOut(config.kind, config.port, config.slot, run, false, hooks);
    if (outcome.wrote) cli_ReleaseAdapterLines(config.kind, config.port, config.slot);
  }
  const uint32_t songs = run.plan.songCount;
  cli_SyncEnd(&run);
  vexo_SettleDelay(config.kind);
  if (outcome.failure != 0) return {outcome.failure, Json()};
  const WebOutcome listing = Listing();  // the free space as it now stands
  if (listing.result != 0) return listing;
  return {0, {{"songsOnCard", outcome.songsOnCard}, {"songs", songs}}};
}
