// Playlist files (.m3u, .m3u8 by the first byte): the songs they list and
// their titles (tags are read only from the files of the fuzz folder).
#include <cstdint>
#include <string>
#include <vector>

#include "target_support.h"
#include "media/songs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A song with a title tag (ID3v2.3, TIT2 "Tagged") for entries to name.
  const uint8_t tagged[] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 17, 'T', 'I', 'T', '2', 0, 0, 0, 7, 0, 0,
                            0, 'T', 'a', 'g', 'g', 'e', 'd', 0xFF, 0xFB, 0x90, 0x64};
  vexo_fuzz::WriteFile("a.mp3", tagged, sizeof tagged);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string list = vexo_fuzz::WriteFile((data[0] & 1) != 0 ? "list.m3u8" : "list.m3u", data + 1, size - 1);
  const std::vector<Song> songs = song_Expand({list});
  std::size_t lines = 1;
  for (std::size_t i = 1; i < size; ++i) lines += data[i] == '\n' ? 1 : 0;
  FUZZ_CHECK(songs.size() <= lines, "more songs than lines");
  const std::string inside = vexo_fuzz::Folder() + "/";
  for (const Song& song : songs) {
    FUZZ_CHECK(!song.path.empty(), "a song without a path");
    if (song.path.rfind(inside, 0) == 0 && song.path.find("..") == std::string::npos) song_Title(song);
  }
  return 0;
}
