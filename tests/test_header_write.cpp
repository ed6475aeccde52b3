// The header write on every port kind: a playlist change cut off after any
// sector write leaves the old or the new playlist with every title whole
// (the write plan), and the guard rails of the host files around it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "card/header.h"
#include "card/playlist.h"
#include "drivers/image/ros.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "support/test_audio.h"
#include "support/test_support.h"
#include "host/block_copy.h"
#include "transport/transport.h"

namespace {

using namespace vexo_test;

constexpr int32_t kRos = VEXO_PORT_ROS;

// ---- A card never loses a title ---------------------------------------------------
// A playlist change cut off after any sector write, on any port kind, leaves
// the old or the new playlist with every title whole. And the guard rails:
// host files that are no regular files, a read onto the image itself.

constexpr uint32_t kTitleBytes = 700;  // two sectors a title
using Run = std::function<VexoResult(int32_t kind, int32_t port)>;

struct Playlist {
  std::string name;
  std::vector<std::pair<std::string, Bytes>> titles;  // text and bytes on the card
  bool operator==(const Playlist&) const = default;
};

// Titles T1..Tn, each kTitleBytes of its own pattern.
Playlist Songs(int count) {
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

// The playlist an image holds as vexo reads its header, with the bytes each
// entry points at.
Playlist ReadCard(const std::string& path) {
  Playlist playlist;
  vexo_test::UseNoDelay();
  EXPECT_EQ(vexo_Open(kRos, 1, 0, path.c_str()), 0);
  CardHeader header;
  EXPECT_EQ(card_ReadHeader(kRos, 1, 1, &header), 0) << "the card lost its header";
  playlist.name = header.cardName.data();
  for (TitleEntry entry; card_NextTitle(&entry) == 0;) {
    playlist.titles.push_back({std::string(entry.title.data(), strnlen(entry.title.data(), TITLE_TEXT_BYTES)),
                               vexo_test::ReadRange(path, entry.startAddress, entry.size)});
  }
  card_ReleaseTitles();
  vexo_Close(kRos, 1);
  return playlist;
}

// The player again, its line hanging up instead of its card leaving.
constexpr int32_t kHangUp = 99;
int32_t KindOf(int32_t param) { return param == kHangUp ? VEXO_PORT_SERIAL : param; }

// Lets k sector writes reach the card, then it stops working; or hangs the
// line up 2k player bytes behind the header read (a sector written costs
// the player one or two bytes). The player's fault counts sectors read too:
// readsFirst, those the change reads before its first write.
void CutOffAfter(int32_t kind, int k, int readsFirst) {
  if (kind == kHangUp) {
    CardHeader header;
    playersim_ResetCounters();
    card_ReadHeader(VEXO_PORT_SERIAL, 1, 1, &header);
    card_ReleaseTitles();
    playersim_SetFaults({.hangupAfter = static_cast<int64_t>(playersim_Counters().bytesSent) + 2 * k});
  }
  if (kind == VEXO_PORT_ROS) vexo_SetSectorWriteFailure(static_cast<uint32_t>(k) + 1);
  if (kind == VEXO_PORT_PARALLEL) mmcsim_Faults()->pullAfterBlocks = k;  // blocks programmed before the pull
  if (kind == VEXO_PORT_SERIAL) playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = k + readsFirst});
}

Playlist Without(Playlist p, int n) {
  p.titles.erase(p.titles.begin() + (n - 1));
  return p;
}

Playlist Moved(Playlist p, int from, int to) {
  const auto title = p.titles[from - 1];
  p.titles.erase(p.titles.begin() + (from - 1));
  p.titles.insert(p.titles.begin() + (to - 1), title);
  return p;
}

bool Lists(const Playlist& p, const std::pair<std::string, Bytes>& title) {
  return std::find(p.titles.begin(), p.titles.end(), title) != p.titles.end();
}

// Between the old and the new list of a change of several table sectors:
// every new title listed, every entry an old one.
bool Between(const Playlist& found, const Playlist& before, const Playlist& after) {
  return found.name == after.name &&
         std::all_of(after.titles.begin(), after.titles.end(), [&](const auto& t) { return Lists(found, t); }) &&
         std::all_of(found.titles.begin(), found.titles.end(), [&](const auto& t) { return Lists(before, t); });
}

struct Change {
  const char* name;
  int titlesBefore;
  Run run;
  std::function<Playlist(Playlist)> after;
  bool severalSectors = false;  // may list a title twice after a cut; refused on image files
  bool onImageFile = true;
};

Change DeleteN(const char* name, int titles, int n) {
  return {name, titles, [n](int32_t kind, int32_t port) { return card_DeleteTitle(kind, port, 1, n); },
          [n](Playlist p) { return Without(p, n); }, true, false};
}

Change Move(const char* name, int titles, int from, int to) {
  return {name, titles, [=](int32_t kind, int32_t port) { return card_MoveTitle(kind, port, 1, from, to); },
          [=](Playlist p) { return Moved(p, from, to); }, true, true};
}

class CutOff : public testing::TestWithParam<int32_t> {
 protected:
  // Each change, cut off after 0, 1, 2... sector writes until it completes.
  void CutEverywhere(std::initializer_list<Change> changes) {
    const std::string image = dir.File("card.ros"), extra = dir.Write("extra.mp3", Pattern(kTitleBytes, 99));
    for (const Change& change : changes) {
      if (GetParam() == VEXO_PORT_ROS && !change.onImageFile) continue;
      SCOPED_TRACE(change.name);
      const Playlist before = Songs(change.titlesBefore);
      const Playlist after = change.after(before);
      for (int k = 0;; ++k) {
        ASSERT_LT(k, 40) << "the change never completed";
        WriteCard(image, before);
        VexoResult result = 0;
        {
          vexo_test::CardOnPort card(KindOf(GetParam()), image);
          ASSERT_EQ(card.Open(), 0);
          // Every change here first reads the header's sectors, one behind
          // the table's last full sector.
          CutOffAfter(GetParam(), k, 2 + change.titlesBefore / 16);
          result = change.run(KindOf(GetParam()), 1);
          vexo_SetSectorWriteFailure(0);
        }
        if (GetParam() == kHangUp) {
          ASSERT_TRUE(result == 0 || result == -VEXO_ERROR_LINE_LOST) << result;
        }
        const Playlist found = ReadCard(image);
        if (result == 0) {
          EXPECT_EQ(found, after);
          EXPECT_GT(k, 0) << "the change was never cut off";
          break;
        }
        ASSERT_TRUE(found == before || found == after || (change.severalSectors && Between(found, before, after)))
            << "cut off after " << k << ", result " << result;
        // The card stays whole: a title added now keeps every title listed.
        vexo_Open(kRos, 1, 0, image.c_str());
        ASSERT_EQ(card_AddTitle(kRos, 1, 1, 0, nullptr, extra.c_str(), "Extra", 0, 1), 0);
        vexo_Close(kRos, 1);
        Playlist grown = found;
        grown.titles.push_back({"Extra", Pattern(kTitleBytes, 99)});
        ASSERT_EQ(ReadCard(image), grown) << "cut off after " << k;
      }
    }
  }
  vexo_test::TempDir dir;
};

Change AddT17(const std::string& song) {
  return {"add, table grows into sector 2", 16,
          [=](int32_t kind, int32_t port) { return card_AddTitle(kind, port, 1, 0, nullptr, song.c_str(), "T17", 0, 1); },
          [](Playlist) { return Songs(17); }};
}

TEST_P(CutOff, AnyChangeLeavesTheOldOrTheNewPlaylistAndEveryTitleWhole) {
  CutEverywhere({
      AddT17(dir.Write("song.mp3", Songs(17).titles.back().second)),
      {"delete last, table shrinks to sector 1", 17,
       [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 1); },
       [](Playlist) { return Songs(16); }},
      {"delete all", 17, [](int32_t kind, int32_t port) { return card_DeleteTitles(kind, port, 1, 0); },
       [](Playlist) { return Playlist{}; }},
      {"chtitle", 17, [](int32_t kind, int32_t port) { return card_ChangeTitle(kind, port, 1, 17, "Renamed"); },
       [](Playlist p) { p.titles.back().first = "Renamed"; return p; }},
      {"change", 17, [](int32_t kind, int32_t port) { return card_ChangeCard(kind, port, 1, 5, "Other"); },
       [](Playlist p) { p.name = "Other"; return p; }},
  });
}

TEST_P(CutOff, DeleteNListsEveryRemainingTitle) {
  CutEverywhere({DeleteN("delete 1 of 17", 17, 1), DeleteN("delete 9 of 17", 17, 9), DeleteN("delete 17 of 17", 17, 17),
                 DeleteN("delete 1 of 40", 40, 1), DeleteN("delete 20 of 40", 40, 20), DeleteN("delete 40 of 40", 40, 40)});
}

TEST_P(CutOff, MoveListsEveryTitle) {
  CutEverywhere({Move("move 1 to 40", 40, 1, 40), Move("move 40 to 1", 40, 40, 1), Move("move 17 to 16", 17, 17, 16),
                 Move("move 2 to 5, one sector", 17, 2, 5)});
}

// The player's pauses, the long ones no longer than the gap behind a
// request's command byte.
void QuickPlayerPauses(uint32_t units) { playersim_DelayHook(std::min(units, 20u)); }

// A sync that deletes, adds and moves, cut off after each of its sector
// writes: every title listed is an old or a new one, whole, none that both
// playlists list is lost, and the same sync run again ends as one never cut.
TEST_P(CutOff, ASyncKeepsWhatBothPlaylistsListAndEndsAsUncutWhenRunAgain) {
  const int32_t kind = GetParam();
  const auto list = [&](const char* file, std::initializer_list<int> songs) {
    constexpr int kKbps[] = {32, 40, 48, 56, 64, 80, 96};  // a size of its own for each song
    Playlist playlist;
    std::string text;
    for (int s : songs) {
      const std::string title = std::string("s").append(std::to_string(s));
      // Six frames of 4.5 bytes a kbit/s (32 kHz pads none): two to six sectors.
      Bytes frames = vexo_test::LameFrames(32000, kKbps[s]);
      frames.resize(static_cast<std::size_t>(27 * kKbps[s]));
      playlist.titles.push_back({title, frames});
      dir.Write(title + ".mp3", playlist.titles.back().second);
      text += title + ".mp3\n";
    }
    return std::make_pair(dir.Write(file, Bytes(text.begin(), text.end())), playlist);
  };
  const auto [oldList, before] = list("old.m3u", {2, 3, 4, 5, 6});
  const auto [newListFile, after] = list("new.m3u", {2, 0, 6, 5, 1});  // two deletes, two adds, two moves
  const std::string newList = newListFile;
  const std::string image = dir.File("card.img");
  // The sync to the new list: the sectors the simulated device took (none
  // counted on an image file), or -1 when it failed.
  const auto sync = [&](int cutAfter, int readsFirst) {
    vexo_test::CardOnPort card(kind, image);
    if (kind == VEXO_PORT_SERIAL) vexo_SetDelayHook(QuickPlayerPauses);
    if (cutAfter >= 0) CutOffAfter(kind, cutAfter, readsFirst);
    playersim_ResetCounters();
    mmcsim_ResetCounters();
    const bool done = RunVexo(card.Words(), {"--sync", newList}).status == 0;
    vexo_SetSectorWriteFailure(0);
    return done ? static_cast<int>(kind == VEXO_PORT_SERIAL ? playersim_Counters().sectorsWritten
                                                            : mmcsim_Counters().blocksWritten)
                : -1;
  };
  {
    vexo_test::CardOnPort card(kind, image);
    ASSERT_EQ(RunVexo(card.Words(), {"--sync", oldList}).status, 0);
  }
  const Bytes oldCard = ReadFile(image);
  ASSERT_EQ(ReadCard(image).titles, before.titles);
  // Sectors read before the first write: those of the same sync's dry run.
  int readsFirst = 0;
  {
    vexo_test::CardOnPort card(kind, image);
    playersim_ResetCounters();
    ASSERT_EQ(RunVexo(card.Words(), {"--sync", newList, "--dry-run"}).status, 0);
    readsFirst = static_cast<int>(playersim_Counters().blocksSent);
  }
  const int writes = sync(-1, 0);
  const Playlist uncut = ReadCard(image);
  ASSERT_EQ(uncut.titles, after.titles);
  for (int k = 1;; ++k) {
    ASSERT_LT(k, 400) << "the sync never completed";
    SCOPED_TRACE(testing::Message() << "cut off after " << k << " sector writes");
    WriteFile(image, oldCard);
    if (sync(k, readsFirst) >= 0) {
      if (kind != VEXO_PORT_ROS) {
        EXPECT_EQ(k, writes) << "the cut came elsewhere than after sector write k";
      }
      EXPECT_EQ(ReadCard(image), uncut);
      break;
    }
    const Playlist found = ReadCard(image);
    for (const auto& title : found.titles) {
      EXPECT_TRUE(Lists(before, title) || Lists(after, title)) << title.first << " is neither old nor new";
    }
    for (const auto& title : before.titles) {
      if (Lists(after, title)) {
        EXPECT_TRUE(Lists(found, title)) << title.first << " lost";
      }
    }
    ASSERT_GE(sync(-1, 0), 0);
    ASSERT_EQ(ReadCard(image), uncut);
  }
}

INSTANTIATE_TEST_SUITE_P(NeverLoseATitle, CutOff, testing::ValuesIn(vexo_test::kAllKinds),
                         [](const auto& info) { return std::string(vexo_test::KindName(info.param)); });

// A line that hangs up anywhere in an add: its title and header writes.
class HangUp : public CutOff {};

TEST_P(HangUp, AnAddLeavesTheOldOrTheNewPlaylist) {
  CutEverywhere({AddT17(dir.Write("song.mp3", Songs(17).titles.back().second))});
}

INSTANTIATE_TEST_SUITE_P(NeverLoseATitle, HangUp, testing::Values(kHangUp),
                         [](const auto&) { return std::string("Player"); });

TEST(NeverLoseATitle, FoldersFifosAndDevicesAreRefusedAtOnce) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros"), fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  WriteCard(card, Songs(1));
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
  EXPECT_EQ(ReadCard(card), Songs(1));
}

TEST(NeverLoseATitle, AReadOntoTheImageItselfIsRefusedWhateverItsSpelling) {
  vexo_test::TempDir dir;
  const std::string card = dir.File("card.ros");
  WriteCard(card, Songs(2));
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

}  // namespace
