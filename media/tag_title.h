// The title tag of a song file in any format TagLib reads (MP3's ID3v2 and
// ID3v1, FLAC and Ogg comments, MP4 atoms, WAV's INFO and ID3 chunks, ...),
// as UTF-8 without surrounding blanks. The fallbacks (the playlist's title,
// the file name) are the caller's.
//
// Includes only the standard library and TagLib; it only reads the file.
#pragma once

#include <string>

// The title tag's text, empty when the file has none or is not a regular file.
std::string media_TagTitle(const std::string& path);
