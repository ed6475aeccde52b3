#include "media/mpeg_frames.h"

#include <array>
#include <cstring>

namespace {

// kbit/s by bitrate index; 0 is free format, 15 is reserved (both refused).
constexpr std::array<std::array<int, 16>, 3> kBitratesV1 = {{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // layer III
}};
constexpr std::array<std::array<int, 16>, 3> kBitratesV2 = {{
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
}};
constexpr std::array<int, 3> kSampleRatesV1 = {44100, 48000, 32000};

constexpr std::size_t kId3v2HeaderBytes = 10;
constexpr std::size_t kId3v1Bytes = 128;
constexpr std::size_t kApeFooterBytes = 32;
constexpr uint8_t kId3v2FooterFlag = 0x10;
constexpr uint32_t kApeHasHeaderFlag = 0x80000000u;

bool Equal(std::span<const uint8_t> bytes, std::size_t at, const char* text) {
  const std::size_t n = std::strlen(text);
  if (at > bytes.size() || bytes.size() - at < n) return false;
  return std::memcmp(bytes.data() + at, text, n) == 0;
}

uint32_t Le32(std::span<const uint8_t> bytes, std::size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The 28-bit size of an ID3v2 header or footer, -1 when a byte has its top bit set.
int64_t SyncSafe(std::span<const uint8_t> bytes, std::size_t at) {
  int64_t size = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (bytes[at + i] & 0x80) return -1;
    size = size << 7 | bytes[at + i];
  }
  return size;
}

bool SameStream(const MpegHeader& a, const MpegHeader& b) {
  return a.version == b.version && a.layer == b.layer && a.sampleRate == b.sampleRate;
}

// Frames in a row from `at` (at most `want`) that match the first one and
// lie inside [at, end); `reachedEnd` when the last of them ends exactly at end.
int CountRun(std::span<const uint8_t> bytes, std::size_t at, std::size_t end, int want,
             bool* reachedEnd) {
  MpegHeader first, header;
  int count = 0;
  *reachedEnd = false;
  while (count < want && at < end && mpeg_ParseHeader(bytes.subspan(at, end - at), &header)) {
    if (count == 0) first = header;
    if (!SameStream(first, header) || header.frameLength > end - at) break;
    at += header.frameLength;
    ++count;
    if (at == end) *reachedEnd = true;
  }
  return count;
}

bool RunStartsAt(std::span<const uint8_t> bytes, std::size_t at, std::size_t end) {
  bool reachedEnd = false;
  const int count = CountRun(bytes, at, end, 4, &reachedEnd);
  return count >= 4 || (count >= 2 && reachedEnd);
}

// The first offset in [from, end) where a run of frames starts, or end.
std::size_t FindRun(std::span<const uint8_t> bytes, std::size_t from, std::size_t end) {
  for (std::size_t at = from; at + 4 <= end; ++at) {
    if (bytes[at] == 0xFF && RunStartsAt(bytes, at, end)) return at;
  }
  return end;
}

// A Xing or Info frame (LAME and others) or a VBRI frame carries no music.
bool IsInfoFrame(std::span<const uint8_t> frame, const MpegHeader& h) {
  if (h.layer != 3) return false;
  const bool mono = h.channelMode == MPEG_MONO;
  const std::size_t sideInfo = h.version == MPEG_VERSION_1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  const std::size_t at = 4 + (h.crc ? 2 : 0) + sideInfo;
  return Equal(frame, at, "Xing") || Equal(frame, at, "Info") || Equal(frame, 36, "VBRI");
}

// The end of the audio once ID3v1, APEv2 and appended ID3v2 tags are taken off.
std::size_t TrailingTagsStart(std::span<const uint8_t> bytes, std::size_t begin) {
  std::size_t end = bytes.size();
  for (bool found = true; found;) {
    found = false;
    const std::size_t room = end - begin;
    if (room >= kId3v1Bytes && Equal(bytes, end - kId3v1Bytes, "TAG")) {
      end -= kId3v1Bytes;
      found = true;
    } else if (room >= kApeFooterBytes && Equal(bytes, end - kApeFooterBytes, "APETAGEX")) {
      const std::size_t footer = end - kApeFooterBytes;
      const uint64_t size = Le32(bytes, footer + 12);  // items and footer
      const bool hasHeader = Le32(bytes, footer + 20) & kApeHasHeaderFlag;
      const uint64_t total = size + (hasHeader ? kApeFooterBytes : 0);
      // A damaged size must not eat into the music: the header, when the
      // footer says there is one, has to be where the size puts it.
      if (size >= kApeFooterBytes && total <= room &&
          (!hasHeader || Equal(bytes, end - static_cast<std::size_t>(total), "APETAGEX"))) {
        end -= static_cast<std::size_t>(total);
        found = true;
      }
    } else if (room >= 2 * kId3v2HeaderBytes && Equal(bytes, end - kId3v2HeaderBytes, "3DI")) {
      const int64_t size = SyncSafe(bytes, end - kId3v2HeaderBytes + 6);
      if (size >= 0 && static_cast<uint64_t>(size) + 2 * kId3v2HeaderBytes <= room) {
        end -= static_cast<std::size_t>(size) + 2 * kId3v2HeaderBytes;
        found = true;
      }
    }
  }
  return end;
}

}  // namespace

bool mpeg_ParseHeader(std::span<const uint8_t> bytes, MpegHeader* out) {
  if (bytes.size() < 4 || bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0) return false;
  const int versionBits = (bytes[1] >> 3) & 3;
  const int layerBits = (bytes[1] >> 1) & 3;
  const int bitrateIndex = bytes[2] >> 4;
  const int rateIndex = (bytes[2] >> 2) & 3;
  const int emphasis = bytes[3] & 3;
  if (versionBits == 1 || layerBits == 0 || rateIndex == 3 || emphasis == 2) return false;
  MpegHeader h;
  h.version = versionBits == 3 ? MPEG_VERSION_1 : versionBits == 2 ? MPEG_VERSION_2 : MPEG_VERSION_25;
  h.layer = 4 - layerBits;
  const auto& table = h.version == MPEG_VERSION_1 ? kBitratesV1 : kBitratesV2;
  h.bitrate = table[static_cast<std::size_t>(h.layer - 1)][static_cast<std::size_t>(bitrateIndex)];
  if (h.bitrate == 0) return false;
  const int divisor = h.version == MPEG_VERSION_1 ? 1 : h.version == MPEG_VERSION_2 ? 2 : 4;
  h.sampleRate = kSampleRatesV1[static_cast<std::size_t>(rateIndex)] / divisor;
  h.padding = (bytes[2] >> 1) & 1;
  h.crc = (bytes[1] & 1) == 0;
  h.channelMode = static_cast<MpegChannelMode>(bytes[3] >> 6);
  const uint32_t bitsPerSecond = static_cast<uint32_t>(h.bitrate) * 1000;
  const uint32_t rate = static_cast<uint32_t>(h.sampleRate);
  if (h.layer == 1) {
    h.samples = 384;
    h.frameLength = (12 * bitsPerSecond / rate + h.padding) * 4;
  } else {
    h.samples = (h.layer == 3 && h.version != MPEG_VERSION_1) ? 576 : 1152;
    h.frameLength = h.samples / 8 * bitsPerSecond / rate + h.padding;
  }
  *out = h;
  return true;
}

uint64_t mpeg_Id3v2Size(std::span<const uint8_t> bytes) {
  if (bytes.size() < kId3v2HeaderBytes || !Equal(bytes, 0, "ID3")) return 0;
  if (bytes[3] < 2 || bytes[3] > 4 || bytes[4] == 0xFF) return 0;
  const int64_t size = SyncSafe(bytes, 6);
  if (size < 0) return 0;
  const bool footer = bytes[3] == 4 && (bytes[5] & kId3v2FooterFlag);
  return kId3v2HeaderBytes + static_cast<uint64_t>(size) + (footer ? kId3v2HeaderBytes : 0);
}

bool mpeg_FindFrames(std::span<const uint8_t> bytes, MpegSpan* out) {
  std::size_t begin = 0;
  while (const uint64_t tag = mpeg_Id3v2Size(bytes.subspan(begin))) {
    if (tag >= bytes.size() - begin) return false;  // the tag takes all the rest
    begin += static_cast<std::size_t>(tag);
  }
  const std::size_t end = TrailingTagsStart(bytes, begin);
  MpegSpan span;
  span.tagBytes = begin + (bytes.size() - end);
  span.begin = FindRun(bytes, begin, end);
  if (span.begin == end) return false;
  span.junkBefore = span.begin - begin;
  mpeg_ParseHeader(bytes.subspan(span.begin, end - span.begin), &span.first);
  std::size_t at = span.begin;
  int firstMusicRate = 0;
  MpegHeader header;
  while (at < end && mpeg_ParseHeader(bytes.subspan(at, end - at), &header) &&
         SameStream(span.first, header) && header.frameLength <= end - at) {
    if (span.frames == 0 && IsInfoFrame(bytes.subspan(at, header.frameLength), header)) {
      span.infoFrame = true;
    } else {
      if (firstMusicRate == 0) firstMusicRate = header.bitrate;
      span.sameBitrate = span.sameBitrate && header.bitrate == firstMusicRate;
      span.bitrateSum += static_cast<uint64_t>(header.bitrate);
      span.musicSamples += header.samples;
    }
    ++span.frames;
    at += header.frameLength;
  }
  span.end = at;
  span.junkAfter = end - at;
  span.moreFramesAfter = FindRun(bytes, at, end) != end;
  *out = span;
  return true;
}

bool mpeg_StartsWithFrameOrTag(std::span<const uint8_t> bytes) {
  MpegHeader header;
  return mpeg_Id3v2Size(bytes) != 0 || mpeg_ParseHeader(bytes, &header);
}
