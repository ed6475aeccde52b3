// MPEG audio frames and the tags around them, read from a buffer in memory:
// one frame header, the span of consecutive frames between the tags (ID3v2
// at the start, APEv2 and ID3v1 at the end), and whether a buffer opens with
// a frame or a tag. Pure functions over bytes (no I/O, no state), every read
// bounded by the buffer, so hostile bytes give "no frame", never a bad read;
// they can be fuzzed as they are.
//
// Includes only the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum MpegVersion { MPEG_VERSION_1 = 1, MPEG_VERSION_2 = 2, MPEG_VERSION_25 = 25 };
enum MpegChannelMode { MPEG_STEREO = 0, MPEG_JOINT_STEREO = 1, MPEG_DUAL_CHANNEL = 2, MPEG_MONO = 3 };

struct MpegHeader {
  MpegVersion version = MPEG_VERSION_1;
  int layer = 0;             // 1, 2 or 3
  int bitrate = 0;           // kbit/s (free-format frames are refused)
  int sampleRate = 0;        // Hz
  MpegChannelMode channelMode = MPEG_STEREO;
  bool padding = false;
  bool crc = false;          // a 16-bit CRC follows the header
  uint32_t frameLength = 0;  // bytes, header included
  uint32_t samples = 0;      // samples per channel in the frame
};

// Parses the four header bytes at the buffer's start. False when fewer than
// four bytes, no sync, or a reserved version, layer, bitrate or sample rate.
bool mpeg_ParseHeader(std::span<const uint8_t> bytes, MpegHeader* out);

// The bytes of the ID3v2 tag at the buffer's start (header, body, footer),
// 0 when there is none. A tag may claim more bytes than the buffer holds;
// the caller compares with the buffer's size.
uint64_t mpeg_Id3v2Size(std::span<const uint8_t> bytes);

struct MpegSpan {
  std::size_t begin = 0;      // first byte of the first frame
  std::size_t end = 0;        // one past the last byte of the last frame
  uint64_t frames = 0;        // frames in [begin, end), the info frame included
  MpegHeader first;           // the first frame's header
  bool infoFrame = false;     // the first frame is a Xing/Info/VBRI frame, not music
  bool sameBitrate = true;    // every music frame has the first music frame's rate
  uint64_t bitrateSum = 0;    // kbit/s summed over the music frames
  uint64_t musicSamples = 0;  // samples per channel of the music frames
  std::size_t tagBytes = 0;   // ID3v2 at the start, APEv2 and ID3v1 at the end
  std::size_t junkBefore = 0; // bytes between the leading tags and the first frame
  std::size_t junkAfter = 0;  // bytes between the last frame and the trailing tags
  bool moreFramesAfter = false;  // the junk after holds another run of frames
};

// The run of consecutive frames (same version, layer and sample rate) between
// the tags. A run counts only when four frames follow one another, or when at
// least two reach exactly the end of the audio, so a stray sync word in a
// picture or in junk is not taken for the music. False when there is none.
bool mpeg_FindFrames(std::span<const uint8_t> bytes, MpegSpan* out);

// True when the buffer opens with an ID3v2 tag or with an MPEG audio frame
// header (version, layer, rate and sample rate all valid).
bool mpeg_StartsWithFrameOrTag(std::span<const uint8_t> bytes);
