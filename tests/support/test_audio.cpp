#include "support/test_audio.h"

#include <gtest/gtest.h>
#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "support/test_support.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace vexo_test {

namespace {

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

}  // namespace

void Append(Bytes* to, const Bytes& bytes) { to->insert(to->end(), bytes.begin(), bytes.end()); }
void Append(Bytes* to, const std::string& text) { to->insert(to->end(), text.begin(), text.end()); }

void WriteEncoded(const std::string& path, const char* encoder, const char* muxer, int rate,
                  const char* title) {
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
  if (title != nullptr) av_dict_set(&out->metadata, "title", title, 0);
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
Bytes WriteTestSongs(const std::string& folder) {
  av_log_set_level(AV_LOG_QUIET);  // the test's own encoders are chatty
  const auto path = [&](const char* name) { return folder + "/" + name; };
  WriteEncoded(path("tone.flac"), "flac", "flac", 44100, "Tone in FLAC");
  WriteEncoded(path("tone.ogg"), "libvorbis", "ogg", 44100, "Tone in OGG");
  WriteEncoded(path("tone.opus"), "libopus", "opus", 48000, "Tone in OPUS");
  WriteEncoded(path("tone.m4a"), "aac", "ipod", 44100, "Tone in M4A");
  WriteEncoded(path("tone.wav"), "pcm_s16le", "wav", 44100, "Tone in WAV");
  const Bytes frames = LameFrames(44100, 128);
  Bytes tagged = Id3v2Tag();
  Append(&tagged, frames);
  Append(&tagged, ApeTag());
  Append(&tagged, Id3v1Tag());
  WriteFile(path("tagged.mp3"), tagged);
  WriteFile(path("plain.mp3"), frames);
  WriteFile(path("mpeg2.mp3"), LameFrames(22050, 64));
  std::ofstream(path("text.mp3")) << "These are the words of a song, not its sound.\n";
  return frames;
}

}  // namespace vexo_test
