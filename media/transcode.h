// The transcoder: an opened source's audio decoded, resampled to 44.1 kHz
// stereo (libswresample) and encoded by LAME as constant-rate joint stereo
// MPEG-1 Layer III, its first frame the LAME info frame, nothing else in the
// file (no tags, no time stamps), so the same source and rate always give the
// same bytes. Owns the encoder-run counter that tests read.
//
// Includes only the standard library and media/audio_probe.h; it writes only
// the file descriptor it is given.
#pragma once

#include <cstdint>
#include <string>

#include "media/audio_probe.h"

constexpr int kMediaDefaultBitrate = 128;

// True for the MPEG-1 Layer III rates 32, 40, 48, 56, 64, 80, 96, 112, 128,
// 160, 192, 224, 256 and 320 kbit/s.
bool media_IsStandardBitrate(int kbps);

// Encodes the whole audio stream of `in` at `bitrate` kbit/s into `fd`, a
// regular file that is empty and open for writing at offset 0. On success
// sets the bytes written and the duration encoded (seconds); on failure gives
// a reason of a few words ("cannot decode: ...", "no audio", "cannot write: ...").
bool media_Transcode(AudioInput* in, int bitrate, int fd, uint64_t* written, double* duration,
                     std::string* reason);

// Encoder runs since the program started (or since media_ResetEncoderRuns).
uint64_t media_EncoderRuns();
void media_ResetEncoderRuns();
