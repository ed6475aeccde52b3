#include "media/audio_probe.h"

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace {

void SilenceFfmpeg() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

bool IsPcm(AVCodecID id) { return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT; }

std::string FormatName(AVCodecID id, const char* container) {
  switch (id) {
    case AV_CODEC_ID_MP3: return "MP3";
    case AV_CODEC_ID_MP2: return "MP2";
    case AV_CODEC_ID_MP1: return "MP1";
    case AV_CODEC_ID_FLAC: return "FLAC";
    case AV_CODEC_ID_VORBIS: return "Vorbis";
    case AV_CODEC_ID_OPUS: return "Opus";
    case AV_CODEC_ID_AAC: return "AAC";
    case AV_CODEC_ID_ALAC: return "ALAC";
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2: return "WMA";
    case AV_CODEC_ID_AC3: return "AC-3";
    default: break;
  }
  if (IsPcm(id)) {
    if (std::strcmp(container, "wav") == 0) return "WAV";
    if (std::strcmp(container, "aiff") == 0) return "AIFF";
    return "PCM";
  }
  std::string name = avcodec_get_name(id);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

std::string media_AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return "unknown error";
  std::string words = text;
  if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

bool media_OpenAudio(const std::string& path, AudioInput* in, std::string* reason) {
  SilenceFfmpeg();
  *in = AudioInput{};
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *reason = "not a regular file";  // a FIFO or a device would block the probe
    return false;
  }
  if (avformat_open_input(&in->format, path.c_str(), nullptr, nullptr) < 0) {
    *reason = "not audio";
    return false;
  }
  const int found = avformat_find_stream_info(in->format, nullptr);
  const int best = found < 0 ? found : av_find_best_stream(in->format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (best < 0) {
    *reason = best == AVERROR_STREAM_NOT_FOUND || best == AVERROR_INVALIDDATA ? "not audio" : media_AvError(best);
    media_CloseAudio(in);
    return false;
  }
  in->stream = best;
  for (unsigned i = 0; i < in->format->nb_streams; ++i) {
    if (static_cast<int>(i) != best) in->format->streams[i]->discard = AVDISCARD_ALL;
  }
  const AVStream* stream = in->format->streams[best];
  const AVCodecParameters* par = stream->codecpar;
  const char* container = in->format->iformat->name;
  in->formatName = FormatName(par->codec_id, container);
  in->mpegFile = std::strcmp(container, "mp3") == 0;
  if (stream->duration > 0) {
    in->duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
  } else if (in->format->duration > 0) {
    in->duration = static_cast<double>(in->format->duration) / AV_TIME_BASE;
  }
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (codec == nullptr) {
    *reason = "no decoder for " + in->formatName;
    media_CloseAudio(in);
    return false;
  }
  in->decoder = avcodec_alloc_context3(codec);
  int result = in->decoder == nullptr ? AVERROR(ENOMEM) : avcodec_parameters_to_context(in->decoder, par);
  if (result >= 0) {
    // One thread per song (songs are prepared in parallel) and bit-exact
    // output, so the same source always decodes to the same samples.
    in->decoder->thread_count = 1;
    in->decoder->flags |= AV_CODEC_FLAG_BITEXACT;
    in->decoder->pkt_timebase = stream->time_base;
    result = avcodec_open2(in->decoder, codec, nullptr);
  }
  if (result < 0) {
    *reason = "cannot decode " + in->formatName + ": " + media_AvError(result);
    media_CloseAudio(in);
    return false;
  }
  return true;
}

void media_CloseAudio(AudioInput* in) {
  avcodec_free_context(&in->decoder);
  avformat_close_input(&in->format);
  in->stream = -1;
}

bool media_IsAudioFile(const std::string& path) {
  AudioInput in;
  std::string reason;
  if (!media_OpenAudio(path, &in, &reason)) return false;
  media_CloseAudio(&in);
  return true;
}
