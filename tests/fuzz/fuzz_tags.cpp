// Tag reading: the title tag of a file of any format TagLib reads (the
// first byte picks the name's extension), and the MPEG frames and tags
// found in the same bytes.
#include <cstdint>
#include <span>
#include <string>

#include "target_support.h"
#include "media/mpeg_frames.h"
#include "media/tag_title.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const char* const kNames[] = {"t.mp3", "t.flac", "t.ogg", "t.m4a", "t.wav", "t.opus", "t.aiff", "t.ape"};
  const std::span<const uint8_t> bytes(data + 1, size - 1);
  const std::string path = vexo_fuzz::WriteFile(kNames[data[0] % 8], bytes.data(), bytes.size());
  media_TagTitle(path);

  mpeg_StartsWithFrameOrTag(bytes);
  mpeg_Id3v2Size(bytes);
  MpegSpan span;
  if (mpeg_FindFrames(bytes, &span)) {
    FUZZ_CHECK(span.begin <= span.end && span.end <= bytes.size(), "frames outside the buffer");
    FUZZ_CHECK(span.tagBytes <= bytes.size(), "more tag bytes than the buffer");
    FUZZ_CHECK(span.frames > 0, "a run without frames");
  }
  return 0;
}
