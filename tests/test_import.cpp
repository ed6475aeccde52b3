// --import end to end: the songs a folder offers (by probing, hidden files
// left out, subfolders with --recursive), what is stored for each format
// (the prepared bytes, read back from the card), the report lines, titles
// from every kind of tag, skipped songs, a stop between songs; --add beside
// it still stores a file's bytes as they are.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "host/pauses.h"
#include "host/trace.h"
#include "media/song_prepare.h"
#include "media/songs.h"
#include "media/transcode.h"
#include "support/test_audio.h"
#include "support/test_support.h"

namespace {

using namespace vexo_test;
namespace fs = std::filesystem;

std::string Unprogressed(const std::string& out) {
  return std::regex_replace(out, std::regex(" [0-9]+ / [0-9]+ \\([0-9]+%\\) \r"), "");
}

// The titles of an image as --json lists them, each with its bytes.
struct StoredTitle {
  std::string title;
  Bytes bytes;
};
std::vector<StoredTitle> StoredTitles(const std::vector<std::string>& port) {
  std::vector<StoredTitle> titles;
  const nlohmann::json listing = nlohmann::json::parse(RunVexo(port, {"--json"}).out);
  for (const nlohmann::json& entry : listing.value("titles", nlohmann::json::array())) {
    titles.push_back({entry["title"].get<std::string>(),
                      ReadRange(port[1], entry["start"].get<uint64_t>(), entry["size"].get<std::size_t>())});
  }
  return titles;
}

// The bytes vexo stores for a song, prepared afresh without the cache.
Bytes Prepared(const std::string& path, const MediaSettings& given = {}) {
  MediaSettings settings = given;
  settings.useCache = false;
  MediaWorkspace ws;
  EXPECT_TRUE(media_OpenWorkspace(&ws));
  PreparedSong song;
  Bytes bytes;
  if (media_PrepareSong(path, settings, &ws, &song)) bytes = ReadFile(song.storedPath);
  media_CloseWorkspace(&ws);
  return bytes;
}

class Import : public testing::Test {
 protected:
  static inline TempDir* songs = nullptr;
  static inline Bytes frames;  // the MPEG frames of tagged.mp3 and plain.mp3

  static void SetUpTestSuite() {
    songs = new TempDir;
    frames = WriteTestSongs(songs->path());
  }
  static void TearDownTestSuite() {
    delete songs;
    songs = nullptr;
  }
  void SetUp() override { UseNoDelay(); }

  std::string Song(const std::string& name) const { return songs->File(name); }
  std::vector<std::string> Port() const { return {"ros", image}; }
  RunResult Run(const std::vector<std::string>& args) const { return RunVexo(Port(), args); }

  TempDir dir;
  std::string image = dir.File("card.ros");
};

// A folder of every format: each song stored as prepared (a strip is exactly
// the source's frames), the text file skipped with its line, each title from
// the song's tags (the container's own for every format) or its name.
TEST_F(Import, EveryFormatOfAFolderIsStoredAsPreparedOrSkipped) {
  struct Case {
    const char* file;
    const char* report;  // the line after "Adding file:", or the skip line
    const char* title;
  };
  const Case cases[] = {
      {"mpeg2.mp3", " transcode MP3 \u2192 MP3 128 kbit/s", "mpeg2"},
      {"plain.mp3", " copy", "plain"},
      {"tagged.mp3", " copy without tags (\u221224 KB)", "Tone"},
      {"text.mp3", " Skipped: not audio", nullptr},
      {"tone.flac", " transcode FLAC \u2192 MP3 128 kbit/s", "Tone in FLAC"},
      {"tone.m4a", " transcode AAC \u2192 MP3 128 kbit/s", "Tone in M4A"},
      {"tone.ogg", " transcode Vorbis \u2192 MP3 128 kbit/s", "Tone in OGG"},
      {"tone.opus", " transcode Opus \u2192 MP3 128 kbit/s", "Tone in OPUS"},
      {"tone.wav", " transcode WAV \u2192 MP3 128 kbit/s", "tone"},  // FFmpeg writes no title TagLib finds
  };
  std::string expected;
  for (const Case& c : cases) {
    expected += " Adding file: " + Song(c.file) + "\n" + c.report + "\n";
    if (c.title != nullptr) expected += " " + kDone;
  }
  const uint64_t tagBytes = ReadFile(Song("tagged.mp3")).size() - frames.size();
  expected += "\n Imported 8 of 9 songs.\n Tags left out: " + std::to_string(tagBytes) + " bytes.\n";
  const RunResult run = Run({"--import", songs->path(), "--again"});  // plain.mp3 and tagged.mp3 store the same bytes
  EXPECT_EQ(Unprogressed(run.out), expected);

  const std::vector<StoredTitle> titles = StoredTitles(Port());
  std::size_t at = 0;
  for (const Case& c : cases) {
    if (c.title == nullptr) continue;
    SCOPED_TRACE(c.file);
    ASSERT_LT(at, titles.size());
    EXPECT_EQ(titles[at].title, c.title);
    EXPECT_TRUE(titles[at].bytes == Prepared(Song(c.file))) << "the prepared bytes";
    // Every title starts with an MPEG-1 Layer III frame header: no tag bytes.
    ASSERT_GE(titles[at].bytes.size(), 4u);
    EXPECT_EQ(titles[at].bytes[0], 0xFF);
    EXPECT_EQ(titles[at].bytes[1] & 0xFE, 0xFA);
    ++at;
  }
  EXPECT_EQ(at, titles.size());
  EXPECT_TRUE(titles.at(2).bytes == frames) << "the strip keeps the frames exactly";
  EXPECT_TRUE(titles.at(1).bytes == frames) << "an MP3 without tags is stored as it is";

  // --add stores the file's own bytes, tags and all.
  EXPECT_EQ(Unprogressed(Run({"--add", Song("tagged.mp3"), "Whole"}).out),
            "\n Adding file: " + Song("tagged.mp3") + "\n " + kDone);
  const std::vector<StoredTitle> after = StoredTitles(Port());
  ASSERT_EQ(after.size(), titles.size() + 1);
  EXPECT_TRUE(after.back().bytes == ReadFile(Song("tagged.mp3")));
}

// A folder offers its audio files by content, whatever their names, and the
// files whose names say they are songs; hidden files and folders never;
// subfolders only with --recursive, in path order.
TEST_F(Import, FoldersOfferTheirAudioFilesInPathOrder) {
  fs::create_directories(dir.File("music/b/deep"));
  fs::create_directories(dir.File("music/.hidden"));
  const Bytes flac = ReadFile(Song("tone.flac"));
  dir.Write("music/c.mp3", frames);
  dir.Write("music/a", flac);                 // audio without a name that says so
  dir.Write("music/notes.txt", Pattern(500));  // neither
  dir.Write("music/broken.flac", Pattern(500));  // a song's name: offered, and its add says why not
  dir.Write("music/.hidden.mp3", frames);
  dir.Write("music/.hidden/x.mp3", frames);
  dir.Write("music/b/z.ogg", ReadFile(Song("tone.ogg")));
  dir.Write("music/b/deep/y.wav", ReadFile(Song("tone.wav")));
  dir.Write("music/b.mp3", frames);
  fs::create_symlink(dir.File("music"), dir.File("music/b/loop"));  // a link back up ends the walk
  const auto paths = [&](bool recursive) {
    std::vector<std::string> found;
    for (const ::Song& song : song_Expand({dir.File("music")}, recursive)) found.push_back(song.path);
    return found;
  };
  const std::string m = dir.File("music/");
  EXPECT_EQ(paths(false), (std::vector<std::string>{m + "a", m + "b.mp3", m + "broken.flac", m + "c.mp3"}));
  EXPECT_EQ(paths(true), (std::vector<std::string>{m + "a", m + "b/deep/y.wav", m + "b/z.ogg", m + "b.mp3",
                                                   m + "broken.flac", m + "c.mp3"}));
  const std::string out = Unprogressed(Run({"-i", dir.File("music"), "-R", "--again"}).out);
  EXPECT_NE(out.find(" Adding file: " + m + "broken.flac\n Skipped: "), std::string::npos) << out;
  EXPECT_NE(out.find("\n Imported 5 of 6 songs.\n"), std::string::npos) << out;
  const std::vector<StoredTitle> titles = StoredTitles(Port());
  ASSERT_EQ(titles.size(), 5u);
  EXPECT_EQ(titles[1].title, "y");
  EXPECT_EQ(titles[3].title, "b");
}

// A stop asked for while the third song goes on the card ends the import:
// the two songs before it stay listed, nothing of the third is.
TEST_F(Import, AStopKeepsTheSongsBefore) {
  fs::create_directories(dir.File("in"));
  const std::string one = dir.Write("in/1.mp3", frames), two = dir.Write("in/2.mp3", frames);
  const std::string three = dir.Write("in/3.mp3", frames);
  static int adds = 0;
  adds = 0;
  vexo_SetTraceSink([](const char* text) {
    if (std::strstr(text, "File: ") == text && ++adds == 3) vexo_RequestStop();
  });
  const std::string out = Run({"--import", dir.File("in"), "--again"}).out;
  vexo_SetTraceSink(nullptr);
  EXPECT_EQ(Unprogressed(out), " Adding file: " + one + "\n copy\n " + kDone + " Adding file: " + two + "\n copy\n " +
                                   kDone + " Adding file: " + three +
                                   "\n copy\n \n Error: TRANSFER STOPPED\n\n Imported 2 of 3 songs.\n");
  const std::vector<StoredTitle> titles = StoredTitles(Port());
  ASSERT_EQ(titles.size(), 2u);
  EXPECT_EQ(titles[1].title, "2");
}

// The options of --import, each on the song it changes: the report line and
// the bytes on the card, which are what media_PrepareSong makes of the song
// with the same settings.
TEST_F(Import, OptionsSayHowEachSongIsStored) {
  struct Case {
    std::vector<std::string> options;
    const char* file;
    const char* report;
    MediaSettings settings;
  };
  const auto at = [](int bitrate, bool keepTags = false) {
    MediaSettings settings;
    settings.bitrate = bitrate;
    settings.keepTags = keepTags;
    return settings;
  };
  const Case cases[] = {
      {{"--bitrate", "64"}, "tone.flac", " transcode FLAC \u2192 MP3 64 kbit/s", at(64)},
      {{"--bitrate", "320"}, "tone.ogg", " transcode Vorbis \u2192 MP3 320 kbit/s", at(320)},
      {{"--bitrate", "64"}, "tagged.mp3", " transcode MP3 \u2192 MP3 64 kbit/s", at(64)},   // above N
      {{"--bitrate", "128"}, "tagged.mp3", " copy without tags (\u221224 KB)", at(128)},  // not above
      {{"--keep-tags"}, "tagged.mp3", " copy", at(0, true)},
      {{"--keep-tags", "--bitrate", "64"}, "tagged.mp3", " transcode MP3 \u2192 MP3 64 kbit/s", at(64, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0] + " " + c.file);
    TempDir card;
    std::vector<std::string> args = {"--import", Song(c.file)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult run = RunVexo({"ros", card.File("c.ros")}, args);
    EXPECT_EQ(run.status, 0);
    const std::string out = std::regex_replace(Unprogressed(run.out), std::regex(" Tags left out: [0-9]+ bytes.\n"), "");
    EXPECT_EQ(out, " Adding file: " + Song(c.file) + "\n" + c.report + "\n " + kDone + "\n Imported 1 of 1 songs.\n");
    const std::vector<StoredTitle> titles = StoredTitles({"ros", card.File("c.ros")});
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_TRUE(titles[0].bytes == Prepared(Song(c.file), c.settings));
    if (c.settings.keepTags && c.settings.bitrate == 0) {
      EXPECT_TRUE(titles[0].bytes == ReadFile(Song(c.file))) << "the file's bytes, tags and all";
    }
  }

  // --no-cache: the encoder runs for every import; the cache spares the second.
  const std::string flac = dir.Write("fresh.flac", ReadFile(Song("tone.flac")));  // a new file: not cached yet
  for (const auto& [option, runs] : std::vector<std::pair<std::string, uint64_t>>{{"--fit", 1}, {"--no-cache", 2}}) {
    const uint64_t before = media_EncoderRuns();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Run({"--import", flac, option}).status, 0);
    EXPECT_EQ(media_EncoderRuns() - before, runs) << option;
  }
}

// --fit on a card of 64 KB free: three songs of 2 s that need about 100 KB as
// prepared go on at the highest rate whose size bound fits (80 kbit/s, every
// song above it transcoded); four do not fit even at 64 kbit/s and go on as
// prepared while they fit.
TEST_F(Import, FitLowersTheRateUntilTheSongsFit) {
  const CardOnPort card(VEXO_PORT_PARALLEL, dir.File("small"), 128 * 1024);
  fs::create_directories(dir.File("three"));
  dir.Write("three/a.flac", ReadFile(Song("tone.flac")));
  dir.Write("three/b.mp3", ReadFile(Song("tagged.mp3")));
  dir.Write("three/c.mp3", frames);
  const RunResult run = RunVexo(card.Words(), {"--import", dir.File("three"), "--fit", "--again"});  // b and c hold the same frames
  const std::string out = Unprogressed(run.out);
  EXPECT_EQ(out.find(" The songs fit the card at 80 kbit/s: the songs above it are transcoded to it.\n"), 0u) << out;
  EXPECT_NE(out.find("\n transcode FLAC \u2192 MP3 80 kbit/s\n"), std::string::npos) << out;
  EXPECT_NE(out.find("b.mp3\n transcode MP3 \u2192 MP3 80 kbit/s\n"), std::string::npos) << out;
  EXPECT_NE(out.find("c.mp3\n transcode MP3 \u2192 MP3 80 kbit/s\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n Imported 3 of 3 songs.\n"), std::string::npos) << out;
  EXPECT_EQ(nlohmann::json::parse(RunVexo(card.Words(), {"--json"}).out)["titles"].size(), 3u);

  // Without --fit the same songs do not all fit.
  EXPECT_EQ(RunVexo(card.Words(), {"--empty"}).status, 0);
  EXPECT_NE(Unprogressed(RunVexo(card.Words(), {"--import", dir.File("three"), "--again"}).out).find(" Skipped: CARD FULL\n"),
            std::string::npos);

  EXPECT_EQ(RunVexo(card.Words(), {"--empty"}).status, 0);
  dir.Write("three/d.flac", ReadFile(Song("tone.flac")));
  const std::string four = Unprogressed(RunVexo(card.Words(), {"--import", dir.File("three"), "--fit", "--again"}).out);
  EXPECT_EQ(four.find(" The songs do not fit the card even at 64 kbit/s: adding those that fit.\n"), 0u) << four;
  EXPECT_NE(four.find("\n transcode FLAC \u2192 MP3 128 kbit/s\n"), std::string::npos) << four;
  EXPECT_NE(four.find(" Skipped: CARD FULL\n"), std::string::npos) << four;
}

// A folder, then a playlist: titles from each kind of ID3 tag, the playlist
// and the name; a song too big for the card and a missing one are skipped;
// every title's bytes land where the JSON listing says, on the image file and
// on the card in the simulated adapter.
class ImportOnPort : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override { UseNoDelay(); }
  TempDir dir;
};

// Hand-made tags, every size under 128 so one byte (plain or sync-safe): an
// ID3v2 tag of this version with one title frame, and an ID3v1 trailer.
Bytes Id3v2(char version, const std::string& frame) {
  const std::string tag = std::string("ID3") + version + std::string(5, '\0') + char(frame.size() + 10) + "TIT2" +
                          std::string(3, '\0') + char(frame.size()) + std::string(2, '\0') + frame;
  return Bytes(tag.begin(), tag.end());
}
Bytes Id3v1(const std::string& title) {
  const std::string tag = "TAG" + title + std::string(125 - title.size(), '\0');
  return Bytes(tag.begin(), tag.end());
}
Bytes Tagged(const Bytes& front, const Bytes& frames, const Bytes& back = {}) {
  Bytes all = front;
  Append(&all, frames);
  Append(&all, back);
  return all;
}

TEST_P(ImportOnPort, TitlesFromTagsPlaylistsAndNames) {
  const int32_t kind = GetParam();
  const CardOnPort card(kind, dir.File("small"), 128 * 1024);
  const uint32_t cardSize = kind == VEXO_PORT_ROS ? 132907008 : 128 * 1024;
  const Bytes frames = LameFrames(44100, 32);  // 8 KB
  const Bytes big = LameFrames(44100, 320);    // 80 KB: more than the adapter's card has free
  const bool small = kind != VEXO_PORT_ROS;
  fs::create_directories(dir.File("lists"));
  fs::create_directories(dir.File("songs"));
  std::string utf16 = "\x01\xFF\xFE";
  for (char c : std::string("Gr\xFC\xDF" "e aus K\xF6ln am Rhein")) utf16 += {c, '\0'};
  const std::string a = dir.Write("songs/a.mp3", Tagged(Id3v2(3, utf16), frames));
  const std::string b = dir.Write("songs/b.MP3", Tagged(Id3v2(4, "\x03\xC3\x96l v2.4"), frames));
  const std::string c = dir.Write("songs/c.mp3", Tagged({}, frames, Id3v1("\xC4pfel")));
  const std::string d = dir.Write("songs/d.mp3", Tagged(Id3v2(4, "\x03Too big"), big));
  const std::string e = dir.Write("songs/e.mp3", Tagged(Id3v2(3, std::string("\0Second", 7)), frames, Id3v1("First")));
  const std::string f = dir.Write("songs/f.mp3", frames);
  const std::string m3u = "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:5,Listed\r\n../songs/f.mp3\r\n#EXTINF:7,Not this\n" + a + "\nmissing.mp3\n";
  const std::string list = dir.Write("lists/mix.m3u8", Bytes(m3u.begin(), m3u.end()));
  const std::string strip = "\n copy without tags (\u22121 KB)\n ";
  std::string expected;
  for (const auto& [path, report] : std::vector<std::pair<std::string, std::string>>{
           {a, strip + kDone}, {b, strip + kDone}, {c, strip + kDone},
           {d, strip + (small ? "\n Skipped: CARD FULL\n" : kDone)},
           {e, strip + kDone}, {f, "\n copy\n " + kDone}, {small ? "\n Imported 5 of 6 songs.\n" : "\n Imported 6 of 6 songs.\n", "-"},
           {dir.File("lists/../songs/f.mp3"), "\n copy\n " + kDone}, {a, strip + kDone},
           {dir.File("lists/missing.mp3"), "\n Skipped: cannot read: No such file or directory\n"},
           {"\n Imported 2 of 3 songs.\n", "-"}}) {
    expected += report == "-" ? path : " Adding file: " + path + report;
  }
  const std::string folderRun = RunVexo(card.Words(), {"--import", dir.File("songs"), "--again", "-n", "Mix", "-t", "5"}).out;
  const std::string listRun = RunVexo(card.Words(), {"-i", list, "--again"}).out;
  EXPECT_EQ(std::regex_replace(Unprogressed(folderRun + listRun), std::regex(" Tags left out: [0-9]+ bytes.\n"), ""), expected);
  const std::string aTitle = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln am Rhei";
  std::vector<std::pair<std::string, Bytes>> expectedTitles = {
      {aTitle, frames}, {"\xC3\xB6l v2.4", frames}, {"\xC3\xA4pfel", frames}, {"Second", frames}, {"f", frames}, {"Listed", frames}, {aTitle, frames}};
  if (!small) expectedTitles.insert(expectedTitles.begin() + 3, {"Too big", big});
  nlohmann::json listing = nlohmann::json::parse(RunVexo(card.Words(), {"--json"}).out);
  const nlohmann::json titles = listing["titles"];
  ASSERT_EQ(titles.size(), expectedTitles.size()) << listing;
  uint32_t used = 0;
  for (std::size_t i = 0; i < expectedTitles.size(); ++i) {
    const Bytes& bytes = expectedTitles[i].second;
    used += static_cast<uint32_t>(bytes.size());
    EXPECT_EQ(titles[i], nlohmann::json({{"number", i + 1}, {"title", expectedTitles[i].first}, {"size", bytes.size()}, {"start", titles[i]["start"]}}));
    const uint32_t start = titles[i]["start"].get<uint32_t>();
    EXPECT_TRUE(Slice(card.Sectors(start / 512, static_cast<uint32_t>(bytes.size() / 512 + 1)), 0, bytes.size()) == bytes) << i;
  }
  listing.erase("titles");
  const nlohmann::json header = {{"valid", true}, {"cardSize", cardSize}, {"freeBytes", cardSize - 0x10000 - used}, {"cardName", "Mix"}, {"cardType", 5},
                                 {"version", kind == VEXO_PORT_ROS ? "ROS file" : "PPA"}};
  EXPECT_EQ(listing, header);
}

INSTANTIATE_TEST_SUITE_P(Ports, ImportOnPort, testing::Values(VEXO_PORT_ROS, VEXO_PORT_PARALLEL),
                         [](const auto& info) { return std::string(KindName(info.param)); });

}  // namespace
