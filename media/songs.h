// Folder media/: songs from folders and playlists and their titles (tags);
// knows no card and no port. May include: base/ and host/.
//
// The songs an import names, and the title each one carries. A source is a
// song file, a folder (its audio files of any format, found by probing their
// content, and the files whose names say they are songs; hidden files left
// out; in name order, with subfolders only when asked) or a playlist (.m3u,
// .m3u8: its entries in order, paths relative to the playlist's folder). A
// song's title is its title tag (media/tag_title.h: every format TagLib
// reads), else the playlist's #EXTINF title, else its file name without the
// extension; the text is returned as the host holds it (tags in UTF-8),
// converting it for the card is the caller's.
//
// This module reads host folders, playlists and tags (and probes files); it writes nothing,
// prints nothing and never touches the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Song {
  std::string path;
  std::string listedTitle;  // from the playlist's #EXTINF line, or empty
};

// The songs of the sources, in order. A source that is neither a folder nor
// a playlist is taken as a song, whatever it is: adding it says what is wrong.
// With recursive, a folder's subfolders are walked too, in path order (each
// where its name sorts among the folder's files).
std::vector<Song> song_Expand(const std::vector<std::string>& sources, bool recursive = false);

// Whether a source can be walked: 0, -SOURCE_NOT_FOUND when nothing is at
// the path, -SOURCE_NOT_READABLE when it (a folder: its listing) cannot be read.
int32_t song_CheckSource(const std::string& source);

// The song's title; tags are read only from regular files.
std::string song_Title(const Song& song);

// True when the name's last point is followed by "mp3" (any case of m and p).
bool IsMp3FileName(const char* name);
