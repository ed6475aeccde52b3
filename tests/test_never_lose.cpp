// A card never loses a title: a playlist change cut off after any sector write,
// on any port kind, leaves the old or the new playlist with every title whole.
// And the guard rails: placement, host files, simulated storage that fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "image/ros.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"
#include "transport/block_copy.h"
#include "transport/shared.h"
#include "transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vexo_test::CardTitle;
using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::RunVexo;
using vexo_test::WriteFile;
using Run = std::function<VexoResult(int32_t kind, int32_t port)>;

constexpr int32_t kRos = VEXO_PORT_ROS;
constexpr uint32_t kTitleBytes = 700;  // two sectors a title

struct Playlist {
  std::string name;
  std::vector<std::pair<std::string, Bytes>> titles;  // text and bytes on the card
  bool operator==(const Playlist&) const = default;
};

// Titles T1..Tn, each kTitleBytes of its own pattern.
Playlist Titles(int count) {
  Playlist playlist{"Card", {}};
  for (int i = 1; i <= count; ++i) {
    playlist.titles.push_back({std::string("T").append(std::to_string(i)), Pattern(kTitleBytes, static_cast<uint32_t>(i))});
  }
  return playlist;
}

// An image holding the playlist, titles back to back from 0x10000.
void WriteCard(const std::string& path, const Playlist& playlist) {
  std::vector<CardTitle> entries;
  for (std::size_t i = 0; i < playlist.titles.size(); ++i) {
    entries.push_back({static_cast<uint32_t>(0x10000 + 1024 * i), kTitleBytes, playlist.titles[i].first});
  }
  Bytes image = vexo_test::WriteCardImage(path, 1, playlist.name, entries, 0x10000 + 1024 * entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::copy(playlist.titles[i].second.begin(), playlist.titles[i].second.end(), image.begin() + entries[i].start);
  }
  WriteFile(path, image);
}

// The playlist an image holds, each title's bytes read back through vexo.
Playlist ReadCard(const std::string& path, const std::string& scratch) {
  Playlist playlist;
  vexo_test::UseNoDelay();
  EXPECT_EQ(vexo_Open(kRos, 1, 0, path.c_str()), 0);
  CardHeader header;
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0) << "the card lost its header";
  playlist.name = header.cardName.data();
  std::vector<std::string> texts;
  for (TitleEntry entry; card_NextTitle(&entry) == 0;) {
    texts.emplace_back(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES));
  }
  card_ReleaseTitles();
  for (std::size_t n = 1; n <= texts.size(); ++n) {
    EXPECT_EQ(card_ReadTitle(kRos, 1, 1, static_cast<int32_t>(n), scratch.c_str(), 0), 0);
    playlist.titles.push_back({texts[n - 1], ReadFile(scratch)});
  }
  vexo_Close(kRos, 1);
  return playlist;
}

// A card that stops working once k sector writes have reached it, on each
// port kind.
struct Kind {
  const char* name;
  std::function<VexoResult(const std::string& image, int k, const Run& run)> runCutOff;
};

const Kind kKinds[] = {
    {"ImageFile", [](const std::string& image, int k, const Run& run) {
       vexo_test::UseNoDelay();
       vexo_Open(kRos, 1, 0, image.c_str());
       vexo_SetSectorWriteFailure(static_cast<uint32_t>(k) + 1);
       const VexoResult result = run(kRos, 1);
       vexo_SetSectorWriteFailure(0);
       vexo_Close(kRos, 1);
       return result;
     }},
    {"Adapter", [](const std::string& image, int k, const Run& run) {
       vexo_test::UseNoAdapterWaits();
       EXPECT_TRUE(mmcsim_InstallImageCard(image.c_str(), MmcSimConfig{}));
       vexo_Open(VEXO_PORT_PARALLEL, 1, 0, nullptr);
       mmcsim_Faults()->pullAfterBlocks = k;  // blocks programmed before the card is pulled
       const VexoResult result = run(VEXO_PORT_PARALLEL, 1);
       vexo_Close(VEXO_PORT_PARALLEL, 1);
       mmcsim_Remove();
       return result;
     }},
    {"Player", [](const std::string& image, int k, const Run& run) {
       PlayerSimConfig config;
       config.slots[0].imagePath = image;
       PlayerSimSession session(config);
       EXPECT_TRUE(session.started);
       vexo_Open(VEXO_PORT_SERIAL, 1, 115200, nullptr);
       // The player's fault counts sectors read too: every change here first
       // reads the header's three sectors.
       playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = k + 3});
       return run(VEXO_PORT_SERIAL, 1);
     }},
};

struct Change {
  const char* name;
  int titlesBefore;
  Run run;
  std::function<Playlist(Playlist)> after;
};

class CutOff : public testing::TestWithParam<int> {};

TEST_P(CutOff, AnyChangeLeavesTheOldOrTheNewPlaylistAndEveryTitleWhole) {
  const Kind& medium = kKinds[GetParam()];
  vexo_test::TempDir dir;
  const std::string image = dir.File("card.ros"), song = dir.File("song.mp3"), extra = dir.File("extra.mp3"),
                    scratch = dir.File("title.mp3");
  WriteFile(song, Titles(17).titles.back().second);
  WriteFile(extra, Pattern(kTitleBytes, 99));
  const Change changes[] = {
      {"add, table grows into sector 2", 16,
       [&](int32_t kind, int32_t port) { return card_AddTitle(kind, port, 1, 0, nullptr, song.c_str(), "T17", 0, 1); },
       [](Playlist) { return Titles(17); }},
      {"delete last, table shrinks to sector 1", 17,
       [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 1); },
       [](Playlist) { return Titles(16); }},
      {"delete all", 17, [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 0); },
       [](Playlist) { return Playlist{}; }},
      {"chtitle", 17, [](int32_t kind, int32_t port) { return card_ChangeTitle(kind, port, 1, 17, "Renamed"); },
       [](Playlist p) { p.titles.back().first = "Renamed"; return p; }},
      {"change", 17, [](int32_t kind, int32_t port) { return card_ChangeCard(kind, port, 1, 5, "Other"); },
       [](Playlist p) { p.name = "Other"; return p; }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    const Playlist before = Titles(change.titlesBefore);
    const Playlist after = change.after(before);
    for (int k = 0;; ++k) {
      ASSERT_LT(k, 40) << "the change never completed";
      WriteCard(image, before);
      const VexoResult result = medium.runCutOff(image, k, change.run);
      const Playlist found = ReadCard(image, scratch);
      if (result == 0) {
        EXPECT_EQ(found, after);
        EXPECT_GT(k, 1) << "the change was never cut off";
        break;
      }
      ASSERT_TRUE(found == before || found == after) << "cut off after " << k << ", result " << result;
      // The card stays whole: a title added now keeps every title listed.
      vexo_Open(kRos, 1, 0, image.c_str());
      ASSERT_EQ(card_AddTitle(kRos, 1, 1, 0, nullptr, extra.c_str(), "Extra", 0, 1), 0);
      vexo_Close(kRos, 1);
      Playlist grown = found;
      grown.titles.push_back({"Extra", Pattern(kTitleBytes, 99)});
      ASSERT_EQ(ReadCard(image, scratch), grown) << "cut off after " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(NeverLoseATitle, CutOff, testing::Range(0, 3),
                         [](const auto& info) { return std::string(kKinds[info.param].name); });

TEST(NeverLoseATitle, ANewTitleGoesBehindTheHeaderAreaAndEveryEntry) {
  vexo_test::TempDir dir;
  const std::string image = dir.File("card.ros"), song = dir.File("song.mp3");
  WriteFile(song, Pattern(kTitleBytes, 5));
  const struct {
    const char* name;
    std::vector<CardTitle> titles;
    uint32_t start;
  } cases[] = {
      {"all-zero last entry", {{0x10000, 700, "A"}, {0, 0, "", 0}}, 0x10400},
      {"last entry inside the header area", {{0xA00, 100, "low"}}, 0x10000},
      {"entries out of order", {{0x20000, 700, "far"}, {0x10000, 700, "near"}}, 0x20400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes before = vexo_test::WriteCardImage(image, 1, "Card", c.titles);
    ASSERT_EQ(vexo_Open(kRos, 1, 0, image.c_str()), 0);
    ASSERT_EQ(card_AddTitle(kRos, 1, 1, 0, nullptr, song.c_str(), "New", 0, 1), 0);
    vexo_Close(kRos, 1);
    const Bytes after = ReadFile(image);
    EXPECT_EQ(vexo_test::Le32(after, 512 + 32 * c.titles.size()), c.start);
    EXPECT_EQ(vexo_test::Slice(after, 1024, 0x10000 - 1024), vexo_test::Slice(before, 1024, 0x10000 - 1024))
        << "nothing written into the header area behind the table";
    EXPECT_EQ(vexo_test::Slice(after, c.start, kTitleBytes), Pattern(kTitleBytes, 5));
  }
  // 1-byte entries would list 65,024 titles; the header area holds 2,032.
  Bytes tiny = vexo_test::WriteCardImage(image, 1, "Card", {});
  vexo_test::PutLe16(tiny, 4, 65000);
  vexo_test::PutLe16(tiny, 51, 1);
  WriteFile(image, tiny);
  ASSERT_EQ(vexo_Open(kRos, 1, 0, image.c_str()), 0);
  CardHeader header;
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0);
  EXPECT_EQ(card_LoadedCount(), HEADER_MAX_TITLES);
  card_ReleaseTitles();
  vexo_Close(kRos, 1);
}

TEST(NeverLoseATitle, FoldersFifosAndDevicesAreRefusedAtOnce) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros"), fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteCard(card, Titles(1));
  const std::vector<std::string> lines[] = {
      {"ros", fifo, "--get"},          {"ros", dir.path(), "--get"}, {"ros", "/dev/null", "--get"},
      {"ros", card, "--add", fifo, "T"}, {"ros", card, "--add", dir.path(), "T"},
  };
  for (const auto& line : lines) {
    SCOPED_TRACE(line[1] + " " + line[2] + " " + (line.size() > 3 ? line[3] : ""));
    // In a child that a hang cannot outlive.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(1);
      const vexo_test::RunResult run = RunVexo(line);
      _exit(run.out.find("\n Error: NOT A REGULAR FILE\n") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  struct stat info;
  ASSERT_EQ(stat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(ReadCard(card, dir.File("t.mp3")), Titles(1));
}

TEST(NeverLoseATitle, AReadOntoTheImageItselfIsRefusedWhateverItsSpelling) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros");
  WriteCard(card, Titles(2));
  const Bytes before = ReadFile(card);
  ASSERT_EQ(link(card.c_str(), dir.File("hard.ros").c_str()), 0);
  ASSERT_EQ(symlink(card.c_str(), dir.File("soft.ros").c_str()), 0);
  const std::string name = dir.path().substr(dir.path().rfind('/') + 1);
  for (const std::string& target : {card, dir.path() + "/./card.ros", dir.path() + "/../" + name + "/card.ros",
                                    dir.File("hard.ros"), dir.File("soft.ros")}) {
    SCOPED_TRACE(target);
    EXPECT_NE(RunVexo({"ros", card, "--read", "1", target}).out.find("\n Error: SAME FILE AS IMAGE\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(card), before);
  }
  // The simulated adapter's card, copied whole onto itself.
  vexo_test::UseNoAdapterWaits();
  ASSERT_TRUE(mmcsim_InstallImageCard(card.c_str(), MmcSimConfig{}));
  const std::string out = RunVexo({"lp1", "--rawread", dir.File("hard.ros")}).out;
  mmcsim_Remove();
  EXPECT_NE(out.find("\n Error: SAME FILE AS IMAGE\n"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(card), before);
}

std::string g_shrinkPath;
void ShrinkWhenMeasured(const char* text) {
  if (std::strncmp(text, "File: ", 6) == 0) truncate(g_shrinkPath.c_str(), 1000);
}

TEST(NeverLoseATitle, AHostFileThatShrinksEndsTheCopyWithFileRead) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros");
  g_shrinkPath = dir.File("song.mp3");
  WriteCard(card, Titles(1));
  const Bytes before = ReadFile(card);
  // Shrinks between the add's measuring and the copy.
  WriteFile(g_shrinkPath, Pattern(3000));
  vexo_SetTraceSink(ShrinkWhenMeasured);
  ASSERT_EQ(vexo_Open(kRos, 1, 0, card.c_str()), 0);
  EXPECT_EQ(card_AddTitle(kRos, 1, 1, 0, nullptr, g_shrinkPath.c_str(), "T", 0, 1), -VEXO_ERROR_FILE_READ);
  vexo_Close(kRos, 1);
  vexo_SetTraceSink(nullptr);
  EXPECT_EQ(vexo_test::Slice(ReadFile(card), 0, 0x10000), vexo_test::Slice(before, 0, 0x10000));
  // Shrinks during the copy: the block that comes up short fails.
  WriteFile(g_shrinkPath, Pattern(3000));
  FILE* host = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(vexo_OpenHostSource(g_shrinkPath.c_str(), 1u << 20, 0, "", &host, &length), 0);
  ASSERT_EQ(truncate(g_shrinkPath.c_str(), 600), 0);
  uint8_t block[SECTOR_SIZE];
  EXPECT_TRUE(vexo_ReadHostBlock(host, block, vexo_BytesOfSector(0, 6, length)));
  EXPECT_FALSE(vexo_ReadHostBlock(host, block, vexo_BytesOfSector(1, 6, length)));
  std::fclose(host);
}

TEST(NeverLoseATitle, SimulatedStorageThatFailsIsNeverReportedDone) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros"), song = dir.File("song.mp3");
  WriteFile(song, Pattern(3000));
  for (const char* port : {"lp1", "ttyS0"}) {
    SCOPED_TRACE(port);
    WriteFile(card, {});
    vexo_test::RunResult run{0, ""};
    {
      vexo_test::FileSizeLimit diskFull(0x10000);  // the title's sectors cannot be stored
      if (port == std::string("lp1")) {
        vexo_test::UseNoAdapterWaits();
        ASSERT_TRUE(mmcsim_InstallImageCard(card.c_str(), MmcSimConfig{}));
        run = RunVexo({port, "--add", song, "T"});
        mmcsim_Remove();
      } else {
        PlayerSimConfig config;
        config.slots[0].imagePath = card;
        PlayerSimSession session(config);
        run = RunVexo({port, "--add", song, "T"});
      }
    }
    EXPECT_EQ(run.out.find("Done."), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n Error: "), std::string::npos) << run.out;
    EXPECT_LE(ReadFile(card).size(), 0x10000u);
  }
}

}  // namespace
