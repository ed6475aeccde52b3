#include "media/songs.h"

#include <sys/stat.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

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

// The folder's MP3 files in name order; a folder that cannot be read gives
// none of them.
void AddFolder(const std::string& folder, std::vector<Song>* songs) {
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code statError;
    if (IsMp3FileName(name.c_str()) && !fs::is_directory(it->path(), statError)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) songs->push_back({(fs::path(folder) / name).string(), ""});
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

std::vector<Song> song_Expand(const std::vector<std::string>& sources) {
  std::vector<Song> songs;
  for (const std::string& source : sources) {
    std::error_code error;
    if (fs::is_directory(source, error)) {
      AddFolder(source, &songs);
    } else if (IsPlaylistName(source) && IsRegularFile(source)) {
      AddPlaylist(source, &songs);
    } else {
      songs.push_back({source, ""});
    }
  }
  return songs;
}

std::string song_Title(const Song& song) {
  // Only a regular file is opened: a FIFO would block the open.
  if (IsRegularFile(song.path)) {
    const TagLib::FileRef file(song.path.c_str(), false);
    if (!file.isNull() && file.tag() != nullptr) {
      std::string tagged = Trimmed(file.tag()->title().to8Bit(true));
      tagged.erase(std::find(tagged.begin(), tagged.end(), '\0'), tagged.end());
      if (!tagged.empty()) return tagged;
    }
  }
  if (!song.listedTitle.empty()) return song.listedTitle;
  return fs::path(song.path).stem().string();
}
