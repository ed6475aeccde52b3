#include "media/transcode.h"

#include <lame/lame.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kOutRate = 44100;
// LAME's algorithm quality: its own default, which the ffmpeg command uses too.
constexpr int kLameQuality = 3;

std::atomic<uint64_t> encoderRuns{0};
// lame_init fills tables shared by all encoders the first time it runs.
std::mutex lameInitLock;

void Quiet(const char*, va_list) {}

bool WriteAll(int fd, const uint8_t* bytes, std::size_t size, off_t at) {
  while (size > 0) {
    const ssize_t done = pwrite(fd, bytes, size, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
    at += done;
  }
  return true;
}

// The decoder, resampler and encoder of one transcode, freed together.
struct Pipeline {
  AudioInput* in = nullptr;
  lame_global_flags* lame = nullptr;
  SwrContext* swr = nullptr;
  AVChannelLayout swrLayout{};
  int swrRate = 0, swrFormat = -1;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  std::array<std::vector<float>, 2> pcm;
  std::vector<uint8_t> mp3;
  int fd = -1;
  uint64_t written = 0;
  uint64_t samples = 0;
  int decodeErrors = 0;
  std::string firstError;
  bool writeFailed = false;

  ~Pipeline() {
    if (lame != nullptr) lame_close(lame);
    swr_free(&swr);
    av_channel_layout_uninit(&swrLayout);
    av_packet_free(&packet);
    av_frame_free(&frame);
  }

  bool Output(int bytes) {
    if (bytes < 0) return false;
    if (!WriteAll(fd, mp3.data(), static_cast<std::size_t>(bytes), static_cast<off_t>(written))) {
      writeFailed = true;
      return false;
    }
    written += static_cast<uint64_t>(bytes);
    return true;
  }

  // Converts `count` input samples (none to drain the resampler) and encodes them.
  bool Encode(const uint8_t** data, int count) {
    const int room = swr_get_out_samples(swr, count);
    if (room < 0) return false;
    for (auto& plane : pcm) plane.resize(static_cast<std::size_t>(room) + 1);
    std::array<uint8_t*, 2> planes = {reinterpret_cast<uint8_t*>(pcm[0].data()),
                                      reinterpret_cast<uint8_t*>(pcm[1].data())};
    const int made = swr_convert(swr, planes.data(), room, data, count);
    if (made <= 0) return made == 0;
    samples += static_cast<uint64_t>(made);
    mp3.resize(static_cast<std::size_t>(made) * 5 / 4 + 7200);
    return Output(lame_encode_buffer_ieee_float(lame, pcm[0].data(), pcm[1].data(), made, mp3.data(),
                                                static_cast<int>(mp3.size())));
  }

  // A resampler for the frame's layout, rate and sample format; a stream whose
  // format changes midway (chained Ogg) drains the old one first.
  bool Resampler(const AVFrame* f) {
    AVChannelLayout layout{};
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&f->ch_layout) == 0) {
      av_channel_layout_default(&layout, f->ch_layout.nb_channels > 0 ? f->ch_layout.nb_channels : 1);
    } else if (av_channel_layout_copy(&layout, &f->ch_layout) < 0) {
      return false;
    }
    if (swr != nullptr && swrRate == f->sample_rate && swrFormat == f->format &&
        av_channel_layout_compare(&layout, &swrLayout) == 0) {
      av_channel_layout_uninit(&layout);
      return true;
    }
    if (swr != nullptr && !Encode(nullptr, 0)) {
      av_channel_layout_uninit(&layout);
      return false;
    }
    swr_free(&swr);
    av_channel_layout_uninit(&swrLayout);
    swrLayout = layout;
    swrRate = f->sample_rate;
    swrFormat = f->format;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    return swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLTP, kOutRate, &swrLayout,
                               static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) >= 0 &&
           swr_init(swr) >= 0;
  }

  void NoteError(int code) {
    if (decodeErrors++ == 0) firstError = media_AvError(code);
  }

  // Takes every frame the decoder has ready; false on a fault that ends the run.
  bool Drain() {
    for (;;) {
      const int got = avcodec_receive_frame(in->decoder, frame);
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
      if (got < 0) {
        NoteError(got);
        return true;
      }
      const bool ok = EncodeFrame(frame);
      av_frame_unref(frame);
      if (!ok) return false;
    }
  }

  bool EncodeFrame(const AVFrame* f) {
    if (f->nb_samples <= 0 || f->sample_rate <= 0) return true;
    return Resampler(f) && Encode(const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  }
};

bool InitLame(Pipeline* p, int bitrate) {
  std::lock_guard<std::mutex> hold(lameInitLock);
  p->lame = lame_init();
  if (p->lame == nullptr) return false;
  lame_set_errorf(p->lame, Quiet);
  lame_set_debugf(p->lame, Quiet);
  lame_set_msgf(p->lame, Quiet);
  lame_set_in_samplerate(p->lame, kOutRate);
  lame_set_out_samplerate(p->lame, kOutRate);
  lame_set_num_channels(p->lame, 2);
  lame_set_mode(p->lame, JOINT_STEREO);
  lame_set_VBR(p->lame, vbr_off);
  lame_set_brate(p->lame, bitrate);
  lame_set_quality(p->lame, kLameQuality);
  lame_set_bWriteVbrTag(p->lame, 1);
  lame_set_write_id3tag_automatic(p->lame, 0);
  return lame_init_params(p->lame) >= 0;
}

}  // namespace

bool media_IsStandardBitrate(int kbps) {
  static constexpr std::array<int, 14> kRates = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  for (int rate : kRates) {
    if (rate == kbps) return true;
  }
  return false;
}

bool media_Transcode(AudioInput* in, int bitrate, int fd, uint64_t* written, double* duration,
                     std::string* reason) {
  if (!media_IsStandardBitrate(bitrate)) {
    *reason = "not a standard bitrate";
    return false;
  }
  Pipeline p;
  p.in = in;
  p.fd = fd;
  p.packet = av_packet_alloc();
  p.frame = av_frame_alloc();
  if (p.packet == nullptr || p.frame == nullptr || !InitLame(&p, bitrate)) {
    *reason = "cannot start the encoder";
    return false;
  }
  ++encoderRuns;
  bool ok = true;
  for (int read; ok && (read = av_read_frame(in->format, p.packet)) != AVERROR_EOF;) {
    if (read < 0) {
      if (read == AVERROR(EAGAIN)) continue;
      p.NoteError(read);
      break;  // the container cannot be read further: keep what was decoded
    }
    if (p.packet->stream_index == in->stream) {
      const int sent = avcodec_send_packet(in->decoder, p.packet);
      if (sent < 0 && sent != AVERROR(EAGAIN)) p.NoteError(sent);
      ok = p.Drain();
    }
    av_packet_unref(p.packet);
  }
  if (ok && avcodec_send_packet(in->decoder, nullptr) >= 0) ok = p.Drain();
  if (ok && p.swr != nullptr) ok = p.Encode(nullptr, 0);
  if (ok) {
    p.mp3.resize(7200);
    ok = p.Output(lame_encode_flush(p.lame, p.mp3.data(), static_cast<int>(p.mp3.size())));
  }
  if (ok && p.samples == 0) {
    *reason = p.decodeErrors > 0 ? "cannot decode: " + p.firstError : "no audio";
    return false;
  }
  if (ok) {
    // LAME put a blank frame first; the info frame (delay, padding, length, CRC) takes its place.
    std::array<uint8_t, 2880> tag{};
    const std::size_t size = lame_get_lametag_frame(p.lame, tag.data(), tag.size());
    ok = size > 0 && size <= tag.size() && size <= p.written;
    if (ok && !WriteAll(fd, tag.data(), size, 0)) p.writeFailed = true;
  }
  if (!ok || p.writeFailed) {
    *reason = p.writeFailed ? std::string("cannot write: ") + std::strerror(errno) : "the encoder failed";
    return false;
  }
  *written = p.written;
  *duration = static_cast<double>(p.samples) / kOutRate;
  return true;
}

uint64_t media_EncoderRuns() { return encoderRuns.load(); }
void media_ResetEncoderRuns() { encoderRuns = 0; }
