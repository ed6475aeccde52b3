#include "support/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli/cli.h"
#include "transport/shared.h"

namespace vexo_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexo-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = mkdtemp(buffer.data());
  if (made == nullptr) std::abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

RunResult RunVexo(const std::vector<std::string>& args) {
  std::vector<std::string> storage;
  storage.push_back("vexo");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  const int status = vexo_Main(static_cast<int>(storage.size()), argv.data());
  std::fflush(stdout);
  return RunResult{status, testing::internal::GetCapturedStdout()};
}

namespace {
void NoDelay(uint32_t) {}
}  // namespace

void UseNoDelay() { vexo_SetDelayHook(NoDelay); }

}  // namespace vexo_test
