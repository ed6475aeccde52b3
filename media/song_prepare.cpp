#include "media/song_prepare.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "media/audio_probe.h"
#include "media/mpeg_frames.h"
#include "media/song_cache.h"
#include "media/transcode.h"

namespace {

// Part of every cache key: raise it whenever the stored bytes for the same
// source and settings change (encoder settings, stripping rules).
constexpr int kPreparedFormatVersion = 1;
// An MP3 larger than this is not read into memory to find its frames.
constexpr uint64_t kMpegReadLimit = 1ull << 30;
constexpr std::array<int, 10> kFitRates = {320, 256, 224, 192, 160, 128, 112, 96, 80, 64};

std::atomic<unsigned> workspaceCounter{0};

bool Skip(PreparedSong* out, const std::string& reason) {
  out->action = MEDIA_SKIP;
  out->storedPath.clear();
  out->storedSize = 0;
  out->skipReason = reason;
  return false;
}

std::string CacheKey(const struct stat& st, const MediaSettings& settings) {
  char key[200];
  std::snprintf(key, sizeof key, "v%d-d%" PRIu64 "-i%" PRIu64 "-s%" PRIu64 "-m%" PRId64 ".%09ld-b%d-k%d",
                kPreparedFormatVersion, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                static_cast<long>(st.st_mtim.tv_nsec), settings.bitrate, settings.keepTags ? 1 : 0);
  return key;
}

// The cache's note: what the entry is, so a hit needs no probe.
std::string Note(const PreparedSong& song) {
  char note[256];
  std::snprintf(note, sizeof note, "action=%d bitrate=%d source-bitrate=%d duration=%.6f format=",
                static_cast<int>(song.action), song.bitrate, song.sourceBitrate, song.duration);
  return note + song.sourceFormat;
}

bool ParseNote(const std::string& note, PreparedSong* song) {
  int action = -1;
  int used = 0;
  if (std::sscanf(note.c_str(), "action=%d bitrate=%d source-bitrate=%d duration=%lf format=%n", &action,
                  &song->bitrate, &song->sourceBitrate, &song->duration, &used) != 4 || used == 0) {
    return false;
  }
  if (action != MEDIA_STRIP && action != MEDIA_TRANSCODE) return false;
  song->action = static_cast<MediaAction>(action);
  song->sourceFormat = note.substr(static_cast<std::size_t>(used));
  return !song->sourceFormat.empty();
}

bool FromCache(const std::string& dir, const std::string& key, PreparedSong* out) {
  std::string path, note;
  if (!media_CacheFind(dir, key, &path, &note)) return false;
  PreparedSong song;
  struct stat st {};
  if (!ParseNote(note, &song) || stat(path.c_str(), &st) != 0) return false;
  song.storedPath = path;
  song.storedSize = static_cast<uint64_t>(st.st_size);
  song.sourceSize = out->sourceSize;
  song.fromCache = true;
  *out = song;
  return true;
}

bool ReadWholeFile(const std::string& path, uint64_t size, std::vector<uint8_t>* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->resize(static_cast<std::size_t>(size));
  std::size_t have = 0;
  while (have < bytes->size()) {
    const ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<std::size_t>(got);
  }
  close(fd);
  bytes->resize(have);  // a file that shrank meanwhile is taken as it now is
  return true;
}

bool InProfile(const MpegSpan& span) {
  return span.first.version == MPEG_VERSION_1 && span.first.layer == 3 && span.musicSamples > 0 &&
         !span.moreFramesAfter;
}

// Where the prepared bytes are written: a temporary file of the cache, or a
// file of the workspace.
struct Output {
  std::string cacheDir, key;
  std::string path;
  int fd = -1;
  bool cached = false;
  bool writeFailed = false;  // the bytes were made but could not be put in place

  bool Open(MediaWorkspace* ws) {
    if (!cacheDir.empty() && media_CacheTemp(cacheDir, &path, &fd)) {
      cached = true;
      return true;
    }
    if (ws == nullptr || ws->dir.empty()) return false;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      path = ws->dir + "/song-" + std::to_string(workspaceCounter++) + ".mp3";
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) break;
    }
    return fd >= 0;
  }

  void Abandon() {
    if (fd >= 0) close(fd);
    fd = -1;
    unlink(path.c_str());
  }

  // Puts the written bytes in place; song's storedPath and storedSize are set.
  bool Finish(PreparedSong* song, uint64_t limit) {
    const int result = close(fd);
    fd = -1;
    writeFailed = result != 0 || (cached && !media_CacheStore(cacheDir, key, path, Note(*song), limit, &path));
    if (writeFailed) {
      unlink(path.c_str());
      return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    song->storedPath = path;
    song->storedSize = static_cast<uint64_t>(st.st_size);
    return true;
  }
};

bool WriteAll(int fd, const uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t done = write(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

// The preparation proper, after the cache was asked; `in` is open.
bool Prepare(const std::string& path, const MediaSettings& settings, MediaWorkspace* ws, AudioInput* in,
             Output* output, PreparedSong* out) {
  out->sourceFormat = in->formatName;
  out->duration = in->duration;
  std::vector<uint8_t> bytes;
  MpegSpan span;
  if (in->mpegFile && in->formatName == "MP3" && out->sourceSize <= kMpegReadLimit &&
      ReadWholeFile(path, out->sourceSize, &bytes) && mpeg_FindFrames(bytes, &span) && InProfile(span)) {
    const uint64_t musicFrames = span.frames - (span.infoFrame ? 1 : 0);
    out->sourceBitrate = static_cast<int>((span.bitrateSum + musicFrames / 2) / musicFrames);
    out->duration = static_cast<double>(span.musicSamples) / span.first.sampleRate;
    const bool capped = settings.bitrate != 0 && span.bitrateSum > static_cast<uint64_t>(settings.bitrate) * musicFrames;
    if (!capped && (settings.keepTags || (span.begin == 0 && span.end == bytes.size()))) {
      out->action = MEDIA_COPY;
      out->storedPath = path;
      out->storedSize = out->sourceSize;
      return true;
    }
    if (!capped) {
      out->action = MEDIA_STRIP;
      if (!output->Open(ws)) return Skip(out, "no place to write the prepared song");
      if (!WriteAll(output->fd, bytes.data() + span.begin, span.end - span.begin)) {
        output->writeFailed = true;
        output->Abandon();
        return Skip(out, std::string("cannot write the prepared song: ") + std::strerror(errno));
      }
      return output->Finish(out, settings.cacheLimit) || Skip(out, "cannot write the prepared song");
    }
  }
  bytes = {};
  out->action = MEDIA_TRANSCODE;
  out->bitrate = settings.bitrate != 0 ? settings.bitrate : kMediaDefaultBitrate;
  if (!output->Open(ws)) return Skip(out, "no place to write the prepared song");
  uint64_t written = 0;
  std::string reason;
  if (!media_Transcode(in, out->bitrate, output->fd, &written, &out->duration, &reason)) {
    output->writeFailed = reason.rfind("cannot write", 0) == 0;
    output->Abandon();
    return Skip(out, reason);
  }
  return output->Finish(out, settings.cacheLimit) || Skip(out, "cannot write the prepared song");
}

}  // namespace

bool media_OpenWorkspace(MediaWorkspace* ws) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/vexo-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return false;
  ws->dir = pattern;
  return true;
}

void media_CloseWorkspace(MediaWorkspace* ws) {
  if (ws->dir.empty()) return;
  if (DIR* folder = opendir(ws->dir.c_str())) {
    while (const dirent* item = readdir(folder)) {
      if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
        unlink((ws->dir + "/" + item->d_name).c_str());
      }
    }
    closedir(folder);
  }
  rmdir(ws->dir.c_str());
  ws->dir.clear();
}

bool media_PrepareSong(const std::string& path, const MediaSettings& settings, MediaWorkspace* ws,
                       PreparedSong* out) {
  *out = PreparedSong{};
  if (settings.bitrate != 0 && !media_IsStandardBitrate(settings.bitrate)) return Skip(out, "not a standard bitrate");
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Skip(out, std::string("cannot read: ") + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Skip(out, "not a regular file");
  if (st.st_size == 0) return Skip(out, "empty");
  out->sourceSize = static_cast<uint64_t>(st.st_size);
  Output output;
  if (settings.useCache) {
    output.cacheDir = media_CacheDir(settings.cacheDir);
    output.key = CacheKey(st, settings);
    if (!output.cacheDir.empty() && FromCache(output.cacheDir, output.key, out)) return true;
  }
  AudioInput in;
  std::string reason;
  if (!media_OpenAudio(path, &in, &reason)) return Skip(out, reason);
  const bool stored = Prepare(path, settings, ws, &in, &output, out);
  media_CloseAudio(&in);
  if (!stored && output.cached && output.writeFailed && ws != nullptr) {
    // The cache could not take it (full disk, no rights): the workspace may.
    MediaSettings uncached = settings;
    uncached.useCache = false;
    return media_PrepareSong(path, uncached, ws, out);
  }
  return stored;
}

std::vector<PreparedSong> media_PrepareSongs(const std::vector<std::string>& paths,
                                             const MediaSettings& settings, MediaWorkspace* ws) {
  std::vector<PreparedSong> songs(paths.size());
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < paths.size();) media_PrepareSong(paths[i], settings, ws, &songs[i]);
  };
  const std::size_t workers = std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), paths.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < workers; ++i) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  return songs;
}

std::string media_Describe(const PreparedSong& song) {
  switch (song.action) {
    case MEDIA_COPY: return "copy";
    case MEDIA_STRIP: {
      const uint64_t removed = song.sourceSize > song.storedSize ? song.sourceSize - song.storedSize : 0;
      const uint64_t kb = std::max<uint64_t>(1, (removed + 512) / 1024);
      return "copy without tags (\u2212" + std::to_string(kb) + " KB)";
    }
    case MEDIA_TRANSCODE:
      return "transcode " + song.sourceFormat + " \u2192 MP3 " + std::to_string(song.bitrate) + " kbit/s";
    case MEDIA_SKIP: break;
  }
  return "skip: " + song.skipReason;
}

uint64_t media_TranscodedSizeBound(double duration, int bitrate) {
  if (!(duration > 0) || bitrate <= 0) return 0;
  // 1152 samples a frame at 44.1 kHz; LAME adds its delay, padding and the
  // info frame: three frames cover them.
  const uint64_t frames = static_cast<uint64_t>(std::ceil(duration * 44100.0 / 1152.0)) + 3;
  const uint64_t frameBytes = 144000ull * static_cast<uint64_t>(bitrate) / 44100 + 1;
  return frames * frameBytes;
}

bool media_AboveRate(const PreparedSong& song, int rate) {
  switch (song.action) {
    case MEDIA_COPY:
    case MEDIA_STRIP: return song.sourceBitrate > rate;
    case MEDIA_TRANSCODE: return song.bitrate > rate;
    case MEDIA_SKIP: break;
  }
  return false;
}

int media_FitBitrate(const std::vector<PreparedSong>& songs,
                     const std::function<bool(const std::vector<uint64_t>& sizes)>& fits) {
  for (int rate : kFitRates) {
    std::vector<uint64_t> sizes;
    for (const PreparedSong& song : songs) {
      if (song.action == MEDIA_SKIP) continue;
      sizes.push_back(media_AboveRate(song, rate) ? media_TranscodedSizeBound(song.duration, rate) : song.storedSize);
    }
    if (fits(sizes)) return rate;
  }
  return 0;
}
