// What vexo stores for a song: the one function both the import and the sync
// use. An MP3 inside the player's profile (MPEG-1 Layer III, 32, 44.1 or
// 48 kHz, mono or stereo, 32 to 320 kbit/s, constant or variable rate) is
// stored as its MPEG frames byte for byte, without tags or junk; anything
// else audio is transcoded (media/transcode.h); what is not audio is skipped.
// The stored bytes depend only on the source's bytes and the settings.
// Prepared bytes live in the cache (media/song_cache.h) or in a private
// workspace folder. Owns the choice of action, the cache key, the report
// word and the --fit rate.
//
// Includes only the standard library and the other media/ modules; it knows
// no card and no port, reads host files and writes only the cache and the
// workspace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct MediaSettings {
  int bitrate = 0;        // --bitrate N (kbit/s, standard values 32..320); 0: none given (transcodes use 128)
  bool keepTags = false;  // --keep-tags: an MP3 inside the profile is stored as its file's bytes
  bool useCache = true;   // --no-cache clears it
  bool fit = false;       // --fit: for the caller's plan (media_FitBitrate); media_PrepareSong does not read it
  std::string cacheDir;   // empty: $XDG_CACHE_HOME/vexo, else $HOME/.cache/vexo
  uint64_t cacheLimit = 1ull << 30;  // bytes the cache folder may hold
};

enum MediaAction { MEDIA_COPY, MEDIA_STRIP, MEDIA_TRANSCODE, MEDIA_SKIP };

struct PreparedSong {
  MediaAction action = MEDIA_SKIP;
  std::string storedPath;   // a regular file whose whole content is the bytes to store (the source itself for MEDIA_COPY; a cache file or a file in the workspace otherwise)
  uint64_t storedSize = 0;
  uint64_t sourceSize = 0;
  std::string sourceFormat; // "MP3", "FLAC", "Vorbis", "Opus", "AAC", "WAV", ...
  int bitrate = 0;          // kbit/s of a transcode
  int sourceBitrate = 0;    // kbit/s of an MP3 inside the profile (the average when variable)
  double duration = 0;      // seconds
  bool fromCache = false;
  std::string skipReason;   // for MEDIA_SKIP: "not audio", or the decoder's reason in a few words
};

// A private temporary folder for prepared bytes that are not cached (--no-cache); removed by media_CloseWorkspace.
struct MediaWorkspace {
  std::string dir;
};
bool media_OpenWorkspace(MediaWorkspace* ws);
void media_CloseWorkspace(MediaWorkspace* ws);

// What vexo stores for the song at `path` under `settings`: true when the
// song is stored (copy, strip or transcode), false with MEDIA_SKIP and a
// reason otherwise (not audio, not decodable, unreadable, nowhere to write).
// Deterministic and thread-safe; `ws` may be null when every song either is
// a copy or goes into the cache.
bool media_PrepareSong(const std::string& path, const MediaSettings& settings, MediaWorkspace* ws,
                       PreparedSong* out);

// Prepares many songs with one worker per core, results in the order of `paths`.
std::vector<PreparedSong> media_PrepareSongs(const std::vector<std::string>& paths,
                                             const MediaSettings& settings, MediaWorkspace* ws);

// The report word of a prepared song: "copy", "copy without tags (−312 KB)",
// "transcode FLAC → MP3 128 kbit/s", or "skip: " and the reason.
std::string media_Describe(const PreparedSong& song);

// At most the bytes LAME writes for `duration` seconds at `bitrate` kbit/s.
uint64_t media_TranscodedSizeBound(double duration, int bitrate);

// Whether `song` (prepared) is stored above `rate` kbit/s: a transcode at a
// higher rate, or an MP3 kept whose average rate is higher. --fit prepares
// these again at `rate`; the others keep what they were prepared as.
bool media_AboveRate(const PreparedSong& song, int rate);

// --fit: the highest standard rate from 320 down to 64 at which `fits`
// accepts the sizes of the stored songs (skipped ones left out, in order)
// once every song above the rate is transcoded to it (sizes from
// media_TranscodedSizeBound); 0 when it accepts none.
int media_FitBitrate(const std::vector<PreparedSong>& songs,
                     const std::function<bool(const std::vector<uint64_t>& sizes)>& fits);
