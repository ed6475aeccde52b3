#include "cli/cli.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "card/charset.h"
#include "card/header.h"
#include "cli/commands.h"
#include "cli/signals.h"
#include "drivers/serial/serial.h"
#include "host/progress.h"
#include "base/vexo_types.h"

int32_t SerialBaudRate = 115200;

namespace {

constexpr int kExitRejected = 0;
constexpr int kExitHandled = 1;
constexpr int32_t kCardSlot = 1;

// Signals are watched from the moment the port is known until the run ends.
struct SignalWatch {
  explicit SignalWatch(int32_t kind) { vexo_WatchSignals(kind); }
  ~SignalWatch() { vexo_UnwatchSignals(); }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
};

void PrintUsage(bool extended) {
  std::printf("\n");
  std::printf(extended ? "vexo <port> [--slow][--quiet][ROS-file] <command> [options]\n"
                       : "vexo <port> [--slow][--quiet] <command> [options]\n");
  std::printf("  Version: %i.%02i\n\n", 2, 14);
  std::printf("port:    A valid port (lp1,lp2,..., ttyS0, ttyS1, ... or ros).\n");
  std::printf("         Options: \n");
  if (extended) std::printf("             [ROS-file]:  Name of the ROS File if using the ros port.\n");
  std::printf(
      "             [--slow]:    Serial transfers with 57600 Baud. Useful for\n"
      "                          very old computer hardware. Bring the Player\n"
      "                           into the Mac download mode.\n"
      "             [--quiet]:   (-q) No progress lines.\n\n");
  std::printf("command: --get      (-g)  Read the playlist from the card.\n");
  std::printf(
      "         --delete   (-d)  Delete last or all playlist entries.\n"
      "                          Options: [all] - delete all files\n");
  std::printf(
      "         --add      (-a)  Add one title.\n"
      "                          Options: <file> <title> [-n <cardname>]\n"
      "                            <file>:        MP3-file.\n"
      "                            <title>:       Title for the MP3-file.\n"
      "                            -n <cardname>: MultiMediaCard name\n");
  const char* cardTypeLine = "                            -t <cardtype>: Type of MultiMediaCard\n";
  if (extended) std::printf("%s", cardTypeLine);
  std::printf(
      "         --change   (-c)  Change only the cardname, no download.\n"
      "                          Options: -n <cardname>\n"
      "                            -n <cardname>: MultiMediaCard name\n");
  if (extended) std::printf("%s", cardTypeLine);
  std::printf(
      "         --chtitle  (-ct) Change the title of a sample on the card.\n"
      "                          Options: <sample-no> <title-name>\n"
      "                             <sample-no>:  Number of the MP3-file\n"
      "                             <title-name>: New name for the title\n");
  if (extended) {
    std::printf(
        "         --read     (-r)  Read one title from card.\n"
        "                          Options: <sample-nr> [<file-name>]\n"
        "                            <sample-no>:   Number of the MP3-file.\n"
        "                            <file-name>:   Name of the MP3-file for storing\n");
    std::printf(
        "         --rawwrite (-rw) Write a file directly to the card\n"
        "                          Options: <file>\n"
        "                            <file>:        File for raw write\n");
    std::printf(
        "         --rawread  (-rr) Read the complete card 1:1\n"
        "                          Options: <file> [--used]\n"
        "                            <file>:        File for storing the data\n"
        "                            --used (-u):   Only up to the end of the\n"
        "                                           highest title\n");
  }
  const char* lp = "lp1 ";
  const char* tty = "ttyS0";
  std::printf("\nExamples for %s and %s :\n", lp, tty);
  std::printf("  vexo %s   --get \n", lp);
  std::printf("  vexo %s   --delete \n", lp);
  std::printf("  vexo %s  --delete all \n", tty);
  std::printf("  vexo %s  --add file.mp3 title \n", tty);
  std::printf("  vexo %s  --slow --add file.mp3 title \n", tty);
  std::printf("  vexo %s  --slow --get \n", tty);
  std::printf("  vexo %s   --add file.mp3 title -n testname \n", lp);
  std::printf("  vexo %s   --change -n testname \n", lp);
  std::printf("  vexo %s   --chtitle 1 test\n\n", lp);
  if (extended) {
    std::printf(
        "  Create a ROS file for ROS cards.\n   vexo ros test.ros --get\n"
        "   vexo ros test.ros --add file.mp3 title \n   vexo %s  --rawwrite test.ros \n",
        lp);
  }
  std::printf(
      "\n  Parallel port names are aliases for their addresses, i.e.\n"
      "    lp0=0x378, lp1=0x378, lp2=0x278, lp3=3bc, lp4=0x2bc\n\n");
}

// Decimal conversion: leading blanks and sign, digits up to the first
// non-digit, 0 without digits, saturated to the signed 32-bit range.
int32_t ReadNumber(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// A word that begins with a number, as ReadNumber reads it.
bool IsNumber(const char* text) {
  if (text == nullptr) return false;
  char* end = nullptr;
  std::strtol(text, &end, 10);
  return end != text;
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The serial device family a port word names, by prefix: the PC's own
// "ttyS", or a USB adapter's "ttyUSB" or "ttyACM" (no word of the other
// port kinds begins with these). nullptr for a word of another port kind.
const char* SerialLineName(const char* portName) {
  if (StartsWith(portName, "ttyS")) return "ttyS";
  if (StartsWith(portName, "ttyUSB")) return "ttyUSB";
  if (StartsWith(portName, "ttyACM")) return "ttyACM";
  return nullptr;
}

bool Is(const char* text, const char* word) { return std::strcmp(text, word) == 0; }

bool IsCommand(const char* text, const char* word, const char* shortForm) {
  return Is(text, word) || Is(text, shortForm);
}

// Arguments by position; absent positions read as nullptr.
struct Arguments {
  int argc;
  char** argv;
  const char* At(int index) const {
    return index >= 0 && index < argc ? argv[index] : nullptr;
  }
};

// The "-n"/"-t" pairs at start and start + 2.
struct Options {
  std::optional<std::string> cardName;
  uint16_t cardType = 0;
};

enum class ScanOutcome { Ok, NoCardName, NoCardType };

ScanOutcome ScanOptions(const Arguments& args, int start, bool strict, Options* options) {
  for (int i = start; i <= start + 2; i += 2) {
    const char* key = args.At(i);
    if (key == nullptr) break;
    const char* value = args.At(i + 1);
    if (Is(key, "-n")) {
      if (value == nullptr) {
        if (strict) return ScanOutcome::NoCardName;
        break;
      }
      options->cardName = title_FromTyped(value);
    } else if (Is(key, "-t")) {
      if (value == nullptr) {
        if (strict) return ScanOutcome::NoCardType;
        break;
      }
      const uint16_t type = static_cast<uint16_t>(ReadNumber(value));
      if (!card_IsValidCardType(type)) return ScanOutcome::NoCardType;
      options->cardType = type;
    }
  }
  return ScanOutcome::Ok;
}

const char* OrNull(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

int vexo_Main(int argc, char** argv) {
  SerialBaudRate = 115200;
  vexo_SetProgressQuiet(false);
  vexo_serial_SetLineName("ttyS");
  const Arguments args{argc, argv};

  if (argc >= 2 && Is(argv[1], "--helpex")) {
    PrintUsage(true);
    return kExitRejected;
  }
  if (argc < 3) {
    PrintUsage(false);
    return kExitRejected;
  }

  int32_t kind = 0;
  int32_t port = 0;
  const char* imagePath = nullptr;
  int k = 2;
  const char* portName = argv[1];
  const char* lineName = SerialLineName(portName);
  if (lineName != nullptr) {
    kind = VEXO_PORT_SERIAL;
    vexo_serial_SetLineName(lineName);
    const int64_t number =
        static_cast<int64_t>(ReadNumber(portName + std::strlen(lineName))) + 1;
    if (number <= 0 || number > INT32_MAX) {
      std::printf(" \nNo valid serial port number\n");
      return kExitRejected;
    }
    port = static_cast<int32_t>(number);
  } else if (StartsWith(portName, "parport")) {
    // The same adapter through the kernel's ppdev driver: /dev/parport<n>.
    kind = VEXO_PORT_PARALLEL;
    const int32_t number = ReadNumber(portName + 7);
    if (static_cast<uint32_t>(number) > VEXO_PARPORT_MAX_NUMBER) {
      std::printf(" \nNo valid parport number. Range 0-255\n");
      return kExitRejected;
    }
    port = VEXO_PARPORT_FIRST + number;
  } else if (StartsWith(portName, "lp")) {
    kind = VEXO_PORT_PARALLEL;
    const int32_t number = ReadNumber(portName + 2);
    if (static_cast<uint32_t>(number) > 4) {
      std::printf(" \nNo valid parallel port number. Range 0-4\n");
      return kExitRejected;
    }
    port = number;
  } else if (StartsWith(portName, "ros") || StartsWith(portName, "card")) {
    // The image file or the reader's device is named by the next argument.
    const bool image = StartsWith(portName, "ros");
    kind = image ? VEXO_PORT_ROS : VEXO_PORT_READER;
    port = 1;
    imagePath = argv[2];
    if (StartsWith(imagePath, "lp") || StartsWith(imagePath, "ttyS")) {
      std::printf(image ? " \nName of the ROS file is missing\n"
                        : " \nName of the card reader device is missing\n");
      return kExitRejected;
    }
    k = 3;
  } else {
    std::printf(" \nNo valid port typ (serial or parallel)\n");
    return kExitRejected;
  }

  const SignalWatch signalWatch(kind);
  // Run options before the command, in any order.
  for (; args.At(k) != nullptr; ++k) {
    if (IsCommand(args.At(k), "--slow", "-s")) {
      SerialBaudRate = 57600;
    } else if (IsCommand(args.At(k), "--quiet", "-q")) {
      vexo_SetProgressQuiet(true);
    } else {
      break;
    }
  }
  const char* command = args.At(k);
  const char* p1 = args.At(k + 1);
  const char* p2 = args.At(k + 2);
  if (command == nullptr) {
    std::printf(" No valid command-line parameters.\n");
    PrintUsage(false);
    return kExitRejected;
  }

  if (IsCommand(command, "--get", "-g")) {
    cmd_Get(kind, port, kCardSlot, 1, imagePath);
  } else if (IsCommand(command, "--json", "-j")) {
    cmd_Json(kind, port, kCardSlot, imagePath);
  } else if (IsCommand(command, "--web", "-w")) {
    cmd_Web(kind, port, kCardSlot, p1, imagePath);
  } else if (IsCommand(command, "--empty", "-e")) {
    cmd_Empty(kind, port, kCardSlot, imagePath);
  } else if (IsCommand(command, "--delete", "-d")) {
    // A number names the title to delete; any other word but "all" means
    // the last title.
    if (IsNumber(p1)) {
      cmd_DeleteTitle(kind, port, kCardSlot, ReadNumber(p1), imagePath);
    } else {
      cmd_Delete(kind, port, kCardSlot, (p1 != nullptr && Is(p1, "all")) ? 0 : 1, imagePath);
    }
  } else if (IsCommand(command, "--move", "-m")) {
    if (!IsNumber(p1) || !IsNumber(p2)) {
      std::printf(" --move: missing or invalid parameters\n");
      return kExitRejected;
    }
    cmd_Move(kind, port, kCardSlot, ReadNumber(p1), ReadNumber(p2), imagePath);
  } else if (IsCommand(command, "--rawwrite", "-rw") || IsCommand(command, "--rawread", "-rr")) {
    if (p1 == nullptr) {
      std::printf(" No valid command-line parameters.\n");
      return kExitRejected;
    }
    const bool write = IsCommand(command, "--rawwrite", "-rw");
    // Options after the file: --used (reads only) and --quiet.
    int usedPartOnly = 0;
    for (int i = k + 2; args.At(i) != nullptr; ++i) {
      if (!write && IsCommand(args.At(i), "--used", "-u")) {
        usedPartOnly = 1;
      } else if (IsCommand(args.At(i), "--quiet", "-q")) {
        vexo_SetProgressQuiet(true);
      } else {
        std::printf(" No valid command-line parameters.\n");
        return kExitRejected;
      }
    }
    if (write) {
      cmd_RawWrite(kind, port, kCardSlot, p1, imagePath);
    } else {
      cmd_RawRead(kind, port, kCardSlot, p1, usedPartOnly, imagePath);
    }
  } else if (IsCommand(command, "--change", "-c")) {
    if (p1 == nullptr) {
      std::printf(" --change: missing or invalid parameters\n");
      return kExitRejected;
    }
    Options options;
    const ScanOutcome outcome = ScanOptions(args, k + 1, true, &options);
    if (outcome != ScanOutcome::Ok) {
      std::printf(" --change: missing or invalid parameters\n");
      std::printf(outcome == ScanOutcome::NoCardName ? "           No valid cardname.\n"
                                                     : "           No valid cardtype.\n");
      return kExitRejected;
    }
    cmd_Change(kind, port, kCardSlot, OrNull(options.cardName), options.cardType, imagePath);
  } else if (IsCommand(command, "--add", "-a")) {
    if (p1 == nullptr || p2 == nullptr) {
      std::printf(" --add: missing or invalid parameters\n");
      return kExitRejected;
    }
    Options options;
    if (ScanOptions(args, k + 3, false, &options) != ScanOutcome::Ok) {
      std::printf(" --add: missing or invalid parameters\n");
      std::printf("           No valid cardtype.\n");
      return kExitRejected;
    }
    std::string title = title_FromTyped(p2);
    cmd_Add(kind, port, kCardSlot, p1, title.data(), OrNull(options.cardName), options.cardType,
            imagePath);
  } else if (IsCommand(command, "--import", "-i")) {
    // The sources run up to the first option word.
    std::vector<std::string> sources;
    int next = k + 1;
    for (; args.At(next) != nullptr && !Is(args.At(next), "-n") && !Is(args.At(next), "-t"); ++next) {
      sources.emplace_back(args.At(next));
    }
    Options options;
    const bool typeOk = ScanOptions(args, next, false, &options) == ScanOutcome::Ok;
    if (sources.empty() || !typeOk) {
      std::printf(" --import: missing or invalid parameters\n");
      if (!typeOk) std::printf("           No valid cardtype.\n");
      return kExitRejected;
    }
    cmd_Import(kind, port, kCardSlot, sources, OrNull(options.cardName), options.cardType,
               imagePath);
  } else if (IsCommand(command, "--read", "-r")) {
    if (p1 == nullptr || ReadNumber(p1) <= 0) {
      std::printf(" --read: missing or invalid parameters\n");
      return kExitRejected;
    }
    cmd_Read(kind, port, kCardSlot, ReadNumber(p1), p2, imagePath);
  } else if (IsCommand(command, "--chtitle", "-ct")) {
    if (p1 == nullptr || ReadNumber(p1) <= 0 || p2 == nullptr) {
      std::printf(" --chtitle: missing or invalid parameters\n");
      return kExitRejected;
    }
    const std::string title = title_FromTyped(p2);
    cmd_ChTitle(kind, port, kCardSlot, ReadNumber(p1), title.c_str(), imagePath);
  } else {
    std::printf(" No valid command-line parameters.\n");
    PrintUsage(false);
    return kExitRejected;
  }
  return kExitHandled;
}
