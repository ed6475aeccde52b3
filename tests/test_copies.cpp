// Long copies: the progress line with rate and time left on a terminal (and
// unchanged anywhere else), --quiet, and the used part of a card.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "host/block_copy.h"
#include "host/copy_map.h"
#include "host/progress.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
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

// A card image of `bytes` pattern bytes of `seed` under a header that lists
// `titles` (no header with `header` false); written to path and returned.
Bytes PatternCard(const std::string& path, const std::string& name, const std::vector<CardTitle>& titles,
                  uint32_t bytes, uint32_t seed, bool header = true) {
  Bytes card = vexo_test::Pattern(bytes, seed);
  if (header) {
    const Bytes head = vexo_test::WriteCardImage(path, 1, name, titles);
    std::copy(head.begin(), head.end(), card.begin());
  }
  vexo_test::WriteFile(path, card);
  return card;
}

// A card image holding one title of `sectors` whole sectors.
std::string OneTitleImage(const TempDir& dir, uint32_t sectors) {
  const std::string image = dir.File("card.ros");
  PatternCard(image, "Long", {{0x10000, sectors * 512, "Song"}}, 0x10000 + sectors * 512, 1);
  return image;
}

// Everything a terminal on vexo's standard output receives, with the one-second clock.
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
    vexo_test::VexoMain(args);
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
  // 10 sectors a second, 290 left.
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
  // The piped lines themselves: the commands' tests on every port.
  const std::string piped = RunVexo({"ros", image, "--read", "1", dir.File("a.mp3")}).out;
  EXPECT_NE(piped.find(" 20 / 30 (66%) \r" + kDone), std::string::npos) << piped;
  for (const char* quiet : {"--quiet", "-q"}) {
    const std::string out = RunVexo({"ros", image, quiet, "--read", "1", dir.File("b.mp3")}).out;
    EXPECT_EQ(out, "\n Reading file:\n " + kDone + " Transferrate: 0 Bits/sec.\n") << quiet;
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

// The used part: without titles the header area, without a valid header the whole card.
TEST(UsedPart, WithoutTitlesTheHeaderAreaWithoutAHeaderTheWholeCard) {
  for (const bool header : {true, false}) {
    TempDir dir;
    const std::string image = dir.File("card.img");
    const Bytes card = PatternCard(image, "Used", header ? std::vector<CardTitle>{} : kScattered, kUsedCard, 5, header);
    const vexo_test::CardOnPort reader(VEXO_PORT_READER, image);
    const std::string out = RunVexo(reader.Words(), {"--rawread", dir.File("copy"), "-u"}).out;
    EXPECT_NE(out.find(kDone), std::string::npos) << out;
    EXPECT_EQ(ReadFile(dir.File("copy")), vexo_test::Slice(card, 0, header ? 0x10000 : kUsedCard)) << header;
  }
}

// ---- Resumed copies ------------------------------------------------------------

constexpr uint32_t kResumeSectors = 2048;  // a 1 MiB card
constexpr uint32_t kHeadSectors = 128;     // the header area
constexpr uint32_t kReadBack = 2;          // the adapter reads the header back after a copy
constexpr uint32_t kIdentitySectors = 2;   // sector 0 and its table's one sector

Bytes ResumeCard(const std::string& image, const std::string& name) {
  return PatternCard(image, name, {{0x10000, 600000, "Song"}}, kResumeSectors * 512, 7);
}

// One --rawread on the adapter, the card pulled at sector `pullAt` (-1: never); the blocks sent.
uint64_t AdapterRawRead(const std::string& image, const std::string& copy, int64_t pullAt,
                        std::string* out, uint64_t capacity = kResumeSectors * 512) {
  vexo_test::CardOnPort card(VEXO_PORT_PARALLEL, image, capacity);
  EXPECT_TRUE(card.ready);
  mmcsim_Faults()->pullAtSector = pullAt;
  mmcsim_ResetCounters();
  *out = RunVexo(card.Words(), {"--rawread", copy}).out;
  return mmcsim_Counters().blocksRead;
}

class ResumedCopy : public testing::Test {
 protected:
  TempDir dir;
  const std::string image = dir.File("card.img"), copy = dir.File("backup.img");
};

TEST_F(ResumedCopy, StoppedThriceThenFinishedEqualsTheCardReadingNoDataSectorTwice) {
  const Bytes card = ResumeCard(image, "Resume");
  std::string out;
  uint32_t done = kHeadSectors;
  for (uint32_t pullAt : {300u, 301u, 1000u, 2047u}) {
    SCOPED_TRACE(pullAt);
    const uint64_t blocks = AdapterRawRead(image, copy, pullAt, &out);
    EXPECT_NE(out.find("\n Error: "), std::string::npos) << out;
    EXPECT_FALSE(vexo_test::FileExists(copy)) << "never a partial copy under the file's name";
    VexoCopyMap map;
    ASSERT_TRUE(vexo_LoadCopyMap(copy.c_str(), &map));
    EXPECT_EQ(map.done, pullAt);
    // The header area first; a resumed run reads the header and its table again.
    EXPECT_EQ(blocks, (pullAt == 300u ? kHeadSectors : kIdentitySectors) + (pullAt - done));
    EXPECT_EQ(out.find("Resumed") != std::string::npos, pullAt != 300u) << out;
    done = pullAt;
  }
  EXPECT_EQ(AdapterRawRead(image, copy, -1, &out), kIdentitySectors + (kResumeSectors - done) + kReadBack);
  EXPECT_NE(out.find("\n Resumed at sector 2047.\n" + kDone), std::string::npos) << out;
  EXPECT_EQ(ReadFile(copy), card);
  EXPECT_FALSE(vexo_test::FileExists(vexo_PartPath(copy.c_str())));
  EXPECT_FALSE(vexo_test::FileExists(vexo_MapPath(copy.c_str())));
  // An uninterrupted copy reads every sector once.
  EXPECT_EQ(AdapterRawRead(image, dir.File("whole.img"), -1, &out), kResumeSectors + kReadBack);
  EXPECT_EQ(ReadFile(dir.File("whole.img")), card);
}

// Through the player: no sector read twice; the 'n' ending the header's stream brings one block more.
TEST_F(ResumedCopy, ThroughThePlayerReadsNoSectorTwice) {
  const Bytes card = ResumeCard(image, "Player");
  uint32_t done = 0;
  uint64_t sent = 0;
  int runs = 0;
  for (int64_t allowed : {400, 4, 1000, -1}) {
    SCOPED_TRACE(allowed);
    vexo_test::CardOnPort port(VEXO_PORT_SERIAL, image, kResumeSectors * 512);
    ASSERT_TRUE(port.ready);
    playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = allowed});
    playersim_ResetCounters();
    const std::string out = RunVexo(port.Words(), {"--rawread", copy}).out;
    const uint32_t blocks = playersim_Counters().blocksSent;
    sent += blocks;
    ++runs;
    const uint32_t from = std::max(done, kHeadSectors);
    const uint32_t known = runs == 1 ? kHeadSectors : kIdentitySectors;
    if (allowed < 0) {
      EXPECT_NE(out.find(kDone), std::string::npos) << out;
      EXPECT_EQ(blocks, known + 1 + kResumeSectors - from);
      break;
    }
    EXPECT_EQ(blocks, static_cast<uint32_t>(allowed));
    VexoCopyMap map;
    ASSERT_TRUE(vexo_LoadCopyMap(copy.c_str(), &map)) << out;
    EXPECT_EQ(map.done, from + static_cast<uint32_t>(allowed) - known - 1);
    done = map.done;
  }
  EXPECT_EQ(ReadFile(copy), card);
  EXPECT_EQ(sent, kResumeSectors + (runs - 1) * kIdentitySectors + runs);
}

// Through the card reader cut within its 1 MiB blocks: resumed copies equal the card.
TEST_F(ResumedCopy, ThroughTheCardReaderCutAnywhereEqualsAnUninterruptedCopy) {
  const Bytes card = ResumeCard(image, "Reader");
  const vexo_test::CardOnPort reader(VEXO_PORT_READER, image);
  const std::vector<std::string> port = reader.Words();
  const std::vector<std::vector<uint32_t>> cuts = {{1}, {700, 1}, {1, 1, 1917}, {5, 900, 600}};
  for (std::size_t c = 0; c < cuts.size(); ++c) {
    const std::string copy = dir.File("cut" + std::to_string(c) + ".img");
    uint32_t done = kHeadSectors;
    for (uint32_t readsAllowed : cuts[c]) {
      SCOPED_TRACE(std::to_string(c) + " allowed " + std::to_string(readsAllowed));
      vexo_SetSectorReadFailure(readsAllowed + 1);
      const std::string out = RunVexo(port, {"--rawread", copy}).out;
      vexo_SetSectorReadFailure(0);
      EXPECT_NE(out.find("\n Error: "), std::string::npos) << out;
      VexoCopyMap map;
      ASSERT_TRUE(vexo_LoadCopyMap(copy.c_str(), &map)) << out;
      EXPECT_EQ(map.done, done + readsAllowed);
      done = map.done;
    }
    const std::string out = RunVexo(port, {"--rawread", copy}).out;
    EXPECT_NE(out.find("\n Resumed at sector " + std::to_string(done) + ".\n"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(copy), card) << c;  // as an uninterrupted copy (UsedPart) gives it
  }
}

TEST_F(ResumedCopy, AChangedCardStartsOverAndSaysWhy) {
  ResumeCard(image, "Before");
  std::string out;
  AdapterRawRead(image, copy, 900, &out);
  const Bytes changed = ResumeCard(image, "After");  // another card name
  EXPECT_EQ(AdapterRawRead(image, copy, 1200, &out), 1200u);
  EXPECT_NE(out.find("\n Started over: the card's header area changed.\n"), std::string::npos) << out;
  // The same card in a larger size.
  EXPECT_EQ(AdapterRawRead(image, copy, -1, &out, 2 * kResumeSectors * 512), 2 * kResumeSectors + kReadBack);
  EXPECT_NE(out.find("\n Started over: the card's size changed.\n" + kDone), std::string::npos) << out;
  Bytes larger = changed;
  larger.resize(2 * kResumeSectors * 512, 0);
  EXPECT_EQ(ReadFile(copy), larger);
}

// ---- Restores: the cut-off table ---------------------------------------------

constexpr uint32_t kRestoreSectors = 512;  // a 256 KiB card
constexpr uint32_t kRestoreBytes = kRestoreSectors * 512;

// Every title the card lists holds the file's bytes.
void ExpectListedTitlesMatch(const std::string& image, const Bytes& file) {
  for (const vexo_test::ListedTitle& title : vexo_test::ListedTitles(image)) {
    EXPECT_EQ(title.bytes, vexo_test::Slice(file, title.start, title.bytes.size())) << "the listed title at " << title.start;
  }
}

// One run on the adapter or player, the card cut after `cutAfter` sector writes (-1: never).
std::string RestoreRun(int32_t kind, const std::string& image, const std::vector<std::string>& args,
                       int64_t cutAfter) {
  vexo_test::CardOnPort card(kind, image, kRestoreBytes);
  EXPECT_TRUE(card.ready);
  if (kind == VEXO_PORT_PARALLEL) {
    mmcsim_Faults()->pullAfterBlocks = cutAfter;
  } else if (cutAfter >= 0) {
    playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = cutAfter});
  }
  return RunVexo(card.Words(), args).out;
}

TEST(Restore, CutAfterEveryKthWriteNeverListsAWrongTitleAndResumesToTheFile) {
  // 128 blank header sectors, 384 data sectors, the file's 128 header sectors: 640 writes.
  struct Case {
    int32_t kind;
    std::vector<int64_t> cuts;
  };
  const Case cases[] = {
      {VEXO_PORT_PARALLEL, {1, 127, 128, 129, 300, 511, 512, 513, 600, 639}},
      {VEXO_PORT_SERIAL, {1, 200, 600}},
  };
  for (const Case& c : cases) {
    for (int64_t cut : c.cuts) {
      SCOPED_TRACE(std::string(vexo_test::KindName(c.kind)) + " cut after " + std::to_string(cut));
      TempDir dir;
      const std::string image = dir.File("card.img");
      const std::string backup = dir.File("backup.img");
      // The card lists other titles over other bytes than the file's.
      PatternCard(image, "Old", {{0x10000, 90000, "Old"}, {0x30000, 20000, "Older"}}, kRestoreBytes, 3);
      const Bytes file = PatternCard(backup, "New", {{0x10000, 150000, "New"}, {0x36000, 1000, "Top"}}, kRestoreBytes, 9);
      std::string out = RestoreRun(c.kind, image, {"--rawwrite", backup}, cut);
      EXPECT_NE(out.find("\n Error: "), std::string::npos) << out;
      ExpectListedTitlesMatch(image, file);
      out = RestoreRun(c.kind, image, {"--rawwrite", backup}, -1);
      EXPECT_NE(out.find(kDone), std::string::npos) << out;
      EXPECT_EQ(out.find("Resumed at sector") != std::string::npos, cut >= 128) << out;
      EXPECT_EQ(vexo_test::ReadRange(image, 0, kRestoreBytes), file);
      EXPECT_FALSE(vexo_test::FileExists(vexo_WriteMapPath(backup.c_str())));
    }
  }
}

TEST(Restore, UsedPartAChangedFileOrCardAndAVerify) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  const std::string backup = dir.File("backup.img");
  const Bytes old = PatternCard(image, "Old", {{0x10000, 90000, "Old"}}, kRestoreBytes, 3);
  // The highest title is not the last entry.
  const Bytes file = PatternCard(backup, "New", {{0x20000, 1000, "Top"}, {0x10000, 5000, "Low"}}, kRestoreBytes, 9);
  std::string out = RestoreRun(VEXO_PORT_PARALLEL, image, {"--rawwrite", backup, "--used"}, -1);
  EXPECT_EQ(out.find("truncated"), std::string::npos) << out;
  Bytes expected = old;
  // Up to the end of the sector that holds the highest title's last byte.
  std::copy(file.begin(), file.begin() + 0x20000 + 1024, expected.begin());
  EXPECT_EQ(vexo_test::ReadFile(image), expected);

  // A map of another file, or of a card changed since, starts over.
  RestoreRun(VEXO_PORT_PARALLEL, image, {"--rawwrite", backup}, 300);
  vexo_test::WriteFile(backup, vexo_test::Pattern(kRestoreBytes, 11));
  out = RestoreRun(VEXO_PORT_PARALLEL, image, {"--rawwrite", backup}, 300);
  EXPECT_NE(out.find("\n Started over: the file changed.\n"), std::string::npos) << out;
  VexoWriteMap map;
  ASSERT_TRUE(vexo_LoadWriteMap(backup.c_str(), &map));
  Bytes card = vexo_test::ReadFile(image);
  card[(map.done - 1) * 512] ^= 0xFF;  // the last sector the map claims
  vexo_test::WriteFile(image, card);
  out = RestoreRun(VEXO_PORT_PARALLEL, image, {"--rawwrite", backup, "--verify"}, -1);
  EXPECT_NE(out.find("\n Started over: the card changed.\n"), std::string::npos) << out;
  EXPECT_NE(out.find(" Bits/sec.\n\n Verifying the card against file " + backup), std::string::npos) << out;
  EXPECT_NE(out.find(kDone + " Verified: identical.\n"), std::string::npos) << out;
  EXPECT_EQ(vexo_test::ReadFile(image), vexo_test::Pattern(kRestoreBytes, 11));
  // A file longer than the card differs in every sector past the card's end.
  Bytes longer = vexo_test::Pattern(kRestoreBytes, 11);
  longer.resize(kRestoreBytes + 1000, 0);
  vexo_test::WriteFile(backup, longer);
  out = RestoreRun(VEXO_PORT_PARALLEL, image, {"--verify", backup}, -1);
  EXPECT_NE(out.find(" The file is 1000 bytes longer than the card.\n Differs in 2 sectors; the first:\n"
                     "   sector 512: no title\n   sector 513: no title\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("\n Error: CARD DIFFERS FROM FILE\n"), std::string::npos) << out;
}

// ---- Verification ------------------------------------------------------------

// The used part copied, then compared with files that differ in one byte.
TEST(Verify, UsedPartCopiedAndOneChangedByteFoundWithItsTitleOnEveryKind) {
  const struct {
    int64_t changed;   // the byte changed in the file (-1: none)
    bool used;
    const char* listed;  // the line that names the sector, nullptr when identical
  } cases[] = {
      {-1, false, nullptr},
      {0x40000 + 700, false, "   sector 513: title 2, Highest\n"},
      {0x12000 + 2999, true, "   sector 149: title 3, Last entry\n"},
      {0x8000, false, "   sector 64: header area\n"},
      {0x70000, false, "   sector 896: no title\n"},
      {0x70000, true, nullptr},  // above the highest title: not compared
  };
  const std::pair<int32_t, const char*> kinds[] = {
      {VEXO_PORT_READER, " Plan: compare %u sectors.\n"},
      {VEXO_PORT_PARALLEL, " Plan: compare %u sectors; the card is read at the line's speed (the adapter's port).\n"},
      {VEXO_PORT_SERIAL, " Plan: compare %u sectors; the card is read at the line's speed, 11520 bytes/s: at least "},
  };
  for (const auto& [kind, plan] : kinds) {
    TempDir dir;
    const std::string image = dir.File("card.img");
    const Bytes card = PatternCard(image, "Used", kScattered, kUsedCard, 5);
    const vexo_test::CardOnPort port(kind, image, kUsedCard);
    ASSERT_TRUE(port.ready);
    const std::vector<std::string> words = port.Words();
    for (const char* used : {"--used", "-u"}) {  // up to the highest title, not the last entry
      const std::string out = RunVexo(words, {"--rawread", dir.File(used), used}).out;
      EXPECT_NE(out.find(kDone), std::string::npos) << out;
      EXPECT_EQ(ReadFile(dir.File(used)), vexo_test::Slice(card, 0, 0x40000 + 1000)) << vexo_test::KindName(kind) << used;
    }
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(vexo_test::KindName(kind)) + " byte " + std::to_string(c.changed) +
                   (c.used ? " --used" : ""));
      Bytes file = card;
      if (c.changed >= 0) file[static_cast<std::size_t>(c.changed)] ^= 0x5A;
      const std::string backup = dir.File("backup.img");
      vexo_test::WriteFile(backup, file);
      std::vector<std::string> args = {"--verify", backup};
      if (c.used) args.push_back("-u");
      const vexo_test::RunResult run = RunVexo(words, args);
      char planLine[200];
      std::snprintf(planLine, sizeof planLine, plan, c.used ? (0x40000 + 1000 + 511) / 512 : kUsedCard / 512);
      EXPECT_NE(run.out.find(std::string("\n Verifying the card against file ") + backup + "\n" + planLine),
                std::string::npos) << run.out;
      if (c.listed == nullptr) {
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find(kDone + " Verified: identical.\n"), std::string::npos) << run.out;
      } else {
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_NE(run.out.find(kDone + " Differs in 1 sectors; the first:\n" + c.listed +
                               "\n Error: CARD DIFFERS FROM FILE\n"),
                  std::string::npos) << run.out;
      }
      EXPECT_EQ(ReadFile(backup), file) << "the file is only read";
      EXPECT_EQ(ReadFile(image), card) << "the card is only read";
    }
  }
}

}  // namespace
