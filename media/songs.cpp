#include "media/songs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <utility>

#include "base/vexo_types.h"
#include "media/audio_probe.h"
#include "media/tag_title.h"

namespace {

namespace fs = std::filesystem;

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<long>(suffix.size()),
                    [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b + 32 : b); });
}

bool IsPlaylistName(const std::string& path) {
  return EndsWithNoCase(path, ".m3u") || EndsWithNoCase(path, ".m3u8");
}

std::string Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// Names that say the file is a song: such a file is offered without a
// probe, so one that turns out not to be audio is reported, not passed over.
bool IsSongName(const std::string& name) {
  static const char* const kSongNames[] = {".mp3", ".mp2", ".flac", ".ogg", ".oga", ".opus", ".m4a",
                                           ".aac", ".wav", ".wma", ".aif", ".aiff", ".ape", ".wv"};
  for (const char* suffix : kSongNames) {
    if (EndsWithNoCase(name, suffix)) return true;
  }
  return false;
}

struct FolderWalk {
  bool recursive = false;
  std::set<std::pair<dev_t, ino_t>> visited;  // folders seen, so a link back up ends the walk
  std::vector<Song>* songs = nullptr;
};

// The folder's audio files in name order, hidden files left out; with
// recursive, its subfolders in the same order, each where its name sorts.
// A folder that cannot be read gives none of them.
void AddFolder(const std::string& folder, FolderWalk* walk) {
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !walk->visited.insert({info.st_dev, info.st_ino}).second) return;
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = (fs::path(folder) / name).string();
    if (stat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (walk->recursive) AddFolder(path, walk);
    } else if (S_ISREG(info.st_mode) && (IsSongName(name) || media_IsAudioFile(path))) {
      walk->songs->push_back({path, ""});
    }
  }
}

// "#EXTINF:<seconds> [attributes],<title>": the title follows the first comma
// outside quoted attribute values.
std::string ExtinfTitle(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ',' && !quoted) return Trimmed(line.substr(i + 1));
  }
  return "";
}

void AddPlaylist(const std::string& playlist, std::vector<Song>* songs) {
  std::ifstream in(playlist, std::ios::binary);
  const fs::path folder = fs::path(playlist).parent_path();
  std::string line;
  std::string listedTitle;
  bool first = true;
  while (std::getline(in, line)) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // a UTF-8 byte-order mark
    first = false;
    const std::string entry = Trimmed(line);
    if (entry.rfind("#EXTINF:", 0) == 0) {
      listedTitle = ExtinfTitle(entry);
    } else if (!entry.empty() && entry[0] != '#') {
      const fs::path path(entry);
      songs->push_back({(path.is_absolute() ? path : folder / path).string(), listedTitle});
      listedTitle.clear();
    }
  }
}

}  // namespace

bool IsMp3FileName(const char* name) {
  if (name == nullptr) return false;
  const char* point = std::strrchr(name, '.');
  if (point == nullptr) return false;
  // Each test stops at the terminator, so nothing past it is read.
  return (point[1] == 'm' || point[1] == 'M') && (point[2] == 'p' || point[2] == 'P') &&
         point[3] == '3';
}

std::vector<Song> song_Expand(const std::vector<std::string>& sources, bool recursive) {
  std::vector<Song> songs;
  for (const std::string& source : sources) {
    std::error_code error;
    if (fs::is_directory(source, error)) {
      FolderWalk walk;
      walk.recursive = recursive;
      walk.songs = &songs;
      AddFolder(source, &walk);
    } else if (IsPlaylistName(source) && IsRegularFile(source)) {
      AddPlaylist(source, &songs);
    } else {
      songs.push_back({source, ""});
    }
  }
  return songs;
}

std::string song_Title(const Song& song) {
  std::string tagged = media_TagTitle(song.path);
  if (!tagged.empty()) return tagged;
  if (!song.listedTitle.empty()) return song.listedTitle;
  return fs::path(song.path).stem().string();
}

int32_t song_CheckSource(const std::string& source) {
  struct stat info;
  if (stat(source.c_str(), &info) != 0) {
    return errno == EACCES ? -VEXO_ERROR_SOURCE_NOT_READABLE : -VEXO_ERROR_SOURCE_NOT_FOUND;
  }
  const int wanted = S_ISDIR(info.st_mode) ? R_OK | X_OK : R_OK;
  return access(source.c_str(), wanted) == 0 ? 0 : -VEXO_ERROR_SOURCE_NOT_READABLE;
}
