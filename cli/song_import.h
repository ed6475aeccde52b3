// How songs go on the card for --import and for the web page's "add songs":
// each song is prepared (media/song_prepare.h: its frames without tags, a
// transcode, or its bytes with --keep-tags), then added whole as one MP3
// title, its title from its tags, else the listed title, else its file name.
// The next song is prepared on a worker thread while the current one is
// sent. With --fit every song is prepared first, and when they do not fit
// the card, those above the highest rate at which they fit are prepared
// again at that rate.
// A song that is not audio, or that cannot go on the card, is skipped; other
// failures end the run. Prints nothing: the callers report through the hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "media/song_prepare.h"
#include "media/songs.h"

// One song on its way.
struct SongStep {
  std::size_t index = 0;  // in the song list, from 0
  const Song* song = nullptr;
  PreparedSong prepared;  // action MEDIA_SKIP: not stored, for skipReason
  std::string title;      // in the player's display code, as stored
  VexoResult result = 0;  // the add's result (0 before the add and for a song not stored)
  uint32_t onCard = 0;    // not 0: the song is already on the card as this title (from 1), and not added
  uint32_t wouldBe = 0;   // a dry run: the title (from 1) the song would become, 0 when it would not go on
};

// How an import goes about it.
struct ImportMode {
  bool dryRun = false;  // nothing is written: each song says what would become of it
  bool again = false;   // a song already on the card is added anyway
  // Songs a plan already prepared, in the songs' order (an empty place:
  // prepared here); their stored files are the caller's and stay.
  const std::vector<std::optional<PreparedSong>>* prepared = nullptr;
};

struct ImportHooks {
  std::function<bool()> stopWanted;                 // asked before each song
  std::function<void(const SongStep&)> adding;      // a prepared song, before its data is sent
  std::function<void(const SongStep&)> finished;    // after its add, or its skip
  // --fit, before the first song, when the songs do not fit as prepared: the
  // rate chosen, 0 when they do not fit even at 64 kbit/s (they go on as
  // prepared, as far as they fit).
  std::function<void(int rate)> fitted;
};

struct ImportTotals {
  unsigned added = 0;         // on a dry run: the songs that would be added
  unsigned alreadyOnCard = 0;
  uint64_t tagBytesLeftOut = 0;  // the bytes stripping saved, over the songs added
  VexoResult failure = 0;        // what ended the run early (a stop: TRANSFER STOPPED); 0 when every song was tried
};

// Adds the songs on the open port, in order, but for those whose bytes a
// title already holds (card/sync_match.h; unless mode.again), or none on a
// dry run. progress: as card_AddTitle's.
ImportTotals cli_ImportSongs(int32_t kind, int32_t port, int32_t slot, uint16_t cardType,
                             const char* cardName, const std::vector<Song>& songs,
                             const MediaSettings& settings, int progress, const ImportHooks& hooks,
                             const ImportMode& mode = {});

// A failure that concerns one song only: it is skipped and the import goes on.
bool cli_IsSongRefusal(VexoResult result);
