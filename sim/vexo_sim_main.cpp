// vexo-sim: runs a vexo command line against simulated hardware whose cards
// are image files, so that every command can be tried without the player or
// the adapter. Its own options come before "--"; everything after "--" is the
// vexo command line, exactly as vexo takes it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/signals.h"
#include "drivers/ppa/ppa.h"
#include "drivers/serial/ser_port.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
#include "host/pauses.h"
#include "host/port_lock.h"
#include "base/result_codes.h"

namespace {

#ifndef VEXO_SIM_VERSION
#define VEXO_SIM_VERSION "unknown"
#endif

const char* const kUsage =
    "vexo-sim [options] -- <vexo command line>\n"
    "  Runs vexo against a simulated parallel-port adapter (lp0..lp4, or\n"
    "  parport<n> through a simulated ppdev device) or a simulated player on a\n"
    "  pseudo-terminal (ttyS<n>, ttyUSB<n>, ttyACM<n>); ros works as in vexo.\n"
    "Options:\n"
    "  --card <file>      image file of the card (in the adapter, or in the\n"
    "                     player's slot 1); created blank when missing\n"
    "  --card2 <file>     image file of the card in the player's slot 2\n"
    "  --capacity <bytes> card size reported by the simulated card\n"
    "                     (default 132907008)\n"
    "  --trace <file>     adapter: one line per register access;\n"
    "                     player: one line per byte on the line (time, direction)\n"
    "  --fast             skip the fixed pauses (settle, retry and power-up waits)\n"
    "  --fault NAME[:N]   switch on a fault of the simulated card or player (below);\n"
    "                     may be given more than once\n"
    "  --baud             pace the simulated serial line at the real rate, 10 bits\n"
    "                     a byte: 115200 baud, or 57600 with vexo's --slow\n"
    "  --seed <n>         the simulated card's timing within the bus's bounds\n"
    "                     (default 1; 0: fixed timing)\n"
    "  --player-version <n>  player: version byte, 0..255 (default 214)\n"
    "  --version, -V      print the version of vexo it runs\n"
    "  --help, -h         this text\n";

const char* const kExamples =
    "Examples:\n"
    "  vexo-sim --card card.img -- lp1 --add song.mp3 \"My Song\"\n"
    "  vexo-sim --card card.img -- lp1 --get\n"
    "  vexo-sim --card card.img --card2 other.img -- ttyS0 --get\n"
    "  vexo-sim --baud --fault drop-send:600 --card card.img -- ttyS0 --read 1 back.mp3\n"
    "Exit status: vexo's own (0 done, 1 failed, 2 command line refused, 255 port\n"
    "refused, 128 + n stopped by signal n); 2 also for a refused vexo-sim option.\n";

// Faults as a user switches them on; N is 1-based where it counts bytes.
struct SimFaults {
  MmcSimFaults card;
  std::vector<uint32_t> readCrcSectors;
  std::vector<uint32_t> writeRejectSectors;
  PlayerFaults player;
};

struct FaultEntry {
  const char* name;
  const char* argument;  // what N is; nullptr: the fault takes no N
  int64_t minN;
  int64_t defaultN;
  const char* help;
  void (*apply)(SimFaults& faults, int64_t n);
};

constexpr FaultEntry kFaults[] = {
    // The simulated adapter and card.
    {"no-port", nullptr, 0, 0, "adapter: the port permission is refused",
     [](SimFaults& f, int64_t) { f.card.refuseAccess = true; }},
    {"no-card", nullptr, 0, 0, "adapter: no card in the slot",
     [](SimFaults& f, int64_t) { f.card.noCard = true; }},
    {"never-ready", nullptr, 0, 0, "card: never finishes its power-up",
     [](SimFaults& f, int64_t) { f.card.neverReady = true; }},
    {"no-cid", nullptr, 0, 0, "card: sends no identification (CMD2)",
     [](SimFaults& f, int64_t) { f.card.noCidResponse = true; }},
    {"read-crc", "sector", 0, 0, "card: the first read of sector N has a bad checksum",
     [](SimFaults& f, int64_t n) { f.readCrcSectors.push_back(static_cast<uint32_t>(n)); }},
    {"write-crc", "sector", 0, 0, "card: the first block written to sector N is rejected",
     [](SimFaults& f, int64_t n) { f.writeRejectSectors.push_back(static_cast<uint32_t>(n)); }},
    {"busy-forever", nullptr, 0, 0, "card: stays busy after the first written block",
     [](SimFaults& f, int64_t) { f.card.busyForever = true; }},
    {"no-stop", nullptr, 0, 0, "card: ignores the stop command of a read",
     [](SimFaults& f, int64_t) { f.card.noStopResponse = true; }},
    {"pull", "sector", 0, 0, "card: pulled out when a transfer reaches sector N",
     [](SimFaults& f, int64_t n) { f.card.pullAtSector = n; }},
    {"pull-after", "blocks", 0, 0, "card: pulled out when a block starts after N written ones",
     [](SimFaults& f, int64_t n) { f.card.pullAfterBlocks = n; }},
    {"early-data", "clocks", 1, 10, "card: a read's data starts N clocks before its response ends",
     [](SimFaults& f, int64_t n) { f.card.earlyData = static_cast<int>(std::min<int64_t>(n, 1000)); }},
    {"status-glitch", "reads", 1, 3, "adapter: every N-th status read shows both lines changed",
     [](SimFaults& f, int64_t n) { f.card.statusGlitchEvery = static_cast<uint32_t>(n); }},
    // The simulated player.
    {"silent", nullptr, 0, 0, "player: takes every byte in and answers nothing",
     [](SimFaults& f, int64_t) { f.player.silent = true; }},
    {"drop-send", "byte", 1, 1, "player: its N-th byte never reaches the PC",
     [](SimFaults& f, int64_t n) { f.player.dropSendAt = n - 1; }},
    {"corrupt-send", "byte", 1, 1, "player: its N-th byte arrives inverted",
     [](SimFaults& f, int64_t n) { f.player.corruptSendAt = n - 1; }},
    {"drop-receive", "byte", 1, 1, "player: the PC's N-th byte never reaches it",
     [](SimFaults& f, int64_t n) { f.player.dropReceiveAt = n - 1; }},
    {"corrupt-receive", "byte", 1, 1, "player: the PC's N-th byte arrives inverted",
     [](SimFaults& f, int64_t n) { f.player.corruptReceiveAt = n - 1; }},
    {"refuse-reads", "count", 1, 1, "player: refuses the next N read requests",
     [](SimFaults& f, int64_t n) { f.player.refuseReads = static_cast<int>(n); }},
    {"fail-verify", "count", 1, 1, "player: the next N written blocks fail their verify",
     [](SimFaults& f, int64_t n) { f.player.failVerifies = static_cast<int>(n); }},
    {"hangup", "byte", 1, 1, "player: closes its side of the line after its N-th byte",
     [](SimFaults& f, int64_t n) { f.player.hangupAfter = n - 1; }},
    {"no-version", nullptr, 0, 0, "player: does not answer the version query",
     [](SimFaults& f, int64_t) { f.player.noVersion = true; }},
    {"pull-slot1", "sectors", 0, 0, "player: the card in slot 1 leaves after N more sectors",
     [](SimFaults& f, int64_t n) { f.player.emptySlot = 1; f.player.emptyAfterSectors = n; }},
    {"pull-slot2", "sectors", 0, 0, "player: the card in slot 2 leaves after N more sectors",
     [](SimFaults& f, int64_t n) { f.player.emptySlot = 2; f.player.emptyAfterSectors = n; }},
};

void PrintUsage(FILE* out) {
  std::fputs(kUsage, out);
  std::fputs("Faults (--fault NAME or NAME:N):\n", out);
  for (const FaultEntry& fault : kFaults) {
    std::string name = fault.name;
    if (fault.argument != nullptr) name += ":N";
    std::fprintf(out, "  %-18s %s\n", name.c_str(), fault.help);
  }
  std::fputs(kExamples, out);
}

struct SimOptions {
  std::string card;
  std::string card2;
  uint64_t capacity = 132907008;
  std::string trace;
  int version = 214;
  bool fast = false;
  bool baud = false;
  uint32_t seed = 1;
  SimFaults faults;
  int commandStart = -1;  // index of the first vexo argument
};

void NoDelay(uint32_t) {}
void NoPowerUpWait() {}

// A whole decimal number in [low, high], or false.
bool ParseNumber(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::stoll(text);
  return *value >= low && *value <= high;
}

// Switches on the fault NAME or NAME:N; false for an unknown name or a bad N.
bool AddFault(const std::string& word, SimFaults* faults) {
  const std::size_t colon = word.find(':');
  const std::string name = word.substr(0, colon);
  for (const FaultEntry& fault : kFaults) {
    if (name != fault.name) continue;
    int64_t n = fault.defaultN;
    if (colon != std::string::npos) {
      if (fault.argument == nullptr || !ParseNumber(word.substr(colon + 1), fault.minN, 0xFFFFFFFFll, &n)) {
        return false;
      }
    }
    fault.apply(*faults, n);
    return true;
  }
  return false;
}

// 0 on success, otherwise the exit status for a bad option.
int ParseOptions(int argc, char** argv, SimOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--") {
      options->commandStart = i + 1;
      return 0;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return -1;
    } else if (arg == "--version" || arg == "-V") {
      std::printf("vexo %s\n", VEXO_SIM_VERSION);
      return -1;
    } else if (arg == "--fast") {
      options->fast = true;
    } else if (arg == "--baud") {
      options->baud = true;
    } else if ((arg == "--card" || arg == "--card2" || arg == "--trace" || arg == "--capacity" ||
                arg == "--player-version" || arg == "--fault" || arg == "--seed") && hasValue) {
      const std::string value = argv[++i];
      int64_t number = 0;
      if (arg == "--card") options->card = value;
      if (arg == "--card2") options->card2 = value;
      if (arg == "--trace") options->trace = value;
      if (arg == "--player-version") {
        if (!ParseNumber(value, 0, 255, &number)) {
          std::fprintf(stderr, "vexo-sim: not a version byte (0..255): %s\n", value.c_str());
          return 2;
        }
        options->version = static_cast<int>(number);
      }
      if (arg == "--seed") {
        if (!ParseNumber(value, 0, 0xFFFFFFFFll, &number)) {
          std::fprintf(stderr, "vexo-sim: not a seed (0..4294967295): %s\n", value.c_str());
          return 2;
        }
        options->seed = static_cast<uint32_t>(number);
      }
      if (arg == "--fault" && !AddFault(value, &options->faults)) {
        std::fprintf(stderr, "vexo-sim: unknown fault or bad N: %s (vexo-sim --help lists them)\n",
                     value.c_str());
        return 2;
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
      std::fprintf(stderr, "vexo-sim: unknown or incomplete option: %s\n", arg.c_str());
      PrintUsage(stderr);
      return 2;
    }
  }
  std::fprintf(stderr, "vexo-sim: missing \"--\" before the vexo command line\n");
  PrintUsage(stderr);
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
  config.timingSeed = options.seed;
  if (!mmcsim_InstallImageCard(options.card.c_str(), config)) {
    std::fprintf(stderr, "vexo-sim: cannot open card image %s\n", options.card.c_str());
    return 2;
  }
  *mmcsim_Faults() = options.faults.card;
  for (const uint32_t sector : options.faults.readCrcSectors) mmcsim_SetReadCrcError(sector, 1);
  for (const uint32_t sector : options.faults.writeRejectSectors) mmcsim_SetWriteCrcReject(sector, 1);
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
  const std::string departures = mmcsim_DepartureSummary();
  if (!departures.empty()) std::fprintf(stderr, "vexo-sim: the simulated card saw %s\n", departures.c_str());
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
  config.baud = options.baud ? kPlayerLineSpeed : 0;
  if (!playersim_Start(config)) {
    std::fprintf(stderr, "vexo-sim: cannot start the simulated player (pty or card image)\n");
    return 2;
  }
  playersim_SetFaults(options.faults.player);
  ser_SetDevicePathOverride(playersim_DevicePath().c_str());
  if (options.fast) vexo_SetDelayHook(playersim_DelayHook);
  const int status = vexo_Main(argc, argv);
  const std::string departures = playersim_DepartureSummary();
  playersim_Stop();
  if (!departures.empty()) std::fprintf(stderr, "vexo-sim: the simulated player saw %s\n", departures.c_str());
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
  vexo_TakeLocale();
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
  const bool parallel = std::strncmp(port, "lp", 2) == 0 || std::strncmp(port, "parport", 7) == 0;
  // Every serial line word goes to the simulated player: vexo-sim never opens
  // a real line.
  bool serial = false;
  for (const char* line : {"ttyS", "ttyUSB", "ttyACM"}) {
    serial = serial || std::strncmp(port, line, std::strlen(line)) == 0;
  }
  if ((parallel || serial) && options.card.empty()) {
    std::fprintf(stderr, "vexo-sim: --card <file> is needed for %s\n", port);
    PrintUsage(stderr);
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
