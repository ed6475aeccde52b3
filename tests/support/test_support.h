// Helpers shared by the test files: a temporary folder that cleans up after
// itself, whole-file reads and writes, and running a vexo command line in
// process with its standard output captured.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexo_test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);
// Deterministic test content: byte i is a mix of i and the seed.
std::vector<uint8_t> Pattern(std::size_t size, uint32_t seed = 1);

struct RunResult {
  int status;
  std::string out;
};
// Runs vexo_Main with these arguments (the program name is added) and
// returns its exit status and everything it printed on standard output.
RunResult RunVexo(const std::vector<std::string>& args);

// Makes every vexo_Delay return at once (installed for the whole test run
// by the files that include this header through NoDelayEnvironment).
void UseNoDelay();

}  // namespace vexo_test
