// Whole command lines in process: usage texts and messages against the golden
// files, every rejection, and the commands end to end on every kind of port.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "card/charset.h"
#include "cli/cli.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"
#include "host/pauses.h"
#include "base/result_codes.h"
#include "host/trace.h"

namespace {

using namespace vexo_test;

const std::string kBadParams = " No valid command-line parameters.\n";

// A usage text asked for ends with 0, a refused command line with 2.
void ExpectPrints(const std::vector<std::string>& args, const std::string& expected, int status = 2) {
  const vexo_test::RunResult run = RunVexo(args);
  const std::string line = args.empty() ? "" : args.front() + (args.size() > 1 ? " " + args[1] : "");
  EXPECT_EQ(run.status, status) << line;
  EXPECT_EQ(run.out, expected) << line;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override { vexo_test::UseNoDelay(); }
  vexo_test::RunResult Run(const std::vector<std::string>& args) { return RunVexo({"ros", image}, args); }
  std::string Name() { return std::string(reinterpret_cast<const char*>(ReadFile(image).data() + 14)); }
  vexo_test::TempDir dir;
  std::string image = dir.File("card.ros");
};

// The exact bytes a user reads: both usage texts, every result message as "<code> <message>".
std::string Golden(const std::string& name) {
  const Bytes bytes = ReadFile(VEXO_GOLDEN_DIR "/" + name);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(CommandLine, UsageTextsAndResultMessagesAsTheGoldenFiles) {
  const std::string usage = Golden("usage.txt"), extended = Golden("usage_ex.txt");
  ExpectPrints({}, usage);
  ExpectPrints({"ttyS0"}, usage);
  for (const char* help : {"--help", "-h"}) {
    ExpectPrints({help}, usage, 0);
    ExpectPrints({help, "x"}, usage, 0);
  }
  ExpectPrints({"--helpex"}, extended, 0);
  ExpectPrints({"--helpex", "x", "y"}, extended, 0);
  for (const char* version : {"--version", "-V"}) ExpectPrints({version, "lp1"}, "vexo 2.14\n", 0);
  ExpectPrints({"ttyS0", "--helpex"}, kBadParams + usage);
  ExpectPrints({"ttyS0", "--slow"}, kBadParams + usage);
  ExpectPrints({"lp1", "--ge"}, kBadParams + usage);
  ExpectPrints({"ros", "--get"}, kBadParams + usage);  // --get is the image name
  ExpectPrints({"ros", image, "-s"}, kBadParams + usage);
  std::string messages;
  for (int code = 0; code < VEXO_RESULT_CODE_COUNT; ++code) {
    messages += std::to_string(code) + " " + vexo_ResultMessage(-code) + "\n";
  }
  EXPECT_EQ(messages, Golden("messages.txt"));
  for (VexoResult outside : {-VEXO_RESULT_CODE_COUNT, -1000, 1, 17, INT_MIN, INT_MAX}) {
    EXPECT_STREQ(vexo_ResultMessage(outside), "UNKNOWN ERROR") << outside;
  }
}

TEST_F(CommandLine, RejectionsPrintTheirMessage) {
  const std::string noType = "           No valid cardtype.\n";
  const std::string change = " --change: missing or invalid parameters\n";
  const std::string add = " --add: missing or invalid parameters\n";
  const std::string import = " --import: missing or invalid parameters\n";
  const std::string serial = " \nNo valid serial port number\n", parallel = " \nNo valid parallel port number. Range 0-4\n";
  const std::string parport = " \nNo valid parport number. Range 0-255\n", rosName = " \nName of the ROS file is missing\n";
  // Each message, and the command lines that get it.
  const std::vector<std::pair<std::string, std::vector<std::vector<std::string>>>> cases = {
      {" \nNo valid port typ (serial or parallel)\n", {{"-help", "x"}}},
      // A port word needs its number, in its range.
      {parallel, {{"lp5", "--get"}, {"lp-1", "--get"}, {"lp", "--get"}}},
      {parport, {{"parport256", "--get"}, {"parport", "--get"}}},
      {serial, {{"ttyS-1", "--get"}, {"ttyS2147483647", "--get"}, {"ttyS99999999999", "--get"}, {"ttyS", "--get"},
                {"ttyUSB", "--get"}, {"ttyACMx", "--get"}, {"ttyUSB-1", "--get"}, {"ttyACM-2", "--get"}}},
      {rosName, {{"ros", "lp1", "--get"}, {"ros", "ttyS0", "--get"}}},
      {" \nName of the card reader device is missing\n", {{"card", "lp0", "--get"}}},
      {kBadParams, {{"lp1", "--rawwrite"}, {"lp1", "-rr"}}},
      {" --read: missing or invalid parameters\n", {{"lp1", "--read", "0"}, {"lp1", "--read", "x"}}},
      {" --chtitle: missing or invalid parameters\n", {{"lp1", "--chtitle", "1"}, {"lp1", "-ct", "-3", "t"}}},
      {add, {{"lp1", "--add", "a.mp3"}}},
      {add + noType, {{"lp1", "--add", "a.mp3", "t", "-t", "2"}, {"lp1", "--add", "a.mp3", "t", "-n", "N", "-t", "x"}}},
      {change, {{"lp1", "--change"}}},
      {change + "           No valid cardname.\n", {{"lp1", "--change", "-n"}}},
      {change + noType, {{"lp1", "-c", "-t"}, {"lp1", "-c", "-n", "A", "-t", "65536"}}},
      {import, {{"lp1", "--import"}, {"lp1", "-i", "-n", "N", "a.mp3"}}},
      {import + noType, {{"lp1", "-i", "a.mp3", "-t", "2"}}},
      {" --move: missing or invalid parameters\n", {{"lp1", "--move", "1"}, {"lp1", "-m", "x", "2"}}},
      // A word that the command does not take, after or among its words.
      {" Unknown parameter: extra\n", {{"lp1", "--get", "extra"}, {"lp1", "--add", "a.mp3", "t", "extra"}}},
      {" Unknown parameter: --quiet\n", {{"lp1", "-g", "--quiet"}}},
      {" Unknown parameter: --slow\n", {{"lp1", "--get", "--slow"}}},
      {" Unknown parameter: -g\n", {{"lp1", "-j", "-g"}}},
      {" Unknown parameter: all\n", {{"lp1", "-e", "all"}}},
      {" Unknown parameter: now\n", {{"lp1", "--delete", "all", "now"}}},
      {" Unknown parameter: 3\n", {{"lp1", "-d", "2", "3"}, {"lp1", "-m", "1", "2", "3"}}},
      {" Unknown parameter: b\n", {{"lp1", "-rw", "a", "b"}}},
      {" Unknown parameter: more\n", {{"lp1", "--read", "1", "out", "more"}}},
      {" Unknown parameter: words\n", {{"lp1", "-ct", "1", "two", "words"}}},
      {" Unknown parameter: -x\n", {{"lp1", "--add", "a.mp3", "t", "-x", "y", "-n", "N"}}},
      {" Unknown parameter: -n\n", {{"lp1", "--add", "a.mp3", "t", "-n", "A", "-t", "5", "-n", "B"}}},
      {" Unknown parameter: name\n", {{"lp1", "--change", "name"}}},
      {" Unknown parameter: -N\n", {{"lp1", "-c", "-n", "A", "-N", "B"}}},
      {" Unknown parameter: b.mp3\n", {{"lp1", "-i", "a.mp3", "-n", "N", "b.mp3"}}},
  };
  for (const auto& [expected, lines] : cases) {
    for (const auto& args : lines) ExpectPrints(args, expected);
  }
}

// Without port access the parallel kind ends with two lines naming the adapter's data port.
TEST(CommandLineDeathTest, AdapterNumberReachesTheDriver) {
  const std::pair<const char*, const char*> cases[] = {
      {"lp2", "^Could not get permission for parport 0x278\nEither the port is in use or I am not running as root\\.\\.\\.\n$"},
      {"lp0", "parport 0x378\n"}, {"lp 4x", "parport 0x2bc\n"}, {"lp3", "parport 0x3bc\n"},
      {"parport7", "^Could not open /dev/parport7\nEither the port is in use or I am not in the group lp\\.\\.\\.\n$"}};
  for (const auto& [word, text] : cases) EXPECT_EXIT(RunVexo({word, "-g"}), ::testing::ExitedWithCode(255), text);
}

TEST_F(CommandLine, SlowSwitchOnlyAtTheCommandPosition) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--slow", "--get"}, 57600}, {{"-s", "-g"}, 57600}, {{"--get"}, 115200}};
  for (const auto& [args, baud] : cases) {
    EXPECT_EQ(Run(args).status, 0);
    EXPECT_EQ(SerialBaudRate, baud) << args[0];
  }
}

// The -n and -t pairs: at most two, in any order; a refused line leaves the card as it was.
TEST_F(CommandLine, OptionPairsReachTheCard) {
  const std::string song = dir.Write("a.mp3", Pattern(100));
  EXPECT_EQ(Run({"--add", song, "t", "-n"}).status, 0);
  EXPECT_EQ(Name(), "");
  Run({"-a", song, "t", "-t", "5", "-n", "N"});
  EXPECT_EQ(Name(), "N");
  const Bytes before = ReadFile(image);
  EXPECT_EQ(Run({"-a", song, "t", "-x", "y", "-n", "Other"}).status, 2);
  EXPECT_EQ(Run({"-a", song, "t", "-n", "A", "-n", "B", "-n", "Third"}).status, 2);
  EXPECT_EQ(ReadFile(image), before);
  Run({"-c", "-n", "A", "-n", "B"});
  EXPECT_EQ(Name(), "B");
  Run({"--change", "-t", "65541"});
  EXPECT_EQ(Le16(ReadFile(image), 0), 5);
  Run({"--add", song, "t", "-t", "7", "-t", "6"});
  EXPECT_EQ(Le16(ReadFile(image), 0), 6);
}

TEST_F(CommandLine, ImageFilesRefuseDeleteEmptyAndRawCopies) {
  const std::string raw = dir.Write("raw", Pattern(600));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--delete"}, {"-d", "all"}, {"-d", "1"}, {"--empty"}, {"--rawwrite", raw}, {"-rr", dir.File("copy")}}) {
    const vexo_test::RunResult run = Run(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, " - not supported for ROS file -\n") << args[0];
  }
  EXPECT_FALSE(vexo_test::FileExists(image));
  EXPECT_FALSE(vexo_test::FileExists(dir.File("copy")));
}

TEST_F(CommandLine, ReadingATitleBackGivesTheSameBytes) {
  for (uint32_t i = 1; i <= 5; ++i) Run({"--add", dir.Write("in", Pattern(1000, i)), "t"});
  EXPECT_EQ(Run({"--read", "2abc", dir.File("o")}).out,
            "\n Reading file:\n  0 / 2 (0%) \r" + kDone + " Transferrate: 0 Bits/sec.\n");
  EXPECT_EQ(ReadFile(dir.File("o")), Pattern(1000, 2));
  EXPECT_EQ(Run({"--read", "7"}).out, "\n Reading file:\n \n Error: NO VALID SAMPLE NUMBER\n");
  // Without a name, a file named by the title in the current folder; long paths used whole.
  Run({"--add", dir.Write("a", Pattern(3)), "../AC/DC"});
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const vexo_test::RunResult unnamed = Run({"-r", "6"});
  std::filesystem::current_path(saved);
  EXPECT_EQ(unnamed.status, 0);
  EXPECT_EQ(ReadFile(dir.File(".._AC_DC.mp3")), Pattern(3));
  const std::string folder = dir.File(std::string(200, 'd'));
  std::filesystem::create_directory(folder);
  EXPECT_EQ(Run({"--read", "6", folder + "/" + std::string(100, 'o')}).status, 0);
  EXPECT_EQ(ReadFile(folder + "/" + std::string(100, 'o')), Pattern(3));
  EXPECT_EQ(RunVexo({"ros", folder + "/" + std::string(100, 'i'), "--get"}).status, 0);
  EXPECT_EQ(ReadFile(folder + "/" + std::string(100, 'i')).size(), 65536u);
}

// A UTF-8 locale (installed or not) stores a display-code byte per character; any other keeps the bytes.
TEST_F(CommandLine, TypedTextStoredAndListedPerLocale) {
  struct Restore { ~Restore() { unsetenv("LC_ALL"); std::setlocale(LC_CTYPE, "C"); title_SetUtf8Terminal(false); } } restore;
  const std::string song = dir.Write("a.mp3", Pattern(10)), u = "C.UTF-8", missing = "xx_YY.utf8";
  const std::size_t title = 520, name = 14;  // field offsets: title 1, card name
  const struct { std::string locale; std::vector<std::string> args; std::size_t at; std::string stored, listed, file; } cases[] = {
      {u, {"--add", song, "Grüße aus Köln"}, title, "Gr\xF5\xE2" "e aus K\xEFln", "Grüße aus Köln", "Grüße aus Köln.mp3"},
      {u, {"--add", song, "Die Ärzte – Männer"}, title, "Die \xE1rzte - M\xE1nner", "Die ärzte - Männer", ""},
      {u, {"--add", song, "€ Ž 日 " + std::string(20, 'x')}, title, "EUR Z ? " + std::string(14, 'x'), "EUR Z ? " + std::string(14, 'x'), ""},
      {u, {"--add", song, std::string(21, 'x') + "Üz"}, title, std::string(21, 'x') + "\xF5", std::string(21, 'x') + "ü", ""},
      {missing, {"--add", song, "\xE4" "cht \xA9 Ol\xE9"}, title, "\xE1" "cht \xA9 Ol\xE9", "ächt © Olé", ""},
      {missing, {"-ct", "1", "Straße"}, title, "Stra\xE2" "e", "Straße", ""},
      {u, {"-c", "-n", "Ö€" + std::string(40, 'n')}, name, "\xEF" "EUR" + std::string(32, 'n'), "öEUR" + std::string(32, 'n'), ""},
      {"C", {"--add", song, "\xC4pfel Grüße"}, title, "\xE1pfel Grüße", "\x84pfel Grüße", "\xE1pfel Grüße.mp3"},
      {"xx_YY.ISO-8859-1", {"-ct", "1", "M\xE4rz"}, title, "M\xE4rz", "M\xE4rz", ""},
      {"C", {"-c", "-n", "K\xF6ln Köln"}, name, "K\xF6ln Köln", "K\xF6ln Köln", ""},
  };
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    setenv("LC_ALL", c.locale.c_str(), 1);
    vexo_TakeLocale();
    const std::vector<std::string> card = {"ros", dir.File(std::to_string(i))};
    if (c.args[0] == "-ct") RunVexo(card, {"--add", song, "-"});
    EXPECT_EQ(RunVexo(card, c.args).status, 0);
    const Bytes field = Slice(ReadFile(card[1]), c.at, c.stored.size() + 1);
    EXPECT_EQ(std::string(field.begin(), field.end()), c.stored + '\0') << i;
    EXPECT_NE(RunVexo(card, {"--get"}).out.find("  " + c.listed + "\n"), std::string::npos) << i;
    if (c.file.empty()) continue;
    RunVexo(card, {"-r", "1"});
    EXPECT_EQ(ReadFile(dir.File(c.file)), Pattern(10)) << i;
  }
  std::filesystem::current_path(saved);
}

TEST_F(CommandLine, JsonReportsCardStates) {
  EXPECT_EQ(nlohmann::json::parse(Run({"-j"}).out), nlohmann::json::parse(R"({"valid": false, "cardSize": 132907008, "version": "ROS file"})"));
  EXPECT_EQ(nlohmann::json::parse(RunVexo({"ros", dir.path(), "--json"}).out), nlohmann::json::parse(R"({"error": 47, "message": "NOT A REGULAR FILE"})"));
}

// ---- The same commands on every kind of port ------------------------------------------

// The transfer rate of a report replaced by "R".
std::string WithoutRate(const std::string& out) {
  return std::regex_replace(out, std::regex(" Transferrate: [0-9]+ "), " Transferrate: R ");
}

class Commands : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    card = std::make_unique<vexo_test::CardOnPort>(GetParam(), dir.File("card"));
    ASSERT_TRUE(card->ready);
  }
  void TearDown() override { card.reset(); }
  vexo_test::RunResult Run(const std::vector<std::string>& args) { return RunVexo(card->Words(), args); }
  std::string Version() const {
    return GetParam() == VEXO_PORT_ROS ? "ROS file" : GetParam() == VEXO_PORT_PARALLEL ? "PPA" : "2.14";
  }
  std::string Report(int samples, uint32_t freeBytes, const std::string& name, const std::string& titles) {
    return std::string("\n  Cardsize:    132907008 Byte\n  Free:        ") + std::to_string(freeBytes) + " Byte\n" +
           (GetParam() == VEXO_PORT_SERIAL ? "  Cards:       1 inserted\n" : "") + "  Version:     " + Version() +
           "\n  Cardname:    " + name + "\n  No. Samples: " + std::to_string(samples) + "\n" +
           (samples != 0 ? "  Titles:\n" + titles : "");
  }
  vexo_test::TempDir dir;
  std::unique_ptr<vexo_test::CardOnPort> card;
};

// Titles and names cut to 22 and 36; an added title in display code, a changed one as given.
TEST_P(Commands, HeaderCommandsChangeTheCardAlikeOnEveryPort) {
  EXPECT_EQ(Run({"--get"}).out, "\n  Cardsize:    132907008\n  Version:     " + Version() + "\n  - no valid carddata -\n");
  const std::string x22(22, 'x'), n36(36, 'N');
  ASSERT_EQ(Run({"--add", dir.Write("a.MP3", Pattern(700, 52)), "\xC4pfel Stra\xDF" "e"}).status, 0);
  ASSERT_EQ(Run({"-a", dir.Write("b.wav", Pattern(900, 53)), std::string(30, 'x'), "-n", std::string(40, 'N')}).status, 0);
  EXPECT_EQ(Run({"--get"}).out,
            Report(2, 132841472 - 1600, n36, "    1.       700  \x84pfel Stra\xE1" "e\n    2.       900  " + x22 + "\n"));
  Bytes table = vexo_test::EncodeCardTitle({0x10000, 700, "\xE1pfel Stra\xE2" "e", 1});
  const Bytes second = vexo_test::EncodeCardTitle({0x10400, 900, x22, 2});
  table.insert(table.end(), second.begin(), second.end());
  EXPECT_EQ(Slice(card->Sectors(1), 0, 64), table);
  Bytes data = Pattern(900, 53);
  data.resize(1024, 0);
  EXPECT_EQ(card->Sectors(0x10400 / 512, 2), data) << "behind the first title, zero-padded";
  const Bytes header = card->Sectors(0, 2);
  EXPECT_EQ(Run({"--chtitle", "99", "x"}).out, "\n Error: NO VALID SAMPLE NUMBER\n");
  EXPECT_EQ(card->Sectors(0, 2), header);
  EXPECT_EQ(Run({"--change", "-n", "Renamed"}).out, "\n Changed CardName.\n");
  EXPECT_EQ(Run({"-ct", "1", "M\xE4rz " + std::string(30, 'z')}).out, "\n Changed Title for Sample 1.\n");
  const std::string renamed = "M\xE4rz " + std::string(17, 'z');
  EXPECT_EQ(Run({"--get"}).out, Report(2, 132841472 - 1600, "Renamed", "    1.       700  " + renamed + "\n    2.       900  " + x22 + "\n"));
  EXPECT_EQ(Run({"-m", "2", "1"}).out, "\n Moved title 2 to place 1.\n");
  EXPECT_EQ(Run({"--move", "3", "1"}).out, "\n Error: NO VALID SAMPLE NUMBER\n");
  if (GetParam() == VEXO_PORT_ROS) return;  // image files refuse the rest (tested above)
  EXPECT_EQ(Run({"--delete", "99"}).out, "\n Error: NO VALID SAMPLE NUMBER\n");
  EXPECT_EQ(Run({"-d", "1"}).out, "\n Deleted one title.\n");
  EXPECT_EQ(Run({"--get"}).out, Report(1, 132841472 - 700, "Renamed", "    1.       700  " + renamed + "\n"));
  EXPECT_EQ(Run({"--delete", "all"}).out, "\n Deleted all titles.\n");
  EXPECT_EQ(Run({"--get"}).out, Report(0, 132841472, "", ""));
  EXPECT_EQ(Run({"--add", dir.Write("c.mp3", Pattern(10, 54)), "Third"}).status, 0);
  EXPECT_EQ(Run({"--empty"}).out, "\n Empty Header written.\n");
  EXPECT_EQ(card->Sectors(0), Slice(vexo_test::WriteCardImage(dir.File("blank"), 1, "", {}), 0, 512));
  EXPECT_EQ(Run({"--get"}).out, Report(0, 132841472, "", ""));
}

// An add and a read back survive one fault each way where the port can have them.
TEST_P(Commands, AddAndReadBackSurviveAFaultEachWay) {
  const int32_t kind = GetParam();
  const std::string song = dir.Write("song.mp3", Pattern(20 * 512 + 17, 51));
  const std::string progress = std::string(kind == VEXO_PORT_SERIAL ? "" : " 0 / 21 (0%) \r") +
                               " 10 / 21 (47%) \r 20 / 21 (95%) \r";
  if (kind == VEXO_PORT_PARALLEL) mmcsim_SetWriteCrcReject(128 + 12, 1);
  if (kind == VEXO_PORT_SERIAL) playersim_SetFaults({.corruptReceiveAt = 5000});
  EXPECT_EQ(WithoutRate(Run({"--add", song, "Long"}).out),
            "\n Adding file: " + song + "\n " + progress + kDone +
                (kind == VEXO_PORT_ROS ? "" : " Transferrate: R Bits/sec.\n"));
  if (kind == VEXO_PORT_PARALLEL) {
    EXPECT_EQ(mmcsim_Counters().blocksRejected, 1u);
    mmcsim_SetReadCrcError(128 + 15, 1);
  }
  if (kind == VEXO_PORT_SERIAL) {
    EXPECT_EQ(playersim_Counters().crcErrors, 1u);
    playersim_SetFaults({.corruptSendAt = 6000});
  }
  EXPECT_EQ(WithoutRate(Run({"--read", "1", dir.File("back.mp3")}).out),
            "\n Reading file:\n " + progress + kDone + " Transferrate: R Bits/sec.\n");
  EXPECT_EQ(ReadFile(dir.File("back.mp3")), ReadFile(song));
  if (kind == VEXO_PORT_PARALLEL) {
    EXPECT_EQ(mmcsim_Counters().readCrcInjected, 1u);
  } else if (kind == VEXO_PORT_SERIAL) {
    EXPECT_EQ(playersim_Faults().corruptSendAt, -1) << "the fault was used";
  }
}

// A song one byte over the free space, an image one byte over the card: refused, nothing written.
TEST_P(Commands, WhatDoesNotFitIsRefusedAndTheCardStaysAsItWas) {
  const int32_t kind = GetParam();
  card.reset();
  card = std::make_unique<vexo_test::CardOnPort>(kind, dir.File("small"), 128 * 1024);
  ASSERT_TRUE(card->ready);
  ASSERT_EQ(Run({"--add", dir.Write("a.mp3", Pattern(1000, 5)), "A"}).status, 0);
  const uint32_t cardSize = kind == VEXO_PORT_ROS ? 132907008 : 128 * 1024;
  const uint32_t freeBytes = cardSize - 0x10000 - 1000;
  const Bytes before = card->Sectors(0, 256);
  const std::string big = dir.File("big.mp3");
  dir.Write("big.mp3", {});
  std::filesystem::resize_file(big, freeBytes + 1);
  const vexo_test::RunResult add = Run({"--add", big, "Big"});
  EXPECT_EQ(add.status, 1);
  EXPECT_EQ(add.out, "\n Adding file: " + big + "\n \n Error: CARD FULL\n");
  EXPECT_EQ(card->Sectors(0, 256), before);
  if (kind == VEXO_PORT_ROS) return;  // image files refuse raw copies
  const std::string image = dir.File("image");
  dir.Write("image", {});
  std::filesystem::resize_file(image, cardSize + 1);
  const vexo_test::RunResult raw = Run({"--rawwrite", image});
  EXPECT_EQ(raw.status, 1);
  EXPECT_EQ(raw.out, "\n Writing raw file: " + image + "\n \n Error: CARD FULL\n");
  EXPECT_EQ(card->Sectors(0, 256), before);
}

INSTANTIATE_TEST_SUITE_P(Ports, Commands, testing::ValuesIn(vexo_test::kAllKinds),
                         [](const auto& info) { return std::string(vexo_test::KindName(info.param)); });

// The player's second card, a missing version byte, and "all" matched exactly.
TEST(PlayerCommands, PortWordsSecondCardVersionAndDeleteMode) {
  vexo_test::TempDir dir;
  PlayerSimConfig config;
  config.slots[0].imagePath = dir.Write("one", {});
  config.slots[1].imagePath = dir.Write("two", {});
  PlayerSimSession session(config);
  ASSERT_TRUE(session.started);
  EXPECT_EQ(RunVexo({"ttyS0", "--empty"}).out, "\n Empty Header written.\n");
  playersim_SetFaults({.noVersion = true});
  EXPECT_EQ(RunVexo({"ttyS0", "--get"}).out,
            "\n  Cardsize:    132907008 Byte\n  Free:        132841472 Byte\n  Cards:       2 inserted\n"
            "  Version:     655.35\n  Cardname:    \n  No. Samples: 0\n");
  EXPECT_EQ(nlohmann::json::parse(RunVexo({"ttyS0", "-j"}).out)["cardsInserted"], 2);
  EXPECT_TRUE(ReadFile(dir.File("two")).empty()) << "the second card is only probed";
  EXPECT_EQ(RunVexo({"ttyS0", "--delete", "allx"}).out, "\n Deleted one title.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "-d", "ALL"}).out, "\n Deleted one title.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "-d", "all"}).out, "\n Deleted all titles.\n");
}

}  // namespace
