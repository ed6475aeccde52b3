// The web session's card operations, run on its worker thread: the listing,
// the header changes, the uploaded songs added as the import adds them, and
// the copies from the card offered as downloads.

#include <sys/stat.h>

#include <cstdio>

#include "base/result_codes.h"
#include "card/charset.h"
#include "card/playlist.h"
#include "cli/listing_json.h"
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

void WebSession::State::DropFile(std::map<uint64_t, HostFile>& files, uint64_t id) {
  const auto found = files.find(id);
  if (found == files.end()) return;
  std::remove(found->second.path.c_str());
  files.erase(found);
}

bool WebSession::State::StopWanted() const { return vexo_StopRequested() || worker->StopRequested(); }

// The uploaded songs, each added whole as --import adds it; a song that
// cannot go on the card is reported and skipped.
WebOutcome WebSession::State::AddSongs(const std::vector<uint64_t>& ids) {
  Json songs = Json::array();
  unsigned added = 0;
  VexoResult failure = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    HostFile file;
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      const auto found = uploads.find(ids[i]);
      if (found == uploads.end() || found->second.restore) continue;
      file = found->second;
    }
    if (StopWanted()) {
      failure = -VEXO_ERROR_TRANSFER_STOPPED;
      break;
    }
    const std::string title = title_FromUtf8(song_Title(Song{file.path, web_Stem(file.name)}));
    worker->SetStep({std::to_string(i + 1) + " of " + std::to_string(ids.size()) + ": " +
                         title_ToUtf8(title.c_str()),
                     file.size});
    const VexoResult result =
        card_AddTitle(config.kind, config.port, config.slot, 0, nullptr, file.path.c_str(),
                      title.c_str(), 0, IsMp3FileName(file.name.c_str()) ? 1 : 2);
    songs.push_back({{"name", file.name}, {"title", title_ToUtf8(title.c_str())},
                     {"result", -result}, {"message", vexo_ResultMessage(result)}});
    {
      std::lock_guard<std::mutex> lock(filesMutex);
      DropFile(uploads, ids[i]);
    }
    if (result == 0) {
      ++added;
    } else if (!IsSongRefusal(result) || StopWanted()) {
      failure = StopWanted() ? -VEXO_ERROR_TRANSFER_STOPPED : result;
      break;
    }
  }
  vexo_SettleDelay(config.kind);
  return {failure, {{"added", added}, {"of", ids.size()}, {"songs", songs}}};
}

bool WebSession::State::IsSongRefusal(VexoResult result) {
  switch (-result) {
    case VEXO_ERROR_FILE_NOT_EXIST:
    case VEXO_ERROR_FILE_SIZE_ZERO:
    case VEXO_ERROR_FILE_NOT_OPEN:
    case VEXO_ERROR_FILE_READ:
    case VEXO_ERROR_NOT_REGULAR_FILE:
    case VEXO_ERROR_CARD_FULL:
      return true;
    default:
      return false;
  }
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
  downloads[id] = HostFile{path, name, static_cast<uint64_t>(info.st_size), false};
  return {0, {{"download", id}, {"name", name}, {"size", info.st_size}}};
}
