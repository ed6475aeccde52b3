// Songs made at test time with the libraries the program uses (libavcodec, LAME),
// the tags vexo must leave out, and a decoder that says what a file holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vexo_test {

using Bytes = std::vector<uint8_t>;

// Seconds of tone in every song made here.
constexpr double kToneSeconds = 2.0;

void Append(Bytes* to, const Bytes& bytes);
void Append(Bytes* to, const std::string& text);

// A tone of kToneSeconds encoded by libavcodec's `encoder` into `muxer`'s
// container, with the container's title tag when one is given.
void WriteEncoded(const std::string& path, const char* encoder, const char* muxer, int rate,
                  const char* title = nullptr);
// A tone encoded by LAME as bare frames (no info frame, no tags).
Bytes LameFrames(int rate, int kbps);
// The four bytes of an ID3v2 size.
Bytes SyncSafe(uint32_t size);
// ID3v2.3 with the title "Tone" and a cover picture whose bytes hold stray sync words.
Bytes Id3v2Tag();
// APEv2 with header and footer, title "Tone".
Bytes ApeTag();
// ID3v1, title "Tone".
Bytes Id3v1Tag();

// In `folder`: tone.flac/.ogg/.opus/.m4a/.wav titled "Tone in FLAC" and so on; tagged.mp3
// (the frames between Id3v2Tag, and ApeTag with Id3v1Tag), plain.mp3 (the frames), mpeg2.mp3
// (MPEG-2, 22.05 kHz), text.mp3 (words). Returns the frames: MPEG-1 Layer III, 128 kbit/s.
Bytes WriteTestSongs(const std::string& folder);

struct Decoded {
  double seconds = 0;
  int rate = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
};

// The audio as libavcodec decodes it (encoder delay and padding trimmed).
Decoded Decode(const std::string& path);

}  // namespace vexo_test
