// Songs made at test time with the same libraries the program uses: a tone
// encoded by libavcodec into any container, bare MP3 frames from LAME, the
// tags vexo must leave out (ID3v2 with a cover picture, APEv2, ID3v1), the
// set of songs the media and import tests share, and a decoder that says
// what a file holds.
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

// The songs of the media tests, made in `folder`: tone.flac, tone.ogg,
// tone.opus, tone.m4a, tone.wav, each titled "Tone in " and its name's
// extension in capitals ("Tone in FLAC"); tagged.mp3 (the frames between Id3v2Tag,
// and ApeTag with Id3v1Tag), plain.mp3 (the frames alone), mpeg2.mp3 (MPEG-2
// at 22.05 kHz) and text.mp3 (words). Returns the frames of tagged.mp3 and
// plain.mp3: MPEG-1 Layer III, 44.1 kHz, 128 kbit/s.
Bytes WriteTestSongs(const std::string& folder);

struct Decoded {
  double seconds = 0;
  int rate = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
};

// The audio as libavcodec decodes it (encoder delay and padding trimmed).
Decoded Decode(const std::string& path);

}  // namespace vexo_test
