#include "cli/cli.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "base/vexo_types.h"
#include "card/charset.h"
#include "card/header.h"
#include "cli/commands.h"
#include "cli/signals.h"
#include "drivers/serial/serial.h"
#include "media/transcode.h"
#include "host/progress.h"

int32_t SerialBaudRate = 115200;

namespace {

constexpr int32_t kCardSlot = 1;

// Signals are watched from the moment the port is known until the run ends.
struct SignalWatch {
  explicit SignalWatch(int32_t kind) { vexo_WatchSignals(kind); }
  ~SignalWatch() { vexo_UnwatchSignals(); }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
};

// The usage texts: the original lines in their order, and the words added
// since in the same layout (each continuation line indented by 26 spaces,
// each parameter line by 28).
void PrintUsage(bool extended) {
  std::printf("\n");
  std::printf(extended ? "vexo <port> [--slow][ROS-file] <command> [options]\n"
                       : "vexo <port> [--slow] <command> [options]\n");
  std::printf("  Version: %i.%02i\n\n", 2, 14);
  std::printf("port:    A valid port (lp1,lp2,..., ttyS0, ttyS1, ... or ros).\n");
  std::printf(
      "         Also: ttyUSB0, ttyACM0, ... (the player on a USB serial adapter),\n"
      "               parport0, ... (the adapter through ppdev),\n"
      "               card <device> (the card in a card reader).\n");
  std::printf("         Options: \n");
  if (extended) {
    std::printf("             [ROS-file]:  Name of the ROS File if using the ros port.\n");
    std::printf("             [device]:    Block device of the reader if using the card port.\n");
  }
  std::printf(
      "             [--slow]:    Serial transfers with 57600 Baud. Useful for\n"
      "                          very old computer hardware. Bring the Player\n"
      "                           into the Mac download mode.\n"
      "             [--quiet]:   (-q) No progress lines.\n\n");
  std::printf("command: --get      (-g)  Read the playlist from the card.\n");
  std::printf("         --json     (-j)  Print the playlist as JSON.\n");
  std::printf(
      "         --delete   (-d)  Delete last or all playlist entries.\n"
      "                          Options: [all] - delete all files\n");
  std::printf("                                   [<sample-no>] - delete this title\n");
  std::printf(
      "         --move     (-m)  Move a title to another place in the playlist.\n"
      "                          Options: <from> <to>\n"
      "                            <from>:        Number of the title to move\n"
      "                            <to>:          Its new place\n");
  std::printf("         --empty    (-e)  Write an empty header: no titles, no name.\n");
  std::printf(
      "         --add      (-a)  Add one title.\n"
      "                          Options: <file> <title> [-n <cardname>]\n"
      "                            <file>:        MP3-file.\n"
      "                            <title>:       Title for the MP3-file.\n"
      "                            -n <cardname>: MultiMediaCard name\n");
  const char* cardTypeLine = "                            -t <cardtype>: Type of MultiMediaCard\n";
  if (extended) std::printf("%s", cardTypeLine);
  std::printf(
      "         --import   (-i)  Add songs as titles, transcoded where needed.\n"
      "                          Options: <source>... [-R] [-n <cardname>]\n"
      "                            <source>:      Song, folder or playlist (.m3u)\n"
      "                            --recursive (-R): Folders with subfolders\n"
      "                            -n <cardname>: MultiMediaCard name\n");
  if (extended) std::printf("%s", cardTypeLine);
  if (extended) {
    std::printf(
        "                            --bitrate <kbit/s>: Rate of transcodes (32..320),\n"
        "                                           MP3s above it transcoded too\n"
        "                            --keep-tags:   MP3s the player plays stored whole\n"
        "                            --fit:         Lower the rate until the songs fit\n"
        "                            --no-cache:    Prepare every song afresh\n");
  }
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
        "                          Options: <file> [--used] [--verify]\n"
        "                            <file>:        File for raw write\n"
        "                            --used (-u):   Only up to the end of the\n"
        "                                           file's highest title\n"
        "                            --verify (-vf): Compare the card with the\n"
        "                                           file afterwards\n");
    std::printf(
        "         --rawread  (-rr) Read the complete card 1:1\n"
        "                          Options: <file> [--used]\n"
        "                            <file>:        File for storing the data\n"
        "                            --used (-u):   Only up to the end of the\n"
        "                                           highest title\n");
    std::printf(
        "         --verify   (-vf) Compare the card with a file 1:1\n"
        "                          Options: <file> [--used]\n"
        "                            <file>:        File to compare with\n"
        "                            --used (-u):   Only up to the end of the\n"
        "                                           file's highest title\n"
        "         --check    (-ck) Check the header and titles; write nothing.\n"
        "                          Options: [--json]\n"
        "         --repair   (-rp) Mend the table without losing a title.\n"
        "                          Options: [--dry-run] - only print the plan\n");
    std::printf(
        "         --sync     (-sy) Make the card hold these songs in this order,\n"
        "                          sending only the songs not yet on it\n"
        "                          Options: <source>... [-n <cardname>]\n"
        "                            <source>:      Song, folder or playlist\n"
        "                            --dry-run:     Print the plan, write nothing\n"
        "                            --force:       Do a plan that deletes every\n"
        "                                           title on the card\n"
        "                            --json:        The plan as one JSON object\n"
        "                          --import skips a song already on the card;\n"
        "                          --again adds it anyway, --dry-run writes nothing\n");
  }
  std::printf(
      "         --web      (-w)  Edit the card in a browser until Ctrl-C.\n"
      "                          Options: [<address>:<port>]\n"
      "                            <address>:<port>: Where to listen, on this\n"
      "                                           computer only by default\n");
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
    std::printf("\n");
  }
  std::printf(
      "  The other ports and commands.\n"
      "   vexo ttyUSB0 --import album/ playlist.m3u \n"
      "   vexo card /dev/sdb --move 3 1 \n"
      "   vexo parport0 --delete 2 \n");
  std::printf(
      "\n  Parallel port names are aliases for their addresses, i.e.\n"
      "    lp0=0x378, lp1=0x378, lp2=0x278, lp3=3bc, lp4=0x2bc\n\n");
}

// Decimal conversion: leading blanks and sign, digits up to the first
// non-digit, 0 without digits, saturated to the signed 32-bit range.
int32_t ReadNumber(const char* text) {
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

// A word compared with a name; a missing name (a flag without a short
// form) matches no word.
bool Is(const char* text, const char* word) {
  return text != nullptr && word != nullptr && std::strcmp(text, word) == 0;
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

// The port a run talks to. The path names the image file ("ros") or the
// card reader's device ("card"); the other kinds have none.
struct Port {
  int32_t kind = 0;
  int32_t number = 0;
  const char* path = nullptr;
};

// The words after the command word. A command's parser takes the words it
// knows: its options wherever they stand, then its positional words in
// order. Whatever no parser took is refused before anything is opened.
class CommandWords {
 public:
  CommandWords(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) words_.push_back(argv[i]);
    taken_.assign(words_.size(), false);
  }

  // Takes the first free word equal to name (or shortName); true when found.
  bool TakeFlag(const char* name, const char* shortName = nullptr) {
    const std::size_t i = Find(name, shortName);
    if (i == words_.size()) return false;
    taken_[i] = true;
    return true;
  }

  // Takes "name VALUE": true when name was found; *value is the free word
  // right after it, or nullptr when none follows (name is taken anyway).
  bool TakeOption(const char* name, const char** value, const char* shortName = nullptr) {
    const std::size_t i = Find(name, shortName);
    *value = nullptr;
    if (i == words_.size()) return false;
    taken_[i] = true;
    if (i + 1 < words_.size() && !taken_[i + 1]) {
      taken_[i + 1] = true;
      *value = words_[i + 1];
    }
    return true;
  }

  // A flag a command takes: found, it sets *set.
  struct Flag {
    const char* name;
    const char* shortName;
    bool* set;
  };

  // Takes each flag once, wherever it stands among the free words.
  void TakeFlags(std::initializer_list<Flag> flags) {
    for (const Flag& flag : flags) {
      if (TakeFlag(flag.name, flag.shortName)) *flag.set = true;
    }
  }

  // Takes the flags that stand first, in any order and as often as given,
  // up to the first free word that is none of them.
  void TakeLeadingFlags(std::initializer_list<Flag> flags) {
    for (bool more = true; more;) {
      more = false;
      for (const Flag& flag : flags) {
        if (Is(Peek(), flag.name) || Is(Peek(), flag.shortName)) {
          Next();
          *flag.set = more = true;
        }
      }
    }
  }

  // The first free word, without taking it; nullptr when none is left.
  const char* Peek() const {
    const std::size_t i = FirstFree();
    return i < words_.size() ? words_[i] : nullptr;
  }

  // The first free word, taken; nullptr when none is left.
  const char* Next() {
    const std::size_t i = FirstFree();
    if (i == words_.size()) return nullptr;
    taken_[i] = true;
    return words_[i];
  }

 private:
  std::size_t FirstFree() const {
    std::size_t i = 0;
    while (i < words_.size() && taken_[i]) ++i;
    return i;
  }
  std::size_t Find(const char* name, const char* shortName) const {
    std::size_t i = 0;
    while (i < words_.size() && (taken_[i] || !(Is(words_[i], name) || Is(words_[i], shortName)))) ++i;
    return i;
  }

  std::vector<const char*> words_;
  std::vector<bool> taken_;
};

// The "-n"/"-t" pairs: at most two, read from the next free words; a word
// that begins neither pair ends the scan and is left for the final check.
struct Options {
  std::optional<std::string> cardName;
  uint16_t cardType = 0;
};

enum class ScanOutcome { Ok, NoCardName, NoCardType };

ScanOutcome ScanOptions(CommandWords& words, bool strict, Options* options) {
  for (int pair = 0; pair < 2; ++pair) {
    const char* key = words.Peek();
    if (!Is(key, "-n") && !Is(key, "-t")) break;
    words.Next();
    const char* value = words.Next();
    if (value == nullptr) {
      if (strict) return Is(key, "-n") ? ScanOutcome::NoCardName : ScanOutcome::NoCardType;
      break;
    }
    if (Is(key, "-n")) {
      options->cardName = title_FromTyped(value);
    } else {
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

// A command's run, ready once its words are read; empty after a refusal
// (its message printed).
using Action = std::function<int()>;

Action Refuse(const char* message) {
  std::fputs(message, stdout);
  return {};
}

constexpr const char* kNoValidParameters = " No valid command-line parameters.\n";

// A command's words refused: its line, then what was wrong with -n or -t.
Action RefuseWords(const char* command, ScanOutcome outcome = ScanOutcome::Ok) {
  std::printf(" %s: missing or invalid parameters\n", command);
  if (outcome == ScanOutcome::NoCardName) return Refuse("           No valid cardname.\n");
  if (outcome == ScanOutcome::NoCardType) return Refuse("           No valid cardtype.\n");
  return {};
}

// ---- The commands' parsers: each takes its words and returns the run -----

Action ParseGet(const Port& p, CommandWords&) {
  return [p] { return cmd_Get(p.kind, p.number, kCardSlot, 1, p.path); };
}

Action ParseJson(const Port& p, CommandWords&) {
  return [p] { return cmd_Json(p.kind, p.number, kCardSlot, p.path); };
}

// An optional "ADDRESS:PORT" to listen on.
Action ParseWeb(const Port& p, CommandWords& words) {
  const char* listen = words.Next();
  return [p, listen] { return cmd_Web(p.kind, p.number, kCardSlot, listen, p.path); };
}

Action ParseEmpty(const Port& p, CommandWords&) {
  return [p] { return cmd_Empty(p.kind, p.number, kCardSlot, p.path); };
}

// A number names the title to delete; "all" all of them; any other word (or
// none) the last title.
Action ParseDelete(const Port& p, CommandWords& words) {
  const char* mode = words.Next();
  if (IsNumber(mode)) {
    const int32_t number = ReadNumber(mode);
    return [p, number] { return cmd_DeleteTitle(p.kind, p.number, kCardSlot, number, p.path); };
  }
  const int lastOnly = Is(mode, "all") ? 0 : 1;
  return [p, lastOnly] { return cmd_Delete(p.kind, p.number, kCardSlot, lastOnly, p.path); };
}

Action ParseMove(const Port& p, CommandWords& words) {
  const char* from = words.Next();
  const char* to = words.Next();
  if (!IsNumber(from) || !IsNumber(to)) return RefuseWords("--move");
  return [p, f = ReadNumber(from), t = ReadNumber(to)] {
    return cmd_Move(p.kind, p.number, kCardSlot, f, t, p.path);
  };
}

// A raw copy or a verification: its file, then --used, --quiet and (for a
// restore) --verify wherever they stand.
template <auto copy, bool takesVerify = false>
Action ParseRawCopy(const Port& p, CommandWords& words) {
  const char* file = words.Next();
  if (file == nullptr) return Refuse(kNoValidParameters);
  bool used = false;
  bool quiet = false;
  bool verify = false;
  words.TakeFlags({{"--used", "-u", &used}, {"--quiet", "-q", &quiet}});
  if constexpr (takesVerify) words.TakeFlags({{"--verify", "-vf", &verify}});
  return [p, file, used, quiet, verify] {
    if (quiet) vexo_SetProgressQuiet(true);
    if constexpr (takesVerify) {
      return copy(p.kind, p.number, kCardSlot, file, used ? 1 : 0, p.path, verify);
    } else {
      return copy(p.kind, p.number, kCardSlot, file, used ? 1 : 0, p.path);
    }
  };
}

Action ParseChange(const Port& p, CommandWords& words) {
  if (words.Peek() == nullptr) return RefuseWords("--change");
  Options options;
  const ScanOutcome outcome = ScanOptions(words, true, &options);
  if (outcome != ScanOutcome::Ok) return RefuseWords("--change", outcome);
  return [p, options] {
    return cmd_Change(p.kind, p.number, kCardSlot, OrNull(options.cardName), options.cardType, p.path);
  };
}

Action ParseAdd(const Port& p, CommandWords& words) {
  const char* file = words.Next();
  const char* title = words.Next();
  if (file == nullptr || title == nullptr) return RefuseWords("--add");
  Options options;
  const ScanOutcome outcome = ScanOptions(words, false, &options);
  if (outcome != ScanOutcome::Ok) return RefuseWords("--add", outcome);
  return [p, file, typed = title_FromTyped(title), options]() mutable {
    return cmd_Add(p.kind, p.number, kCardSlot, file, typed.data(), OrNull(options.cardName),
                   options.cardType, p.path);
  };
}

// How songs are prepared, as --import (and --sync) take it: --bitrate N (a
// standard rate, the word a number and nothing else), --keep-tags, --fit and
// --no-cache, anywhere among the command's words. False, with the refusal
// printed, for a missing or other rate.
bool cli_TakeMediaOptions(CommandWords& words, MediaSettings* media) {
  const char* rate = nullptr;
  if (words.TakeOption("--bitrate", &rate)) {
    char* end = nullptr;
    const long kbps = rate != nullptr ? std::strtol(rate, &end, 10) : 0;
    if (rate == nullptr || *rate == '\0' || *end != '\0' || kbps > 320 || !media_IsStandardBitrate(static_cast<int>(kbps))) {
      if (rate == nullptr) {
        std::printf(" --bitrate: the rate is missing\n");
      } else {
        std::printf(" --bitrate %s: not a standard rate\n", rate);
      }
      std::printf("           Standard rates: 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320 kbit/s.\n");
      return false;
    }
    media->bitrate = static_cast<int>(kbps);
  }
  bool noCache = false;
  words.TakeFlags({{"--keep-tags", nullptr, &media->keepTags}, {"--fit", nullptr, &media->fit},
                   {"--no-cache", nullptr, &noCache}});
  media->useCache = !noCache;
  return true;
}

// The sources run up to the first option word; the options may stand
// anywhere after them.
Action ParseImport(const Port& p, CommandWords& words) {
  std::vector<std::string> sources;
  const auto isOption = [](const char* word) {
    for (const char* option : {"-n", "-t", "--recursive", "-R", "--bitrate", "--keep-tags", "--fit", "--no-cache",
                              "--dry-run", "--again"}) {
      if (Is(word, option)) return true;
    }
    return false;
  };
  while (words.Peek() != nullptr && !isOption(words.Peek())) sources.emplace_back(words.Next());
  ImportOptions importOptions;
  words.TakeFlags({{"--recursive", "-R", &importOptions.recursive},
                   {"--dry-run", nullptr, &importOptions.mode.dryRun},
                   {"--again", nullptr, &importOptions.mode.again}});
  if (!cli_TakeMediaOptions(words, &importOptions.media)) return {};
  Options options;
  const ScanOutcome outcome = ScanOptions(words, false, &options);
  if (sources.empty() || outcome != ScanOutcome::Ok) return RefuseWords("--import", outcome);
  return [p, sources, options, importOptions] {
    return cmd_Import(p.kind, p.number, kCardSlot, sources, OrNull(options.cardName),
                      options.cardType, p.path, importOptions);
  };
}

// The sources as --import takes them; --dry-run, --force, --json and
// --recursive anywhere after the command word.
Action ParseSync(const Port& p, CommandWords& words) {
  SyncOptions syncOptions;
  words.TakeFlags({{"--dry-run", nullptr, &syncOptions.dryRun},
                   {"--force", nullptr, &syncOptions.force},
                   {"--json", nullptr, &syncOptions.json},
                   {"--recursive", "-R", &syncOptions.recursive}});
  if (!cli_TakeMediaOptions(words, &syncOptions.media)) return {};
  // A sync stores every song as a plain --import would: the rate --fit
  // chooses depends on the card, and a rerun must find the same bytes.
  if (syncOptions.media.fit) return RefuseWords("--sync");
  std::vector<std::string> sources;
  while (words.Peek() != nullptr && !Is(words.Peek(), "-n") && !Is(words.Peek(), "-t")) {
    sources.emplace_back(words.Next());
  }
  Options options;
  const ScanOutcome outcome = ScanOptions(words, false, &options);
  if (sources.empty() || outcome != ScanOutcome::Ok) return RefuseWords("--sync", outcome);
  return [p, sources, options, syncOptions] {
    return cmd_Sync(p.kind, p.number, kCardSlot, sources, OrNull(options.cardName), options.cardType,
                    p.path, syncOptions);
  };
}

Action ParseRead(const Port& p, CommandWords& words) {
  const char* sample = words.Next();
  const char* output = words.Next();
  if (sample == nullptr || ReadNumber(sample) <= 0) return RefuseWords("--read");
  return [p, number = ReadNumber(sample), output] {
    return cmd_Read(p.kind, p.number, kCardSlot, number, output, p.path);
  };
}

Action ParseChTitle(const Port& p, CommandWords& words) {
  const char* sample = words.Next();
  const char* title = words.Next();
  if (sample == nullptr || ReadNumber(sample) <= 0 || title == nullptr) return RefuseWords("--chtitle");
  return [p, number = ReadNumber(sample), typed = title_FromTyped(title)] {
    return cmd_ChTitle(p.kind, p.number, kCardSlot, number, typed.c_str(), p.path);
  };
}

// --check [--json], --repair [--dry-run].
Action ParseCheck(const Port& p, CommandWords& words) {
  bool json = false;
  words.TakeFlags({{"--json", "-j", &json}});
  return [p, json] { return cmd_Check(p.kind, p.number, kCardSlot, json, p.path); };
}

Action ParseRepair(const Port& p, CommandWords& words) {
  bool dryRun = false;
  words.TakeFlags({{"--dry-run", nullptr, &dryRun}});
  return [p, dryRun] { return cmd_Repair(p.kind, p.number, kCardSlot, dryRun, p.path); };
}

struct CommandEntry {
  const char* word;
  const char* shortForm;
  Action (*parse)(const Port& port, CommandWords& words);
};

// The command words, compared exactly, in this order.
constexpr CommandEntry kCommands[] = {
    {"--get", "-g", ParseGet},
    {"--json", "-j", ParseJson},
    {"--web", "-w", ParseWeb},
    {"--empty", "-e", ParseEmpty},
    {"--delete", "-d", ParseDelete},
    {"--move", "-m", ParseMove},
    {"--rawwrite", "-rw", ParseRawCopy<cmd_RawWrite, true>},
    {"--rawread", "-rr", ParseRawCopy<cmd_RawRead>},
    {"--verify", "-vf", ParseRawCopy<cmd_Verify>},
    {"--change", "-c", ParseChange},
    {"--add", "-a", ParseAdd},
    {"--import", "-i", ParseImport},
    {"--sync", "-sy", ParseSync},
    {"--read", "-r", ParseRead},
    {"--chtitle", "-ct", ParseChTitle},
    {"--check", "-ck", ParseCheck},
    {"--repair", "-rp", ParseRepair},
};

// A port number as the characters after the port word's prefix give it, or
// nullopt when they hold no number.
std::optional<int32_t> PortNumber(const char* digits) {
  if (!IsNumber(digits)) return std::nullopt;
  return ReadNumber(digits);
}

// Reads the port word (and the image or device name after "ros" and
// "card"); prints the refusal and returns false for a bad one. *next is the
// position after the port's words.
bool ReadPort(int argc, char** argv, Port* port, int* next) {
  const char* word = argv[1];
  *next = 2;
  if (const char* lineName = SerialLineName(word)) {
    port->kind = VEXO_PORT_SERIAL;
    vexo_serial_SetLineName(lineName);
    const std::optional<int32_t> n = PortNumber(word + std::strlen(lineName));
    const int64_t number = n ? static_cast<int64_t>(*n) + 1 : 0;
    if (number <= 0 || number > INT32_MAX) {
      std::printf(" \nNo valid serial port number\n");
      return false;
    }
    port->number = static_cast<int32_t>(number);
  } else if (StartsWith(word, "parport")) {
    // The same adapter through the kernel's ppdev driver: /dev/parport<n>.
    port->kind = VEXO_PORT_PARALLEL;
    const std::optional<int32_t> n = PortNumber(word + 7);
    if (!n || static_cast<uint32_t>(*n) > VEXO_PARPORT_MAX_NUMBER) {
      std::printf(" \nNo valid parport number. Range 0-255\n");
      return false;
    }
    port->number = VEXO_PARPORT_FIRST + *n;
  } else if (StartsWith(word, "lp")) {
    port->kind = VEXO_PORT_PARALLEL;
    const std::optional<int32_t> n = PortNumber(word + 2);
    if (!n || static_cast<uint32_t>(*n) > 4) {
      std::printf(" \nNo valid parallel port number. Range 0-4\n");
      return false;
    }
    port->number = *n;
  } else if (StartsWith(word, "ros") || StartsWith(word, "card")) {
    // The image file or the reader's device is named by the next argument.
    const bool image = StartsWith(word, "ros");
    port->kind = image ? VEXO_PORT_ROS : VEXO_PORT_READER;
    port->number = 1;
    port->path = argc > 2 ? argv[2] : nullptr;
    if (port->path == nullptr || StartsWith(port->path, "lp") || StartsWith(port->path, "ttyS")) {
      std::printf(image ? " \nName of the ROS file is missing\n"
                        : " \nName of the card reader device is missing\n");
      return false;
    }
    *next = 3;
  } else {
    std::printf(" \nNo valid port typ (serial or parallel)\n");
    return false;
  }
  return true;
}

}  // namespace

int vexo_Main(int argc, char** argv) {
  SerialBaudRate = 115200;
  vexo_SetProgressQuiet(false);
  vexo_serial_SetLineName("ttyS");

  const char* first = argc >= 2 ? argv[1] : nullptr;
  if (Is(first, "--helpex") || Is(first, "--help") || Is(first, "-h")) {
    PrintUsage(Is(first, "--helpex"));
    return VEXO_EXIT_DONE;
  }
  if (Is(first, "--version") || Is(first, "-V")) {
    std::printf("vexo %i.%02i\n", 2, 14);
    return VEXO_EXIT_DONE;
  }
  if (argc < 3) {
    PrintUsage(false);
    return VEXO_EXIT_REJECTED;
  }

  Port port;
  int k = 2;
  if (!ReadPort(argc, argv, &port, &k)) return VEXO_EXIT_REJECTED;

  const SignalWatch signalWatch(port.kind);
  // Run options before the command, in any order.
  CommandWords words(argc, argv, k);
  bool slow = false;
  bool quiet = false;
  words.TakeLeadingFlags({{"--slow", "-s", &slow}, {"--quiet", "-q", &quiet}});
  if (slow) SerialBaudRate = 57600;
  if (quiet) vexo_SetProgressQuiet(true);
  const char* command = words.Next();
  const CommandEntry* entry = nullptr;
  for (const CommandEntry& candidate : kCommands) {
    if (Is(command, candidate.word) || Is(command, candidate.shortForm)) entry = &candidate;
  }
  if (entry == nullptr) {
    std::printf("%s", kNoValidParameters);
    PrintUsage(false);
    return VEXO_EXIT_REJECTED;
  }

  const Action action = entry->parse(port, words);
  if (!action) return VEXO_EXIT_REJECTED;
  if (const char* leftover = words.Peek()) {
    std::printf(" Unknown parameter: %s\n", leftover);
    return VEXO_EXIT_REJECTED;
  }
  return action();
}
