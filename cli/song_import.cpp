#include "cli/song_import.h"

#include <unistd.h>

#include "card/charset.h"
#include "card/playlist.h"
#include "host/pauses.h"

namespace {

// The stored bytes of a song, once on the card, are needed no more when
// they are a file of the run's workspace (a cache entry stays).
void DropWorkspaceFile(const MediaWorkspace& ws, const PreparedSong& prepared) {
  if (ws.dir.empty() || prepared.action == MEDIA_COPY) return;
  if (prepared.storedPath.rfind(ws.dir + "/", 0) == 0) unlink(prepared.storedPath.c_str());
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
                             const MediaSettings& settings, int progress, const ImportHooks& hooks) {
  ImportTotals totals;
  // Where prepared songs go that the cache does not take (--no-cache, a cache
  // folder that cannot be written).
  MediaWorkspace ws;
  media_OpenWorkspace(&ws);
  for (std::size_t i = 0; i < songs.size(); ++i) {
    if (vexo_StopRequested() || (hooks.stopWanted && hooks.stopWanted())) {
      totals.failure = -VEXO_ERROR_TRANSFER_STOPPED;
      break;
    }
    SongStep step;
    step.index = i;
    step.song = &songs[i];
    const bool stored = media_PrepareSong(songs[i].path, settings, ws.dir.empty() ? nullptr : &ws, &step.prepared);
    if (stored) {
      step.title = title_FromUtf8(song_Title(songs[i]));
      if (hooks.adding) hooks.adding(step);
      // The stored bytes are always an MP3, whatever the source's name.
      step.result = card_AddTitle(kind, port, slot, cardType, cardName, step.prepared.storedPath.c_str(),
                                  step.title.c_str(), progress, 1);
      DropWorkspaceFile(ws, step.prepared);
    }
    if (hooks.finished) hooks.finished(step);
    if (!stored) continue;
    if (step.result == 0) {
      ++totals.added;
      if (step.prepared.action == MEDIA_STRIP && step.prepared.sourceSize > step.prepared.storedSize) {
        totals.tagBytesLeftOut += step.prepared.sourceSize - step.prepared.storedSize;
      }
    } else if (!cli_IsSongRefusal(step.result)) {
      totals.failure = vexo_StopRequested() ? -VEXO_ERROR_TRANSFER_STOPPED : step.result;
      break;
    }
  }
  media_CloseWorkspace(&ws);
  return totals;
}
