// Songs: what is stored for each format (decoded to check), --import end to
// end, and the MPEG frame parser fed hostile buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "host/pauses.h"
#include "host/trace.h"
#include "media/audio_probe.h"
#include "media/mpeg_frames.h"
#include "media/song_prepare.h"
#include "media/songs.h"
#include "media/tag_title.h"
#include "media/transcode.h"
#include "support/test_audio.h"
#include "support/test_support.h"

namespace {

using namespace vexo_test;
namespace fs = std::filesystem;

// An import's report without its progress lines (and its line of tag bytes).
std::string Unprogressed(const std::string& out, bool tagLine = true) {
  const std::string text = std::regex_replace(out, std::regex(" [0-9]+ / [0-9]+ \\([0-9]+%\\) \r"), "");
  return tagLine ? text : std::regex_replace(text, std::regex(" Tags left out: [0-9]+ bytes.\n"), "");
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) Append(&all, part);
  return all;
}

class Songs : public testing::Test {
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
  void SetUp() override {
    UseNoDelay();
    ASSERT_TRUE(media_OpenWorkspace(&ws));
  }
  void TearDown() override { media_CloseWorkspace(&ws); }

  static std::string Song(const std::string& name) { return songs->File(name); }
  std::vector<std::string> Port() const { return {"ros", image}; }
  RunResult Run(const std::vector<std::string>& args) const { return RunVexo(Port(), args); }

  MediaWorkspace ws;
  TempDir dir;
  std::string image = dir.File("card.ros");
};

// Each format stored as the player's MPEG-1 Layer III, then imported: report, titles, bytes.
TEST_F(Songs, EveryFormatIsStoredAsThePlayerNeedsOrSkipped) {
  struct Case {
    const char* file;
    MediaAction action;
    const char* format;
    std::string describe;  // the report line
    const char* title;
  };
  const Case cases[] = {  // in path order, as the folder offers them
      {"mpeg2.mp3", MEDIA_TRANSCODE, "MP3", "transcode MP3 \u2192 MP3 128 kbit/s", "mpeg2"},
      {"plain.mp3", MEDIA_COPY, "MP3", "copy", "plain"},
      {"tagged.mp3", MEDIA_STRIP, "MP3", "copy without tags (\u221224 KB)", "Tone"},
      {"text.mp3", MEDIA_SKIP, "", "skip: not audio", nullptr},
      {"tone.flac", MEDIA_TRANSCODE, "FLAC", "transcode FLAC \u2192 MP3 128 kbit/s", "Tone in FLAC"},
      {"tone.m4a", MEDIA_TRANSCODE, "AAC", "transcode AAC \u2192 MP3 128 kbit/s", "Tone in M4A"},
      {"tone.ogg", MEDIA_TRANSCODE, "Vorbis", "transcode Vorbis \u2192 MP3 128 kbit/s", "Tone in OGG"},
      {"tone.opus", MEDIA_TRANSCODE, "Opus", "transcode Opus \u2192 MP3 128 kbit/s", "Tone in OPUS"},
      {"tone.wav", MEDIA_TRANSCODE, "WAV", "transcode WAV \u2192 MP3 128 kbit/s", "tone"},  // FFmpeg writes no title TagLib finds
  };
  std::vector<std::string> paths;
  for (const Case& c : cases) paths.push_back(Song(c.file));
  MediaSettings settings;
  settings.useCache = false;
  const std::vector<PreparedSong> prepared = media_PrepareSongs(paths, settings, &ws);
  ASSERT_EQ(prepared.size(), paths.size());
  std::string report;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const Case& c = cases[i];
    const PreparedSong& song = prepared[i];
    SCOPED_TRACE(c.file);
    EXPECT_EQ(song.action, c.action);
    EXPECT_EQ(song.sourceFormat, c.format);
    EXPECT_EQ(media_Describe(song), c.describe);
    EXPECT_EQ(media_IsAudioFile(paths[i]), c.action != MEDIA_SKIP);
    report += " Adding file: " + paths[i] + "\n " + (c.title == nullptr ? "Skipped: not audio\n" : c.describe + "\n " + kDone);
    if (c.action == MEDIA_SKIP) continue;
    const Bytes stored = ReadFile(song.storedPath);
    ASSERT_EQ(stored.size(), song.storedSize);
    EXPECT_TRUE(c.action != MEDIA_STRIP || stored == frames) << "the frames without the tags";
    EXPECT_TRUE(c.action != MEDIA_COPY || song.storedPath == paths[i]) << "a copy is the file itself";
    // The player's profile, read from the first header's bits: MPEG-1 Layer III.
    ASSERT_GE(stored.size(), 4u);
    EXPECT_EQ(stored[0], 0xFF);
    EXPECT_EQ(stored[1] & 0xFE, 0xFA);
    const Decoded source = Decode(paths[i]), result = Decode(song.storedPath);
    EXPECT_EQ(result.codec, AV_CODEC_ID_MP3);
    EXPECT_EQ(result.rate, 44100);
    EXPECT_NEAR(source.seconds, kToneSeconds, 0.1);
    EXPECT_NEAR(result.seconds, source.seconds, 0.1);
    EXPECT_NEAR(song.duration, source.seconds, 0.1);
    PreparedSong again;
    ASSERT_TRUE(media_PrepareSong(paths[i], settings, &ws, &again));
    EXPECT_TRUE(ReadFile(again.storedPath) == stored) << "the same source and settings, the same bytes";
  }
  EXPECT_EQ(media_TagTitle(Song("text.mp3")), "");
  EXPECT_EQ(media_TagTitle(songs->path()), "");

  const uint64_t tagBytes = ReadFile(Song("tagged.mp3")).size() - frames.size();
  report += "\n Imported 8 of 9 songs.\n Tags left out: " + std::to_string(tagBytes) + " bytes.\n";
  EXPECT_EQ(Unprogressed(Run({"--import", songs->path(), "--again"}).out), report);  // plain and tagged: the same bytes
  const std::vector<ListedTitle> titles = ListedTitles(image);
  std::size_t at = 0;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (cases[i].title == nullptr) continue;
    SCOPED_TRACE(cases[i].file);
    ASSERT_LT(at, titles.size());
    EXPECT_EQ(titles[at].title, cases[i].title);
    EXPECT_TRUE(titles[at++].bytes == ReadFile(prepared[i].storedPath)) << "the prepared bytes";
  }
  EXPECT_EQ(at, titles.size());

  // --add stores the file's own bytes, tags and all.
  EXPECT_EQ(Unprogressed(Run({"--add", Song("tagged.mp3"), "Whole"}).out),
            "\n Adding file: " + Song("tagged.mp3") + "\n " + kDone);
  const std::vector<ListedTitle> after = ListedTitles(image);
  ASSERT_EQ(after.size(), titles.size() + 1);
  EXPECT_TRUE(after.back().bytes == ReadFile(Song("tagged.mp3")));
}

TEST_F(Songs, TheCacheIsUsedTheSecondTimeAndADamagedEntryIsRedone) {
  MediaSettings settings;
  settings.cacheDir = dir.File("cache");
  PreparedSong first, second, redone, strip;
  const uint64_t runs = media_EncoderRuns();
  ASSERT_TRUE(media_PrepareSong(Song("tone.flac"), settings, nullptr, &first));
  EXPECT_EQ(media_EncoderRuns(), runs + 1);
  EXPECT_FALSE(first.fromCache);
  EXPECT_EQ(first.storedPath.rfind(settings.cacheDir, 0), 0u) << first.storedPath;
  const Bytes bytes = ReadFile(first.storedPath);

  ASSERT_TRUE(media_PrepareSong(Song("tone.flac"), settings, nullptr, &second));
  EXPECT_EQ(media_EncoderRuns(), runs + 1);
  EXPECT_TRUE(second.fromCache);
  EXPECT_EQ(second.action, MEDIA_TRANSCODE);
  EXPECT_EQ(second.sourceFormat, "FLAC");
  EXPECT_EQ(second.bitrate, 128);
  EXPECT_NEAR(second.duration, first.duration, 1e-6);
  EXPECT_TRUE(ReadFile(second.storedPath) == bytes);

  Bytes damaged = bytes;
  damaged[damaged.size() / 2] ^= 0x01;
  WriteFile(first.storedPath, damaged);
  ASSERT_TRUE(media_PrepareSong(Song("tone.flac"), settings, nullptr, &redone));
  EXPECT_EQ(media_EncoderRuns(), runs + 2);
  EXPECT_FALSE(redone.fromCache);
  EXPECT_TRUE(ReadFile(redone.storedPath) == bytes);

  // A stripped MP3 is cached as well; past the limit the oldest entry goes.
  MediaSettings small = settings;
  small.cacheLimit = bytes.size();
  ASSERT_TRUE(media_PrepareSong(Song("tagged.mp3"), small, nullptr, &strip));
  EXPECT_EQ(strip.action, MEDIA_STRIP);
  EXPECT_TRUE(fs::exists(strip.storedPath));
  EXPECT_FALSE(fs::exists(redone.storedPath));
  ASSERT_TRUE(media_PrepareSong(Song("tagged.mp3"), small, nullptr, &strip));
  EXPECT_TRUE(strip.fromCache);
  EXPECT_TRUE(ReadFile(strip.storedPath) == frames);

  // --no-cache: the encoder runs for every import; the cache spares the second.
  const std::string flac = dir.Write("fresh.flac", ReadFile(Song("tone.flac")));  // a new file: not cached yet
  for (const auto& [option, count] : std::vector<std::pair<std::string, uint64_t>>{{"--fit", 1}, {"--no-cache", 2}}) {
    const uint64_t before = media_EncoderRuns();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Run({"--import", flac, option}).status, 0);
    EXPECT_EQ(media_EncoderRuns() - before, count) << option;
  }
}

// --bitrate caps MP3s and sets every transcode's rate; --keep-tags stores the file's bytes.
TEST_F(Songs, BitrateAndKeepTagsSayHowEachSongIsStored) {
  struct Case {
    const char* file;
    int bitrate;
    bool keepTags;
    MediaAction action;
    std::string report;
  };
  const std::string strip = "copy without tags (\u221224 KB)";
  const Case cases[] = {
      {"tagged.mp3", 192, false, MEDIA_STRIP, strip},
      {"tagged.mp3", 128, false, MEDIA_STRIP, strip},  // not above
      {"tagged.mp3", 64, false, MEDIA_TRANSCODE, "transcode MP3 \u2192 MP3 64 kbit/s"},  // above
      {"tagged.mp3", 0, true, MEDIA_COPY, "copy"},
      {"tagged.mp3", 64, true, MEDIA_TRANSCODE, "transcode MP3 \u2192 MP3 64 kbit/s"},
      {"tone.flac", 64, false, MEDIA_TRANSCODE, "transcode FLAC \u2192 MP3 64 kbit/s"},
      {"tone.ogg", 320, false, MEDIA_TRANSCODE, "transcode Vorbis \u2192 MP3 320 kbit/s"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--import", Song(c.file)};
    if (c.keepTags) args.push_back("--keep-tags");
    if (c.bitrate != 0) args.insert(args.end(), {"--bitrate", std::to_string(c.bitrate)});
    SCOPED_TRACE(testing::PrintToString(args));
    MediaSettings settings;
    settings.useCache = false;
    settings.bitrate = c.bitrate;
    settings.keepTags = c.keepTags;
    PreparedSong song;
    ASSERT_TRUE(media_PrepareSong(Song(c.file), settings, &ws, &song));
    EXPECT_EQ(song.action, c.action);
    EXPECT_EQ(media_Describe(song), c.report);
    EXPECT_TRUE(c.file != std::string("tagged.mp3") || song.sourceBitrate == 128);
    const Bytes stored = ReadFile(song.storedPath);
    EXPECT_TRUE(c.action != MEDIA_COPY || stored == ReadFile(Song(c.file))) << "the file's bytes, tags and all";
    if (c.action == MEDIA_TRANSCODE) {
      MpegHeader info, header;  // the info frame may be larger; the music frames have the rate
      ASSERT_TRUE(mpeg_ParseHeader(stored, &info));
      ASSERT_TRUE(mpeg_ParseHeader(std::span<const uint8_t>(stored).subspan(info.frameLength), &header));
      EXPECT_EQ(header.bitrate, c.bitrate);
      EXPECT_TRUE(c.bitrate >= 128 || stored.size() < frames.size());
    }
    TempDir card;
    const RunResult run = RunVexo({"ros", card.File("c.ros")}, args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Unprogressed(run.out, false),
              " Adding file: " + Song(c.file) + "\n " + c.report + "\n " + kDone + "\n Imported 1 of 1 songs.\n");
    const std::vector<ListedTitle> titles = ListedTitles(card.File("c.ros"));
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_TRUE(titles[0].bytes == stored);
  }
  PreparedSong song;
  MediaSettings odd;
  odd.bitrate = 100;
  EXPECT_FALSE(media_PrepareSong(Song("tone.flac"), odd, &ws, &song));
  EXPECT_EQ(song.action, MEDIA_SKIP);
}

TEST(Fit, ChoosesTheHighestRateAtWhichTheSongsFit) {
  PreparedSong flac;  // a minute of FLAC, transcoded at 192 kbit/s
  flac.action = MEDIA_TRANSCODE;
  flac.bitrate = 192;
  flac.duration = 60;
  flac.storedSize = 1440000;
  PreparedSong mp3;  // an MP3 at 128 kbit/s inside the profile
  mp3.action = MEDIA_STRIP;
  mp3.sourceBitrate = 128;
  mp3.storedSize = 960000;
  mp3.duration = 60;
  PreparedSong skipped;
  skipped.storedSize = 1u << 30;
  const std::vector<PreparedSong> songs = {flac, skipped, mp3};
  const auto bound = [](int rate) { return media_TranscodedSizeBound(60, rate); };
  struct Case {
    uint64_t freeBytes;
    int rate;  // the songs above it (and only those) counted at its bound
  };
  const Case cases[] = {
      {flac.storedSize + mp3.storedSize, 320},  // nothing above 192 kbit/s: as prepared
      {bound(160) + mp3.storedSize, 160},       {bound(160) + mp3.storedSize - 1, 128},
      {bound(128) + mp3.storedSize - 1, 112},   {2 * bound(96), 96},
      {2 * bound(64), 64},                      {2 * bound(64) - 1, 0},
  };
  for (const Case& c : cases) {
    const int rate = media_FitBitrate(songs, [&](const std::vector<uint64_t>& sizes) {
      EXPECT_EQ(sizes.size(), 2u) << "the skipped song is left out";
      return sizes.size() == 2 && sizes[0] + sizes[1] <= c.freeBytes;
    });
    EXPECT_EQ(rate, c.rate) << c.freeBytes;
  }
  // The bound is a bound: a minute at 128 kbit/s is about 960 KB.
  EXPECT_GE(media_TranscodedSizeBound(60, 128), 960000u);
  EXPECT_LT(media_TranscodedSizeBound(60, 128), 970000u);
}

// --fit on 64 KB free: three songs fit at 80 kbit/s; four do not fit even at 64.
TEST_F(Songs, FitLowersTheRateUntilTheSongsFit) {
  const CardOnPort card(VEXO_PORT_PARALLEL, dir.File("small"), 128 * 1024);
  fs::create_directories(dir.File("three"));
  dir.Write("three/a.flac", ReadFile(Song("tone.flac")));
  dir.Write("three/b.mp3", ReadFile(Song("tagged.mp3")));
  dir.Write("three/c.mp3", frames);
  const auto import = [&](bool fit) {  // b and c hold the same frames
    EXPECT_EQ(RunVexo(card.Words(), {"--empty"}).status, 0);
    std::vector<std::string> args = {"--import", dir.File("three"), "--again"};
    if (fit) args.push_back("--fit");
    return Unprogressed(RunVexo(card.Words(), args).out);
  };
  const std::string three = import(true);
  EXPECT_EQ(three.find(" The songs fit the card at 80 kbit/s: the songs above it are transcoded to it.\n"), 0u) << three;
  for (const char* line : {"\n transcode FLAC \u2192 MP3 80 kbit/s\n", "b.mp3\n transcode MP3 \u2192 MP3 80 kbit/s\n",
                           "c.mp3\n transcode MP3 \u2192 MP3 80 kbit/s\n", "\n Imported 3 of 3 songs.\n"}) {
    EXPECT_NE(three.find(line), std::string::npos) << line << three;
  }
  EXPECT_EQ(nlohmann::json::parse(RunVexo(card.Words(), {"--json"}).out)["titles"].size(), 3u);
  EXPECT_NE(import(false).find(" Skipped: CARD FULL\n"), std::string::npos);

  dir.Write("three/d.flac", ReadFile(Song("tone.flac")));
  const std::string four = import(true);
  EXPECT_EQ(four.find(" The songs do not fit the card even at 64 kbit/s: adding those that fit.\n"), 0u) << four;
  EXPECT_NE(four.find("\n transcode FLAC \u2192 MP3 128 kbit/s\n"), std::string::npos) << four;
  EXPECT_NE(four.find(" Skipped: CARD FULL\n"), std::string::npos) << four;
}

// A folder offers audio by content or name, never hidden files; subfolders with -R.
TEST_F(Songs, FoldersOfferTheirAudioFilesInPathOrder) {
  fs::create_directories(dir.File("music/b/deep"));
  fs::create_directories(dir.File("music/.hidden"));
  dir.Write("music/c.mp3", frames);
  dir.Write("music/a", ReadFile(Song("tone.flac")));  // audio without a name that says so
  dir.Write("music/notes.txt", Pattern(500));         // neither
  dir.Write("music/broken.flac", Pattern(500));       // a song's name: offered, and its add says why not
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
  const std::vector<ListedTitle> titles = ListedTitles(image);
  ASSERT_EQ(titles.size(), 5u);
  EXPECT_EQ(titles[1].title, "y");
  EXPECT_EQ(titles[3].title, "b");
}

// A stop during the third song keeps the two before it and nothing of the third.
TEST_F(Songs, AStopKeepsTheSongsBefore) {
  fs::create_directories(dir.File("in"));
  std::string expected;
  for (const char* name : {"1", "2", "3"}) {
    expected += " Adding file: " + dir.Write(std::string("in/") + name + ".mp3", frames) + "\n copy\n " + kDone;
  }
  expected.replace(expected.size() - kDone.size(), kDone.size(), "\n Error: TRANSFER STOPPED\n\n Imported 2 of 3 songs.\n");
  static int adds = 0;
  adds = 0;
  vexo_SetTraceSink([](const char* text) {
    if (std::strstr(text, "File: ") == text && ++adds == 3) vexo_RequestStop();
  });
  const std::string out = Run({"--import", dir.File("in"), "--again"}).out;
  vexo_SetTraceSink(nullptr);
  EXPECT_EQ(Unprogressed(out), expected);
  const std::vector<ListedTitle> titles = ListedTitles(image);
  ASSERT_EQ(titles.size(), 2u);
  EXPECT_EQ(titles[1].title, "2");
}

// Hand-made ID3v2 (one title frame, sizes under 128) and ID3v1 tags.
Bytes Id3v2(char version, const std::string& frame) {
  const std::string tag = std::string("ID3") + version + std::string(5, '\0') + char(frame.size() + 10) + "TIT2" +
                          std::string(3, '\0') + char(frame.size()) + std::string(2, '\0') + frame;
  return Bytes(tag.begin(), tag.end());
}
Bytes Id3v1(const std::string& title) {
  const std::string tag = "TAG" + title + std::string(125 - title.size(), '\0');
  return Bytes(tag.begin(), tag.end());
}

// Titles from each ID3 kind, the playlist and the name; too big and missing songs skipped.
TEST_F(Songs, TitlesFromTagsPlaylistsAndNames) {
  const CardOnPort card(VEXO_PORT_PARALLEL, dir.File("small"), 128 * 1024);
  const Bytes eight = LameFrames(44100, 32);  // 8 KB
  const Bytes big = LameFrames(44100, 320);   // 80 KB: more than the card has free
  fs::create_directories(dir.File("lists"));
  fs::create_directories(dir.File("songs"));
  std::string utf16 = "\x01\xFF\xFE";
  for (char c : std::string("Gr\xFC\xDF" "e aus K\xF6ln am Rhein")) utf16 += {c, '\0'};
  const std::string a = dir.Write("songs/a.mp3", Cat({Id3v2(3, utf16), eight}));
  const std::string b = dir.Write("songs/b.MP3", Cat({Id3v2(4, "\x03\xC3\x96l v2.4"), eight}));
  const std::string c = dir.Write("songs/c.mp3", Cat({eight, Id3v1("\xC4pfel")}));
  const std::string d = dir.Write("songs/d.mp3", Cat({Id3v2(4, "\x03Too big"), big}));
  const std::string e = dir.Write("songs/e.mp3", Cat({Id3v2(3, std::string("\0Second", 7)), eight, Id3v1("First")}));
  const std::string f = dir.Write("songs/f.mp3", eight);
  const std::string m3u = "\xEF\xBB\xBF#EXTM3U\r\n#EXTINF:5,Listed\r\n../songs/f.mp3\r\n#EXTINF:7,Not this\n" + a + "\nmissing.mp3\n";
  const std::string list = dir.Write("lists/mix.m3u8", Bytes(m3u.begin(), m3u.end()));
  const std::string strip = "\n copy without tags (\u22121 KB)\n ";
  std::string expected;
  for (const auto& [path, report] : std::vector<std::pair<std::string, std::string>>{
           {a, strip + kDone}, {b, strip + kDone}, {c, strip + kDone}, {d, strip + "\n Skipped: CARD FULL\n"},
           {e, strip + kDone}, {f, "\n copy\n " + kDone}, {"\n Imported 5 of 6 songs.\n", "-"},
           {dir.File("lists/../songs/f.mp3"), "\n copy\n " + kDone}, {a, strip + kDone},
           {dir.File("lists/missing.mp3"), "\n Skipped: cannot read: No such file or directory\n"},
           {"\n Imported 2 of 3 songs.\n", "-"}}) {
    expected += report == "-" ? path : " Adding file: " + path + report;
  }
  const std::string folderRun = RunVexo(card.Words(), {"--import", dir.File("songs"), "--again", "-n", "Mix", "-t", "5"}).out;
  const std::string listRun = RunVexo(card.Words(), {"-i", list, "--again"}).out;
  EXPECT_EQ(Unprogressed(folderRun + listRun, false), expected);
  const std::string aTitle = "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln am Rhei";
  const std::string expectedTitles[] = {aTitle, "\xC3\xB6l v2.4", "\xC3\xA4pfel", "Second", "f", "Listed", aTitle};
  nlohmann::json listing = nlohmann::json::parse(RunVexo(card.Words(), {"--json"}).out);
  const nlohmann::json titles = listing["titles"];
  ASSERT_EQ(titles.size(), std::size(expectedTitles)) << listing;
  for (std::size_t i = 0; i < titles.size(); ++i) {
    EXPECT_EQ(titles[i], nlohmann::json({{"number", i + 1}, {"title", expectedTitles[i]}, {"size", eight.size()}, {"start", titles[i]["start"]}}));
    const uint32_t start = titles[i]["start"].get<uint32_t>();
    EXPECT_TRUE(Slice(card.Sectors(start / 512, static_cast<uint32_t>(eight.size() / 512 + 1)), 0, eight.size()) == eight) << i;
  }
  listing.erase("titles");
  const uint32_t freeBytes = 128 * 1024 - 0x10000 - 7 * static_cast<uint32_t>(eight.size());
  EXPECT_EQ(listing, nlohmann::json({{"valid", true}, {"cardSize", 128 * 1024}, {"freeBytes", freeBytes},
                                     {"cardName", "Mix"}, {"cardType", 5}, {"version", "PPA"}}));
}

// Frames of MPEG-1 Layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417 bytes.
Bytes Frames(int count, bool info = false) {
  Bytes bytes;
  for (int i = 0; i < count; ++i) {
    Bytes frame(417, 0);
    const uint8_t header[] = {0xFF, 0xFB, 0x90, 0x64};
    std::memcpy(frame.data(), header, sizeof header);
    if (info && i == 0) std::memcpy(frame.data() + 36, "Info", 4);
    Append(&bytes, frame);
  }
  return bytes;
}

TEST(MpegFrames, HeadersAreParsedAndReservedValuesRefused) {
  struct Case {
    Bytes bytes;
    bool ok;
    int version, layer, bitrate, rate;
    uint32_t length, samples;
  };
  const Case cases[] = {
      {{0xFF, 0xFB, 0x90, 0x64}, true, 1, 3, 128, 44100, 417, 1152},
      {{0xFF, 0xFB, 0x92, 0x64}, true, 1, 3, 128, 44100, 418, 1152},   // padding
      {{0xFF, 0xFA, 0xE8, 0xC0}, true, 1, 3, 320, 32000, 1440, 1152},  // CRC, mono
      {{0xFF, 0xF3, 0x90, 0xC4}, true, 2, 3, 80, 22050, 261, 576},
      {{0xFF, 0xE3, 0x90, 0xC4}, true, 25, 3, 80, 11025, 522, 576},
      {{0xFF, 0xFD, 0x90, 0x04}, true, 1, 2, 160, 44100, 522, 1152},
      {{0xFF, 0xFF, 0x90, 0x04}, true, 1, 1, 288, 44100, 312, 384},
      {{}, false, 0, 0, 0, 0, 0, 0},
      {{0xFF, 0xFB, 0x90}, false, 0, 0, 0, 0, 0, 0},        // truncated
      {{0xFE, 0xFB, 0x90, 0x64}, false, 0, 0, 0, 0, 0, 0},  // no sync
      {{0xFF, 0x7B, 0x90, 0x64}, false, 0, 0, 0, 0, 0, 0},  // no sync
      {{0xFF, 0xEB, 0x90, 0x64}, false, 0, 0, 0, 0, 0, 0},  // reserved version
      {{0xFF, 0xF9, 0x90, 0x64}, false, 0, 0, 0, 0, 0, 0},  // reserved layer
      {{0xFF, 0xFB, 0xF0, 0x64}, false, 0, 0, 0, 0, 0, 0},  // reserved bitrate
      {{0xFF, 0xFB, 0x00, 0x64}, false, 0, 0, 0, 0, 0, 0},  // free format
      {{0xFF, 0xFB, 0x9C, 0x64}, false, 0, 0, 0, 0, 0, 0},  // reserved sample rate
      {{0xFF, 0xFB, 0x90, 0x66}, false, 0, 0, 0, 0, 0, 0},  // reserved emphasis
  };
  for (const Case& c : cases) {
    MpegHeader h;
    ASSERT_EQ(mpeg_ParseHeader(c.bytes, &h), c.ok) << testing::PrintToString(c.bytes);
    if (!c.ok) continue;
    EXPECT_EQ(h.version, c.version);
    EXPECT_EQ(h.layer, c.layer);
    EXPECT_EQ(h.bitrate, c.bitrate);
    EXPECT_EQ(h.sampleRate, c.rate);
    EXPECT_EQ(h.frameLength, c.length);
    EXPECT_EQ(h.samples, c.samples);
  }
}

TEST(MpegFrames, TheSpanOfFramesLeavesOutTagsAndJunkWhateverTheyClaim) {
  const Bytes id3 = Cat({{'I', 'D', '3', 3, 0, 0}, SyncSafe(100), Bytes(100, 0)});
  const Bytes id3Footer = Cat({{'I', 'D', '3', 4, 0, 0x10}, SyncSafe(50), Bytes(50, 0), {'3', 'D', 'I', 4, 0, 0x10}, SyncSafe(50)});
  const Bytes id3PastEnd = Cat({{'I', 'D', '3', 3, 0, 0}, SyncSafe(100000)});
  const Bytes strayHeader = {0x00, 0xFF, 0xFB, 0x90, 0x64, 0x12, 0xFF, 0xFB};
  Bytes apeTooLong = ApeTag();
  apeTooLong[apeTooLong.size() - 17] = 0x7F;  // the footer's size: far past the start
  Bytes apeNoHeader = ApeTag();
  apeNoHeader[apeNoHeader.size() - 20] = 40;  // a size that puts the header inside the music
  Bytes truncated = Frames(5);
  truncated.resize(truncated.size() - 200);
  struct Case {
    const char* name;
    Bytes bytes;
    bool found;
    std::size_t begin, end, junkAfter;
    uint64_t frames;
    bool moreAfter;
  };
  const Case cases[] = {
      {"frames only", Frames(5), true, 0, 2085, 0, 5, false},
      {"ID3v2 and ID3v1", Cat({id3, Frames(5), Id3v1Tag()}), true, 110, 2195, 0, 5, false},
      {"ID3v2.4 with a footer", Cat({id3Footer, Frames(5)}), true, 70, 2155, 0, 5, false},
      {"two ID3v2 tags", Cat({id3, id3, Frames(4)}), true, 220, 1888, 0, 4, false},
      {"APEv2 then ID3v1", Cat({Frames(5), ApeTag(), Id3v1Tag()}), true, 0, 2085, 0, 5, false},
      {"ID3v2 past the end", Cat({id3PastEnd, Frames(5)}), false, 0, 0, 0, 0, false},
      {"ID3v2 taking everything", Cat({{'I', 'D', '3', 3, 0, 0}, SyncSafe(2085), Frames(5)}), false, 0, 0, 0, 0, false},
      {"APEv2 size past the start", Cat({Frames(5), apeTooLong}), true, 0, 2085, apeTooLong.size(), 5, false},
      {"APEv2 header not where its size says", Cat({Frames(5), apeNoHeader}), true, 0, 2085, apeNoHeader.size(), 5, false},
      {"stray sync word in junk", Cat({strayHeader, Frames(5)}), true, 8, 2093, 0, 5, false},
      {"truncated last frame", truncated, true, 0, 1668, 217, 4, false},
      {"three frames to the end", Frames(3), true, 0, 1251, 0, 3, false},
      {"three frames then junk", Cat({Frames(3), Bytes(10, 1)}), false, 0, 0, 0, 0, false},
      {"one frame", Frames(1), false, 0, 0, 0, 0, false},
      {"a gap in the middle", Cat({Frames(4), Bytes(30, 7), Frames(4)}), true, 0, 1668, 30 + 1668, 4, true},
      {"sync everywhere", Bytes(5000, 0xFF), false, 0, 0, 0, 0, false},
      {"zeros", Bytes(5000, 0), false, 0, 0, 0, 0, false},
      {"empty", {}, false, 0, 0, 0, 0, false},
      {"only ID3v1", Id3v1Tag(), false, 0, 0, 0, 0, false},
  };
  for (const Case& c : cases) {
    MpegSpan span;
    ASSERT_EQ(mpeg_FindFrames(c.bytes, &span), c.found) << c.name;
    if (!c.found) continue;
    EXPECT_EQ(span.begin, c.begin) << c.name;
    EXPECT_EQ(span.end, c.end) << c.name;
    EXPECT_EQ(span.junkAfter, c.junkAfter) << c.name;
    EXPECT_EQ(span.frames, c.frames) << c.name;
    EXPECT_EQ(span.moreFramesAfter, c.moreAfter) << c.name;
  }
  MpegSpan span;
  ASSERT_TRUE(mpeg_FindFrames(Frames(5, true), &span));
  EXPECT_TRUE(span.infoFrame);
  EXPECT_EQ(span.musicSamples, 4u * 1152);
  EXPECT_EQ(span.bitrateSum, 4u * 128);
}

TEST(MpegFrames, ABufferStartsWithAFrameOrATag) {
  const std::pair<Bytes, bool> cases[] = {
      {Cat({{'I', 'D', '3', 4, 0, 0}, SyncSafe(0)}), true},  {{0xFF, 0xFB, 0x90, 0x64}, true},
      {{'I', 'D', '3', 4, 0, 0, 0x80, 0, 0, 0}, false},    {{'I', 'D', '3'}, false},
      {{'R', 'I', 'F', 'F', 0, 0, 0, 0}, false},            {{0xFF, 0xFB, 0xF0, 0x64}, false},
      {{}, false},
  };
  for (const auto& [bytes, starts] : cases) {
    EXPECT_EQ(mpeg_StartsWithFrameOrTag(bytes), starts) << testing::PrintToString(bytes);
  }
}

}  // namespace
