// The bytes stored for a song: every format made at test time with the same
// libraries (libavcodec encoders, LAME, hand-built tags), prepared, then
// checked by decoding the result and comparing with the frames the test wrote.
// The MPEG frame parser is also fed hostile buffers.
#include <gtest/gtest.h>
#include <lame/lame.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "media/audio_probe.h"
#include "media/mpeg_frames.h"
#include "media/song_prepare.h"
#include "media/tag_title.h"
#include "media/transcode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr double kToneSeconds = 2.0;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

void Append(Bytes* to, const Bytes& bytes) { to->insert(to->end(), bytes.begin(), bytes.end()); }
void Append(Bytes* to, const std::string& text) { to->insert(to->end(), text.begin(), text.end()); }
void AppendBe32(Bytes* to, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) to->push_back(static_cast<uint8_t>(v >> shift));
}
void AppendLe32(Bytes* to, uint32_t v) {
  for (int shift = 0; shift <= 24; shift += 8) to->push_back(static_cast<uint8_t>(v >> shift));
}

double Tone(int64_t sample, int channel, int rate) {
  return 0.5 * std::sin(2 * M_PI * (440.0 + 220.0 * channel) * static_cast<double>(sample) / rate);
}

void FillFrame(AVFrame* frame, int64_t start, int rate) {
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av_sample_fmt_is_planar(format);
  const int channels = frame->ch_layout.nb_channels;
  for (int i = 0; i < frame->nb_samples; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double v = Tone(start + i, c, rate);
      uint8_t* plane = frame->data[planar ? c : 0];
      const int at = planar ? i : i * channels + c;
      switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_S16: reinterpret_cast<int16_t*>(plane)[at] = static_cast<int16_t>(v * 32767); break;
        case AV_SAMPLE_FMT_S32: reinterpret_cast<int32_t*>(plane)[at] = static_cast<int32_t>(v * 2147483647.0); break;
        case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(plane)[at] = static_cast<float>(v); break;
        default: FAIL() << "sample format " << av_get_sample_fmt_name(format);
      }
    }
  }
}

// A tone of kToneSeconds encoded by libavcodec's `encoder` into `muxer`'s container.
void WriteEncoded(const std::string& path, const char* encoder, const char* muxer, int rate) {
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  ASSERT_NE(codec, nullptr) << encoder;
  AVFormatContext* out = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, muxer, path.c_str()), 0);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = rate;
  av_channel_layout_default(&ctx->ch_layout, 2);
  ctx->sample_fmt = codec->sample_fmts[0];
  for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == AV_SAMPLE_FMT_S16) ctx->sample_fmt = *f;
  }
  ctx->bit_rate = 96000;
  ctx->time_base = {1, rate};
  if (out->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ASSERT_GE(avcodec_open2(ctx, codec, nullptr), 0) << encoder;
  AVStream* stream = avformat_new_stream(out, nullptr);
  avcodec_parameters_from_context(stream->codecpar, ctx);
  stream->time_base = ctx->time_base;
  ASSERT_GE(avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(out, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  const int frameSize = ctx->frame_size > 0 ? ctx->frame_size : 1152;
  const auto total = static_cast<int64_t>(kToneSeconds * rate);
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, packet) >= 0) {
      av_packet_rescale_ts(packet, ctx->time_base, stream->time_base);
      packet->stream_index = 0;
      av_interleaved_write_frame(out, packet);
    }
  };
  for (int64_t at = 0; at < total; at += frameSize) {
    frame->format = ctx->sample_fmt;
    frame->nb_samples = static_cast<int>(std::min<int64_t>(frameSize, total - at));
    frame->sample_rate = rate;
    av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    ASSERT_GE(av_frame_get_buffer(frame, 0), 0);
    FillFrame(frame, at, rate);
    frame->pts = at;
    ASSERT_GE(avcodec_send_frame(ctx, frame), 0);
    av_frame_unref(frame);
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_write_trailer(out);
  avio_closep(&out->pb);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  avformat_free_context(out);
}

// A tone encoded by LAME as bare frames (no info frame, no tags).
Bytes LameFrames(int rate, int kbps) {
  lame_global_flags* lame = lame_init();
  lame_set_in_samplerate(lame, rate);
  lame_set_out_samplerate(lame, rate);
  lame_set_num_channels(lame, 2);
  lame_set_brate(lame, kbps);
  lame_set_bWriteVbrTag(lame, 0);
  lame_set_write_id3tag_automatic(lame, 0);
  lame_init_params(lame);
  const auto samples = static_cast<int>(kToneSeconds * rate);
  std::vector<float> left(static_cast<std::size_t>(samples)), right(left.size());
  for (int i = 0; i < samples; ++i) {
    left[static_cast<std::size_t>(i)] = static_cast<float>(Tone(i, 0, rate));
    right[static_cast<std::size_t>(i)] = static_cast<float>(Tone(i, 1, rate));
  }
  Bytes mp3(static_cast<std::size_t>(samples) * 5 / 4 + 14400);
  int size = lame_encode_buffer_ieee_float(lame, left.data(), right.data(), samples, mp3.data(),
                                           static_cast<int>(mp3.size()));
  size += lame_encode_flush(lame, mp3.data() + size, static_cast<int>(mp3.size()) - size);
  lame_close(lame);
  mp3.resize(static_cast<std::size_t>(size));
  return mp3;
}

Bytes SyncSafe(uint32_t size) {
  return {static_cast<uint8_t>(size >> 21 & 0x7F), static_cast<uint8_t>(size >> 14 & 0x7F),
          static_cast<uint8_t>(size >> 7 & 0x7F), static_cast<uint8_t>(size & 0x7F)};
}

// ID3v2.3 with a title and a cover picture whose bytes hold stray sync words.
Bytes Id3v2Tag() {
  Bytes body;
  Append(&body, std::string("TIT2"));
  AppendBe32(&body, 6);
  Append(&body, Bytes{0, 0, 0});
  Append(&body, std::string("Tone\0", 5));
  Bytes picture;
  Append(&picture, Bytes{0});
  Append(&picture, std::string("image/jpeg\0\x03\0", 13));
  for (int i = 0; i < 24000; ++i) picture.push_back(i % 500 < 4 ? Bytes{0xFF, 0xFB, 0x90, 0x64}[i % 500] : static_cast<uint8_t>(i * 7));
  Append(&body, std::string("APIC"));
  AppendBe32(&body, static_cast<uint32_t>(picture.size()));
  Append(&body, Bytes{0, 0});
  Append(&body, picture);
  Bytes tag;
  Append(&tag, std::string("ID3\x03\0\0", 6));
  Append(&tag, SyncSafe(static_cast<uint32_t>(body.size())));
  Append(&tag, body);
  return tag;
}

Bytes ApeTag() {
  Bytes item;
  AppendLe32(&item, 4);
  AppendLe32(&item, 0);
  Append(&item, std::string("Title\0Tone", 10));
  auto frame = [&](uint32_t flags) {
    Bytes f;
    Append(&f, std::string("APETAGEX"));
    AppendLe32(&f, 2000);
    AppendLe32(&f, static_cast<uint32_t>(item.size() + 32));
    AppendLe32(&f, 1);
    AppendLe32(&f, flags);
    f.resize(f.size() + 8, 0);
    return f;
  };
  Bytes tag = frame(0xA0000000u);  // has a header, this is the header
  Append(&tag, item);
  Append(&tag, frame(0x80000000u));
  return tag;
}

Bytes Id3v1Tag() {
  Bytes tag;
  Append(&tag, std::string("TAGTone"));
  tag.resize(128, 0);
  return tag;
}

struct Decoded {
  double seconds = 0;
  int rate = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
};

// The audio as libavcodec decodes it (encoder delay and padding trimmed).
Decoded Decode(const std::string& path) {
  Decoded result;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return result;
  avformat_find_stream_info(in, nullptr);
  const int index = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) {
    avformat_close_input(&in);
    return result;
  }
  const AVCodec* codec = avcodec_find_decoder(in->streams[index]->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, in->streams[index]->codecpar);
  ctx->pkt_timebase = in->streams[index]->time_base;
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  int64_t samples = 0;
  auto drain = [&] {
    while (avcodec_receive_frame(ctx, frame) >= 0) {
      samples += frame->nb_samples;
      result.rate = frame->sample_rate;
    }
  };
  while (av_read_frame(in, packet) >= 0) {
    if (packet->stream_index == index && avcodec_send_packet(ctx, packet) >= 0) drain();
    av_packet_unref(packet);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  result.codec = ctx->codec_id;
  result.seconds = result.rate > 0 ? static_cast<double>(samples) / result.rate : 0;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&ctx);
  avformat_close_input(&in);
  return result;
}

class MediaTest : public testing::Test {
 protected:
  static inline fs::path dir;
  static inline Bytes frames44;  // the frames of tagged.mp3 and plain.mp3

  static void SetUpTestSuite() {
    av_log_set_level(AV_LOG_QUIET);  // the test's own encoders are chatty
    dir = fs::temp_directory_path() / ("vexo-test-media-" + std::to_string(getpid()));
    fs::create_directories(dir);
    WriteEncoded(Path("tone.flac"), "flac", "flac", 44100);
    WriteEncoded(Path("tone.ogg"), "libvorbis", "ogg", 44100);
    WriteEncoded(Path("tone.opus"), "libopus", "opus", 48000);
    WriteEncoded(Path("tone.m4a"), "aac", "ipod", 44100);
    WriteEncoded(Path("tone.wav"), "pcm_s16le", "wav", 44100);
    frames44 = LameFrames(44100, 128);
    Bytes tagged = Id3v2Tag();
    Append(&tagged, frames44);
    Append(&tagged, ApeTag());
    Append(&tagged, Id3v1Tag());
    WriteFile(Path("tagged.mp3"), tagged);
    WriteFile(Path("plain.mp3"), frames44);
    WriteFile(Path("mpeg2.mp3"), LameFrames(22050, 64));
    std::ofstream(Path("text.mp3")) << "These are the words of a song, not its sound.\n";
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
  PreparedSong flac;  // a minute of FLAC, transcoded
  flac.action = MEDIA_TRANSCODE;
  flac.duration = 60;
  PreparedSong mp3;  // an MP3 at 128 kbit/s inside the profile
  mp3.action = MEDIA_STRIP;
  mp3.sourceBitrate = 128;
  mp3.storedSize = 960000;
  mp3.duration = 60;
  PreparedSong skipped;
  skipped.storedSize = 1u << 30;
  const std::vector<PreparedSong> songs = {flac, mp3, skipped};
  const uint64_t at128 = media_TranscodedSizeBound(60, 128) + mp3.storedSize;
  const uint64_t at96 = media_TranscodedSizeBound(60, 96) + media_TranscodedSizeBound(60, 96);
  struct Case {
    uint64_t freeBytes;
    int rate;
  };
  const Case cases[] = {{1ull << 30, 320}, {at128, 128}, {at128 - 1, 112}, {at96, 96}, {1000, 0}};
  for (const Case& c : cases) EXPECT_EQ(media_FitBitrate(songs, c.freeBytes), c.rate) << c.freeBytes;
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
    Bytes frame = {0xFF, 0xFB, 0x90, 0x64};
    frame.resize(417, 0);
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
