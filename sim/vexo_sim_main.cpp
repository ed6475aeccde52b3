// vexo-sim: runs a vexo command line against simulated hardware whose cards
// are image files, so that every command can be tried without the player or
// the adapter. Its own options come before "--"; everything after "--" is the
// vexo command line, exactly as vexo takes it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/signals.h"
#include "ppa/ppa.h"
#include "serial/ser_port.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
#include "transport/port_lock.h"
#include "transport/result_codes.h"
#include "transport/shared.h"

namespace {

const char* const kUsage =
    "vexo-sim [options] -- <vexo command line>\n"
    "  Runs vexo against a simulated parallel-port adapter (lp0..lp4) or a\n"
    "  simulated player on a pseudo-terminal (ttyS<n>); ros works as in vexo.\n"
    "Options:\n"
    "  --card <file>      image file of the card (in the adapter, or in the\n"
    "                     player's slot 1); created blank when missing\n"
    "  --card2 <file>     image file of the card in the player's slot 2\n"
    "  --capacity <bytes> card size reported by the simulated card\n"
    "                     (default 132907008)\n"
    "  --trace <file>     adapter: one line per register access;\n"
    "                     player: one line per byte on the line (time, direction)\n"
    "  --version <n>      player: version byte (default 214)\n"
    "  --fast             skip the fixed pauses (settle, retry and power-up waits)\n"
    "  --help             this text\n"
    "Examples:\n"
    "  vexo-sim --card card.img -- lp1 --add song.mp3 \"My Song\"\n"
    "  vexo-sim --card card.img -- lp1 --get\n"
    "  vexo-sim --card card.img --card2 other.img -- ttyS0 --get\n";

struct SimOptions {
  std::string card;
  std::string card2;
  uint64_t capacity = 132907008;
  std::string trace;
  int version = 214;
  bool fast = false;
  int commandStart = -1;  // index of the first vexo argument
};

void NoDelay(uint32_t) {}
void NoPowerUpWait() {}

// 0 on success, otherwise the exit status for a bad option.
int ParseOptions(int argc, char** argv, SimOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--") {
      options->commandStart = i + 1;
      return 0;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "--fast") {
      options->fast = true;
    } else if ((arg == "--card" || arg == "--card2" || arg == "--trace" ||
                arg == "--capacity" || arg == "--version") && hasValue) {
      const std::string value = argv[++i];
      if (arg == "--card") options->card = value;
      if (arg == "--card2") options->card2 = value;
      if (arg == "--trace") options->trace = value;
      if (arg == "--version") {
        char* end = nullptr;
        const long version = std::strtol(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || version < 0 || version > 255) {
          std::fprintf(stderr, "vexo-sim: not a version byte (0..255): %s\n", value.c_str());
          return 2;
        }
        options->version = static_cast<int>(version);
      }
      if (arg == "--capacity") {
        char* end = nullptr;
        options->capacity = std::strtoull(value.c_str(), &end, 10);
        if (end == value.c_str() || *end != '\0' || options->capacity == 0) {
          std::fprintf(stderr, "vexo-sim: not a card size: %s\n", value.c_str());
          return 2;
        }
      }
    } else {
      std::fprintf(stderr, "vexo-sim: unknown or incomplete option: %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  std::fprintf(stderr, "vexo-sim: missing \"--\" before the vexo command line\n%s", kUsage);
  return 2;
}

// Locks the card images the simulated hardware serves, as vexo locks its
// port: false (the error line printed, nothing written) when another run
// holds one. The descriptors stay open, and the locks held, until exit.
bool LockCardImages(const SimOptions& options) {
  for (const std::string& path : {options.card, options.card2}) {
    if (path.empty()) continue;
    const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) continue;  // the simulator reports the image it cannot open
    if (vexo_LockDescriptor(fd) != 0) {
      close(fd);
      std::printf("\n Error: %s\n", vexo_ResultMessage(-VEXO_ERROR_PORT_IN_USE));
      return false;
    }
  }
  return true;
}

int RunParallel(const SimOptions& options, int argc, char** argv) {
  MmcSimConfig config;
  config.capacityBytes = options.capacity;
  if (!mmcsim_InstallImageCard(options.card.c_str(), config)) {
    std::fprintf(stderr, "vexo-sim: cannot open card image %s\n", options.card.c_str());
    return 2;
  }
  FILE* trace = nullptr;
  if (!options.trace.empty()) {
    trace = std::fopen(options.trace.c_str(), "w");
    if (trace == nullptr) {
      std::fprintf(stderr, "vexo-sim: cannot create trace file %s\n", options.trace.c_str());
      mmcsim_Remove();
      return 2;
    }
    mmcsim_SetTrace(trace);
  }
  const int status = vexo_Main(argc, argv);
  mmcsim_SetTrace(nullptr);
  if (trace != nullptr) std::fclose(trace);
  mmcsim_Remove();
  return status;
}

int RunSerial(const SimOptions& options, int argc, char** argv) {
  if (options.capacity > 0xFFFFFFFFull) {
    std::fprintf(stderr, "vexo-sim: the player reports card sizes below 4 GiB\n");
    return 2;
  }
  PlayerSimConfig config;
  config.slots[0].imagePath = options.card;
  config.slots[0].cardSize = static_cast<uint32_t>(options.capacity);
  config.slots[1].imagePath = options.card2;
  config.slots[1].cardSize = static_cast<uint32_t>(options.capacity);
  config.version = options.version;
  config.logBytes = !options.trace.empty();
  if (!playersim_Start(config)) {
    std::fprintf(stderr, "vexo-sim: cannot start the simulated player (pty or card image)\n");
    return 2;
  }
  ser_SetDevicePathOverride(playersim_DevicePath().c_str());
  if (options.fast) vexo_SetDelayHook(playersim_DelayHook);
  const int status = vexo_Main(argc, argv);
  playersim_Stop();
  if (!options.trace.empty()) {
    FILE* trace = std::fopen(options.trace.c_str(), "w");
    if (trace == nullptr) {
      std::fprintf(stderr, "vexo-sim: cannot create trace file %s\n", options.trace.c_str());
      return status;
    }
    for (const PlayerLogEntry& entry : playersim_Log()) {
      std::fprintf(trace, "%12.6f %s 0x%02X\n", static_cast<double>(entry.nanos) / 1e9,
                   entry.fromPc ? "pc->player" : "player->pc", entry.byte);
    }
    std::fclose(trace);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  // The vexo command line, with vexo's own name in front.
  std::vector<char*> vexoArgs;
  static char programName[] = "vexo";
  vexoArgs.push_back(programName);
  for (int i = options.commandStart; i < argc; ++i) vexoArgs.push_back(argv[i]);
  vexoArgs.push_back(nullptr);
  const int vexoArgc = static_cast<int>(vexoArgs.size()) - 1;

  if (options.fast) {
    // The player's own hook (set below) keeps its replies in step.
    vexo_SetDelayHook(NoDelay);
    ppa_SetPowerUpWaitHook(NoPowerUpWait);
  }

  const char* port = vexoArgc >= 2 ? vexoArgs[1] : "";
  const bool parallel = std::strncmp(port, "lp", 2) == 0;
  const bool serial = std::strncmp(port, "ttyS", 4) == 0;
  if ((parallel || serial) && options.card.empty()) {
    std::fprintf(stderr, "vexo-sim: --card <file> is needed for %s\n%s", port, kUsage);
    return 2;
  }
  if ((parallel || serial) && !LockCardImages(options)) return 1;
  int status = 0;
  if (parallel) {
    status = RunParallel(options, vexoArgc, vexoArgs.data());
  } else if (serial) {
    status = RunSerial(options, vexoArgc, vexoArgs.data());
  } else {
    status = vexo_Main(vexoArgc, vexoArgs.data());
  }
  mmcsim_RemoveOwnLockFolder();
  vexo_EndIfSignalled();
  return status;
}
