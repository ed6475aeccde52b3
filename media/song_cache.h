// The cache of prepared songs: one folder, each entry a file of the stored
// bytes (KEY.mp3) and a small record beside it (KEY.sum) holding the key, the
// size, the CRC-32 of the bytes and a caller's note line. An entry is used
// only when its record, size and CRC agree; a damaged one is removed. Entries
// are written under temporary names and renamed into place, so concurrent
// runs and cuts never leave a half entry under a real name; past the limit
// the entries used longest ago are dropped first.
//
// Includes only the standard library and libavutil (CRC-32); it touches only
// files in its folder.
#pragma once

#include <cstdint>
#include <string>

constexpr uint64_t kMediaCacheLimit = 1ull << 30;

// The folder: `configured` when given, else $XDG_CACHE_HOME/vexo, else
// $HOME/.cache/vexo; empty when there is none.
std::string media_CacheDir(const std::string& configured);

// The verified entry for `key` (letters, digits, '.', '-' and '_' only): the
// path of its bytes and its note. Marks the entry as just used.
bool media_CacheFind(const std::string& dir, const std::string& key, std::string* path, std::string* note);

// A new empty file in the folder (made when missing), open for writing.
bool media_CacheTemp(const std::string& dir, std::string* tempPath, int* fd);

// Makes the written temporary file the entry for `key`, with `note` (one
// line), then drops the oldest entries while the folder holds more than
// `limit` bytes. The temporary file is gone afterwards, either way.
bool media_CacheStore(const std::string& dir, const std::string& key, const std::string& tempPath,
                      const std::string& note, uint64_t limit, std::string* path);
