#include "target_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/pauses.h"

namespace fs = std::filesystem;

namespace vexo_fuzz {

namespace {

void NoPause(uint32_t) {}

std::string MakeFolder() {
  // In memory where the machine offers it: the targets write files at every run.
  const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "vexo-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) vexo_fuzz_Fail(__FILE__, __LINE__, "mkdtemp");
  static std::string removed;
  removed = pattern;
  std::atexit([] {
    std::error_code error;
    fs::remove_all(removed, error);
  });
  return pattern;
}

}  // namespace

const std::string& Folder() {
  static const std::string folder = MakeFolder();
  return folder;
}

std::string WriteFile(const std::string& name, const uint8_t* data, std::size_t size) {
  const std::string path = Folder() + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

std::vector<uint8_t> ReadFile(const std::string& path, std::size_t limit) {
  std::vector<uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t chunk[65536];
  std::size_t got = 0;
  while (bytes.size() < limit && (got = std::fread(chunk, 1, std::min(sizeof chunk, limit - bytes.size()), file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  std::fclose(file);
  return bytes;
}

void EmptyFolder() {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Folder(), error)) fs::remove_all(entry.path(), error);
}

void SilenceOutput() {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) vexo_fuzz_Fail(__FILE__, __LINE__, "stdout");
}

void NoDelays() { vexo_SetDelayHook(NoPause); }

}  // namespace vexo_fuzz

void vexo_fuzz_Fail(const char* file, int line, const char* message) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, message);
  std::abort();
}
