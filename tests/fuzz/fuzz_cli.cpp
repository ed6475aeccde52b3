// The command line on an image file: the input's lines (or NUL-separated
// words) are the words after "vexo ros card.ros", run in the fuzz folder.
// Paths that leave the folder are replaced and --web (which serves until a
// signal) is left out. Every run ends with 0, 1 or 2, and the image never
// grows past the card it stands for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "target_support.h"
#include "host/pauses.h"

namespace {

constexpr std::size_t kMaxWords = 12;
constexpr uint64_t kCardSize = 132907008;
int g_home = -1;  // the folder the process started in

// Two titles at 0x10000 and 0x10400, each opening with an MPEG frame header.
std::vector<uint8_t> CardImage() {
  std::vector<uint8_t> image(0x10800, 0);
  const auto put32 = [&](std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  image[0] = 1, image[2] = 1, image[3] = 1, image[4] = 2;
  put32(6, 512), put32(10, 512 + 64), image[51] = 32;
  const char* titles[] = {"Song A", "Song B"};
  for (uint32_t i = 0; i < 2; ++i) {
    const std::size_t e = 512 + 32 * i;
    put32(e, 0x10000 + 0x400 * i), put32(e + 4, 1000);
    for (std::size_t c = 0; titles[i][c] != '\0'; ++c) image[e + 8 + c] = static_cast<uint8_t>(titles[i][c]);
    image[e + 31] = 1;
    put32(0x10000 + 0x400 * i, 0x6490FBFF);
  }
  return image;
}

std::string SafeWord(std::string word) {
  if (word == "--web" || word == "-w") return "--get";
  if (!word.empty() && word[0] == '/') return "x";
  if (word.find("..") != std::string::npos) return "x";
  return word;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vexo_fuzz::SilenceOutput();
  vexo_fuzz::NoDelays();
  g_home = open(".", O_RDONLY | O_DIRECTORY);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::vector<std::string> words = {"vexo", "ros", "card.ros"};
  std::string word;
  for (std::size_t i = 0; i <= size && words.size() < 3 + kMaxWords; ++i) {
    if (i == size || data[i] == '\n' || data[i] == '\0') {
      words.push_back(SafeWord(word));
      word.clear();
    } else if (word.size() < 64) {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  vexo_fuzz::EmptyFolder();
  const std::vector<uint8_t> image = CardImage();
  vexo_fuzz::WriteFile("card.ros", image.data(), image.size());
  const std::vector<uint8_t> song(3000, 0x55);
  vexo_fuzz::WriteFile("song.mp3", song.data(), song.size());

  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  vexo_ClearStopRequest();
  // Whatever the words name, relative paths stay in the fuzz folder.
  FUZZ_CHECK(chdir(vexo_fuzz::Folder().c_str()) == 0, "chdir");
  const int status = vexo_Main(static_cast<int>(words.size()), argv.data());
  FUZZ_CHECK(status == 0 || status == 1 || status == 2, "an exit status outside 0, 1, 2");
  if (g_home >= 0) FUZZ_CHECK(fchdir(g_home) == 0, "fchdir");
  struct stat info {};
  FUZZ_CHECK(stat((vexo_fuzz::Folder() + "/card.ros").c_str(), &info) != 0 || static_cast<uint64_t>(info.st_size) <= kCardSize,
             "the image grew past the card");
  return 0;
}
