// What an audio file holds, read by its content (FFmpeg's libavformat and
// libavcodec), never by its name: the container, the codec, the duration, and
// an opened decoder for the transcoder. Owns the opening of a source and its
// decoder, and the names vexo reports for formats ("FLAC", "Vorbis", ...).
//
// Includes only the standard library and the FFmpeg libraries; it reads host
// files and writes nothing. FFmpeg's own log output is silenced here.
#pragma once

#include <string>

struct AVFormatContext;
struct AVCodecContext;

// An opened source: its container, the audio stream chosen and its decoder.
struct AudioInput {
  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  int stream = -1;
  std::string formatName;  // "MP3", "FLAC", "Vorbis", "Opus", "AAC", "WAV", ...
  bool mpegFile = false;   // an MPEG audio file (not MPEG audio inside another container)
  double duration = 0;     // seconds, as the container says (0 when it does not)
};

// Opens the file and the decoder of its best audio stream. False, with a
// reason of a few words ("not audio", "no decoder for ..."), otherwise.
bool media_OpenAudio(const std::string& path, AudioInput* in, std::string* reason);
void media_CloseAudio(AudioInput* in);

// True when the file is audio FFmpeg can read and decode.
bool media_IsAudioFile(const std::string& path);

// FFmpeg's error code in a few lower-case words.
std::string media_AvError(int code);
