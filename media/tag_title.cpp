#include "media/tag_title.h"

#include <sys/stat.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <algorithm>

std::string media_TagTitle(const std::string& path) {
  // Only a regular file is opened: a FIFO would block the open.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  const TagLib::FileRef file(path.c_str(), false);
  if (file.isNull() || file.tag() == nullptr) return "";
  std::string title = file.tag()->title().to8Bit(true);
  title.erase(std::find(title.begin(), title.end(), '\0'), title.end());
  const auto blank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const auto first = std::find_if_not(title.begin(), title.end(), blank);
  const auto last = std::find_if_not(title.rbegin(), title.rend(), blank).base();
  return first < last ? std::string(first, last) : "";
}
