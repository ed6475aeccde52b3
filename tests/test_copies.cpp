// Long copies: the progress line with rate and time left on a terminal (and
// unchanged anywhere else), --quiet, and the used part of a card.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "drivers/reader/rdr.h"
#include "host/progress.h"
#include "support/test_support.h"

namespace {

using vexo_test::Bytes;
using vexo_test::CardTitle;
using vexo_test::kDone;
using vexo_test::ReadFile;
using vexo_test::RunVexo;
using vexo_test::TempDir;

// A clock that moves on one second each time it is read.
double g_seconds = 0;
double SecondPerRead() { return g_seconds += 1.0; }

// A card image holding one title of `sectors` whole sectors.
std::string OneTitleImage(const TempDir& dir, uint32_t sectors) {
  const std::string image = dir.File("card.ros");
  Bytes bytes = vexo_test::WriteCardImage(image, 1, "Long", {{0x10000, sectors * 512, "Song"}},
                                          0x10000 + sectors * 512);
  vexo_test::WriteFile(image, bytes);
  return image;
}

// Runs vexo in a child whose standard output is a pseudo-terminal, with the
// one-second clock; everything the terminal received.
std::string RunOnTerminal(const std::vector<std::string>& args) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "openpty failed";
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    dup2(slave, STDOUT_FILENO);
    close(master);
    close(slave);
    vexo_SetProgressClock(SecondPerRead);
    std::vector<std::string> storage{"vexo"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    vexo_Main(static_cast<int>(storage.size()), argv.data());
    std::fflush(stdout);
    _exit(0);
  }
  close(slave);
  std::string out;
  char chunk[4096];
  ssize_t got;
  while ((got = read(master, chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<std::size_t>(got));
  close(master);
  waitpid(child, nullptr, 0);
  return out;
}

TEST(ProgressLine, OnATerminalShowsRateAndTimeLeft) {
  TempDir dir;
  const std::string image = OneTitleImage(dir, 300);
  const std::string out = RunOnTerminal({"ros", image, "--read", "1", dir.File("song.mp3")});
  // Index 10 a second after index 0: 10 sectors a second, 290 sectors left.
  EXPECT_NE(out.find(" 0 / 300 (0%) \r"), std::string::npos) << out;
  EXPECT_NE(out.find(" 10 / 300 (3%)  5.0 KB/s  0:29 left \r"), std::string::npos) << out;
  EXPECT_NE(out.find(" 290 / 300 (96%)  5.0 KB/s  0:01 left \r"), std::string::npos) << out;
  // The long line is blanked before " Done." overwrites it.
  const std::size_t last = out.rfind(" left \r");
  ASSERT_NE(last, std::string::npos) << out;
  const std::size_t width = last + 6 - out.rfind('\r', last - 1) - 1;
  EXPECT_EQ(out.substr(last + 7, width + 7), std::string(width, ' ') + "\r Done.") << out;
}

TEST(ProgressLine, PipedAndQuietOutputStayAsTheyWere) {
  vexo_test::UseNoDelay();
  TempDir dir;
  const std::string image = OneTitleImage(dir, 30);
  std::string lines;
  for (const char* line : {" 0 / 30 (0%) \r", " 10 / 30 (33%) \r", " 20 / 30 (66%) \r"}) lines += line;
  const std::string head = "\n Reading file:\n ";
  const std::string piped = RunVexo({"ros", image, "--read", "1", dir.File("a.mp3")}).out;
  EXPECT_EQ(piped, head + lines + kDone + " Transferrate: 0 Bits/sec.\n");
  for (const char* quiet : {"--quiet", "-q"}) {
    const std::string out = RunVexo({"ros", image, quiet, "--read", "1", dir.File("b.mp3")}).out;
    EXPECT_EQ(out, head + kDone + " Transferrate: 0 Bits/sec.\n") << quiet;
  }
  EXPECT_EQ(RunVexo({"ros", image, "--read", "1", dir.File("c.mp3")}).out, piped)
      << "quiet lasts one run";
}

TEST(ProgressLine, TerminalFormTable) {
  struct Case {
    VexoProgressLine line;
    const char* text;
  };
  const Case cases[] = {
      {{0, 259584, 0, 0}, " 0 / 259584 (0%) "},
      {{10, 259584, 0, 0.2}, " 10 / 259584 (0%) "},           // too soon to measure
      {{500, 1000, 500, 10}, " 500 / 1000 (50%) "},           // nothing done since the start
      {{12345, 259584, 0, 548.7}, " 12345 / 259584 (4%)  11.2 KB/s  3:03:09 left "},
      {{1100, 1200, 1000, 10}, " 1100 / 1200 (91%)  5.0 KB/s  0:10 left "},  // a resumed copy
  };
  for (const Case& c : cases) {
    char text[160];
    vexo_FormatTerminalProgress(c.line, text, sizeof text);
    EXPECT_EQ(std::string(text), c.text);
  }
}

// ---- The used part of a card ------------------------------------------------

constexpr uint32_t kUsedCard = 0x80000;

// Three titles; the last entry does not lie highest.
const std::vector<CardTitle> kScattered = {
    {0x10000, 5000, "One"}, {0x40000, 1000, "Highest"}, {0x12000, 3000, "Last entry"}};

Bytes FilledCard(const std::string& image, const std::vector<CardTitle>& titles, bool header) {
  Bytes bytes = vexo_test::Pattern(kUsedCard, 5);
  if (header) {
    const Bytes head = vexo_test::WriteCardImage(image, 1, "Used", titles);
    std::copy(head.begin(), head.end(), bytes.begin());
  }
  vexo_test::WriteFile(image, bytes);
  return bytes;
}

TEST(UsedPart, CopiesUpToTheHighestTitleOnEveryKind) {
  struct Case {
    std::vector<CardTitle> titles;
    bool header;
    std::size_t length;
  };
  const Case cases[] = {
      {kScattered, true, 0x40000 + 1000},
      {{}, true, 0x10000},         // no titles: the header area
      {kScattered, false, kUsedCard},  // no valid header: the whole card
  };
  for (int32_t kind : {VEXO_PORT_READER, VEXO_PORT_PARALLEL, VEXO_PORT_SERIAL}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(vexo_test::KindName(kind)) + " " + std::to_string(c.length));
      TempDir dir;
      const std::string image = dir.File("card.img");
      const Bytes card = FilledCard(image, c.titles, c.header);
      std::vector<std::string> words;
      std::unique_ptr<vexo_test::CardOnPort> port;
      if (kind == VEXO_PORT_READER) {
        rdr_AllowRegularFile(true);
        vexo_test::UseNoDelay();
        words = {"card", image};
      } else {
        port = std::make_unique<vexo_test::CardOnPort>(kind, image, kUsedCard);
        ASSERT_TRUE(port->ready);
        words = port->Words();
      }
      for (const char* used : {"--used", "-u"}) {
        const std::string copy = dir.File(std::string("copy") + used);
        const std::string out = RunVexo(words, {"--rawread", copy, used}).out;
        EXPECT_NE(out.find(kDone), std::string::npos) << out;
        EXPECT_EQ(ReadFile(copy), Bytes(card.begin(), card.begin() + static_cast<long>(c.length)));
      }
      rdr_AllowRegularFile(false);
    }
  }
}

}  // namespace
