// The bytes stored for a song: every format made at test time with the same
// libraries (libavcodec encoders, LAME, hand-built tags), prepared, then
// checked by decoding the result and comparing with the frames the test wrote.
// The MPEG frame parser is also fed hostile buffers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "media/audio_probe.h"
#include "media/mpeg_frames.h"
#include "media/song_prepare.h"
#include "media/tag_title.h"
#include "media/transcode.h"
#include "support/test_audio.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

using namespace vexo_test;

class MediaTest : public testing::Test {
 protected:
  static inline fs::path dir;
  static inline Bytes frames44;  // the frames of tagged.mp3 and plain.mp3

  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("vexo-test-media-" + std::to_string(getpid()));
    fs::create_directories(dir);
    frames44 = WriteTestSongs(dir.string());
  }
  static void TearDownTestSuite() { fs::remove_all(dir); }
  static std::string Path(const std::string& name) { return (dir / name).string(); }

  void SetUp() override { ASSERT_TRUE(media_OpenWorkspace(&ws)); }
  void TearDown() override {
    media_CloseWorkspace(&ws);
    fs::remove_all(dir / "cache");
  }
  MediaSettings Cached() const {
    MediaSettings settings;
    settings.cacheDir = (dir / "cache").string();
    return settings;
  }
  MediaWorkspace ws;
};

TEST_F(MediaTest, EveryFormatIsStoredAsThePlayerNeedsOrSkipped) {
  struct Case {
    const char* file;
    MediaAction action;
    const char* format;
    const char* describe;  // the report word; empty for a strip (checked against the tag bytes)
  };
  const Case cases[] = {
      {"tone.flac", MEDIA_TRANSCODE, "FLAC", "transcode FLAC \u2192 MP3 128 kbit/s"},
      {"tone.ogg", MEDIA_TRANSCODE, "Vorbis", "transcode Vorbis \u2192 MP3 128 kbit/s"},
      {"tone.opus", MEDIA_TRANSCODE, "Opus", "transcode Opus \u2192 MP3 128 kbit/s"},
      {"tone.m4a", MEDIA_TRANSCODE, "AAC", "transcode AAC \u2192 MP3 128 kbit/s"},
      {"tone.wav", MEDIA_TRANSCODE, "WAV", "transcode WAV \u2192 MP3 128 kbit/s"},
      {"mpeg2.mp3", MEDIA_TRANSCODE, "MP3", "transcode MP3 \u2192 MP3 128 kbit/s"},
      {"tagged.mp3", MEDIA_STRIP, "MP3", ""},
      {"plain.mp3", MEDIA_COPY, "MP3", "copy"},
      {"text.mp3", MEDIA_SKIP, "", "skip: not audio"},
  };
  std::vector<std::string> paths;
  for (const Case& c : cases) paths.push_back(Path(c.file));
  MediaSettings settings;
  settings.useCache = false;
  const std::vector<PreparedSong> songs = media_PrepareSongs(paths, settings, &ws);
  ASSERT_EQ(songs.size(), paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const Case& c = cases[i];
    const PreparedSong& song = songs[i];
    SCOPED_TRACE(c.file);
    EXPECT_EQ(song.action, c.action);
    EXPECT_EQ(song.sourceFormat, c.format);
    if (c.action == MEDIA_SKIP) {
      EXPECT_EQ(media_Describe(song), c.describe);
      EXPECT_FALSE(media_IsAudioFile(paths[i]));
      continue;
    }
    EXPECT_TRUE(media_IsAudioFile(paths[i]));
    const Bytes stored = ReadFile(song.storedPath);
    ASSERT_EQ(stored.size(), song.storedSize);
    if (c.action == MEDIA_STRIP) {
      EXPECT_TRUE(stored == frames44) << "the frames without the tags";
      const uint64_t tagBytes = ReadFile(paths[i]).size() - frames44.size();
      EXPECT_EQ(media_Describe(song), "copy without tags (\u2212" + std::to_string((tagBytes + 512) / 1024) + " KB)");
    } else {
      EXPECT_EQ(media_Describe(song), c.describe);
    }
    if (c.action == MEDIA_COPY) {
      EXPECT_EQ(song.storedPath, paths[i]);
    }
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
    // The same source and settings give the same bytes.
    PreparedSong again;
    ASSERT_TRUE(media_PrepareSong(paths[i], settings, &ws, &again));
    EXPECT_TRUE(ReadFile(again.storedPath) == stored);
  }
}

TEST_F(MediaTest, TheCacheIsUsedTheSecondTimeAndADamagedEntryIsRedone) {
  const MediaSettings settings = Cached();
  PreparedSong first, second, redone, strip;
  const uint64_t runs = media_EncoderRuns();
  ASSERT_TRUE(media_PrepareSong(Path("tone.flac"), settings, nullptr, &first));
  EXPECT_EQ(media_EncoderRuns(), runs + 1);
  EXPECT_FALSE(first.fromCache);
  EXPECT_EQ(first.storedPath.rfind(settings.cacheDir, 0), 0u) << first.storedPath;
  const Bytes bytes = ReadFile(first.storedPath);

  ASSERT_TRUE(media_PrepareSong(Path("tone.flac"), settings, nullptr, &second));
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
  ASSERT_TRUE(media_PrepareSong(Path("tone.flac"), settings, nullptr, &redone));
  EXPECT_EQ(media_EncoderRuns(), runs + 2);
  EXPECT_FALSE(redone.fromCache);
  EXPECT_TRUE(ReadFile(redone.storedPath) == bytes);

  // A stripped MP3 is cached as well; past the limit the oldest entry goes.
  MediaSettings small = settings;
  small.cacheLimit = bytes.size();
  ASSERT_TRUE(media_PrepareSong(Path("tagged.mp3"), small, nullptr, &strip));
  EXPECT_EQ(strip.action, MEDIA_STRIP);
  EXPECT_TRUE(fs::exists(strip.storedPath));
  EXPECT_FALSE(fs::exists(redone.storedPath));
  ASSERT_TRUE(media_PrepareSong(Path("tagged.mp3"), small, nullptr, &strip));
  EXPECT_TRUE(strip.fromCache);
  EXPECT_TRUE(ReadFile(strip.storedPath) == frames44);
}

TEST_F(MediaTest, BitrateCapsInProfileMp3sAndKeepTagsStoresTheFileAsItIs) {
  struct Case {
    int bitrate;
    bool keepTags;
    MediaAction action;
    int storedRate;  // of a transcode
  };
  const Case cases[] = {
      {0, false, MEDIA_STRIP, 0},    {192, false, MEDIA_STRIP, 0}, {128, false, MEDIA_STRIP, 0},
      {64, false, MEDIA_TRANSCODE, 64}, {0, true, MEDIA_COPY, 0},  {64, true, MEDIA_TRANSCODE, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bitrate) + (c.keepTags ? " keep-tags" : ""));
    MediaSettings settings;
    settings.useCache = false;
    settings.bitrate = c.bitrate;
    settings.keepTags = c.keepTags;
    PreparedSong song;
    ASSERT_TRUE(media_PrepareSong(Path("tagged.mp3"), settings, &ws, &song));
    EXPECT_EQ(song.action, c.action);
    EXPECT_EQ(song.sourceBitrate, 128);
    if (c.action == MEDIA_COPY) {
      EXPECT_TRUE(ReadFile(song.storedPath) == ReadFile(Path("tagged.mp3")));
    }
    if (c.action != MEDIA_TRANSCODE) continue;
    EXPECT_EQ(media_Describe(song), "transcode MP3 \u2192 MP3 64 kbit/s");
    const Bytes stored = ReadFile(song.storedPath);
    MpegHeader info, header;  // the info frame may be larger; the music frames have the rate
    ASSERT_TRUE(mpeg_ParseHeader(stored, &info));
    ASSERT_TRUE(mpeg_ParseHeader(std::span<const uint8_t>(stored).subspan(info.frameLength), &header));
    EXPECT_EQ(header.bitrate, c.storedRate);
    EXPECT_LT(stored.size(), frames44.size());
  }
  PreparedSong song;
  MediaSettings odd;
  odd.bitrate = 100;
  EXPECT_FALSE(media_PrepareSong(Path("tone.flac"), odd, &ws, &song));
  EXPECT_EQ(song.action, MEDIA_SKIP);
}

TEST_F(MediaTest, FitChoosesTheHighestRateAtWhichTheSongsFit) {
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

TEST_F(MediaTest, TitlesComeFromTheTagsOfEveryFormat) {
  EXPECT_EQ(media_TagTitle(Path("tagged.mp3")), "Tone");
  EXPECT_EQ(media_TagTitle(Path("plain.mp3")), "");
  EXPECT_EQ(media_TagTitle(Path("text.mp3")), "");
  EXPECT_EQ(media_TagTitle(dir.string()), "");
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

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) Append(&all, part);
  return all;
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
