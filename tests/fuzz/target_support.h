// Shared by the fuzz targets: a private folder each process works in (so
// that whatever a target writes stays inside it), and a check that, when it
// fails, ends the run the way a sanitizer does so that libFuzzer keeps the
// input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexo_fuzz {

// The process's own temporary folder, made on first use and removed when
// the process ends.
const std::string& Folder();
// Writes bytes to a file of the folder; returns its path.
std::string WriteFile(const std::string& name, const uint8_t* data, std::size_t size);
// At most `limit` bytes of the file from its start.
std::vector<uint8_t> ReadFile(const std::string& path, std::size_t limit = SIZE_MAX);
// Removes every file the folder holds.
void EmptyFolder();
// Standard output goes to /dev/null (the targets run commands that print).
void SilenceOutput();
// No pause of the program waits.
void NoDelays();

}  // namespace vexo_fuzz

// Aborts with the message when the condition does not hold.
#define FUZZ_CHECK(condition, message)                                   \
  do {                                                                   \
    if (!(condition)) vexo_fuzz_Fail(__FILE__, __LINE__, message);       \
  } while (0)
[[noreturn]] void vexo_fuzz_Fail(const char* file, int line, const char* message);
