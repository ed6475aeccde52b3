// One user of a card at a time (the lock each port takes at open), and what
// SIGINT, SIGTERM and SIGHUP do to a running command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "card/playlist.h"
#include "cli/cli.h"
#include "cli/signals.h"
#include "drivers/serial/ser_port.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
#include "support/test_support.h"
#include "host/pauses.h"
#include "host/port_lock.h"
#include "transport/transport.h"

namespace {

using namespace vexo_test;

// A child process running a function of this one, its output and error in a pipe.
struct Child { pid_t pid; int out; std::string text; };

Child Spawn(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1, ""};
  Child child{fork(), fds[0], ""};
  if (child.pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    body();
    _exit(127);
  }
  close(fds[1]);
  return child;
}

// Reads output until it holds `marker` (true) or the child closed it (false).
bool ReadUntil(Child& child, const std::string& marker) {
  char chunk[512];
  ssize_t got = 1;
  while (child.text.find(marker) == std::string::npos && got > 0) {
    got = read(child.out, chunk, sizeof chunk);
    if (got > 0) child.text.append(chunk, static_cast<std::size_t>(got));
  }
  return got > 0;
}

// Sends the signals while the child is stopped, so it takes them all at once, lowest first.
void SendTogether(pid_t pid, const std::vector<int>& signals) {
  kill(pid, SIGSTOP);
  waitpid(pid, nullptr, WUNTRACED);
  for (int signal : signals) kill(pid, signal);
  kill(pid, SIGCONT);
}

int Finish(Child& child) {  // the wait status, after all output
  ReadUntil(child, std::string(1, '\0'));
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return status;
}

// ---- Two runs at once on one card -------------------------------------------

// The simulator holds the card image itself, whatever the port word.
TEST(TwoRunsOnOneSimulatedCard, TheSecondIsRefusedAndTheFirstCompletes) {
  TempDir dir;
  const std::string card = dir.Write("card.img", {});
  const auto first = Pattern(20000, 4);
  const std::string on = " --card " + card + " -- lp1";
  const std::string add = on + " --add " + dir.Write("first.mp3", first) + " First";
  Child running = Spawn([&add] { execl("/bin/sh", "sh", "-c", ("exec " + SimCommand(add)).c_str(), nullptr); });
  ASSERT_TRUE(ReadUntil(running, " / ")) << running.text;
  kill(running.pid, SIGSTOP);  // held in the middle of its copy
  const RunResult refused = RunSim("--fast" + on + " --add " + dir.Write("second.mp3", Pattern(3000, 5)) + " Second");
  kill(running.pid, SIGCONT);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "\n Error: PORT IN USE\n");

  const int status = Finish(running);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << running.text;
  EXPECT_NE(running.text.find(" Done."), std::string::npos) << running.text;
  const std::string list = RunSim("--fast" + on + " --get").out;
  EXPECT_NE(list.find("  No. Samples: 1\n  Titles:\n    1.     20000  First\n"), std::string::npos) << list;
  EXPECT_EQ(ReadRange(card, 0x10000, first.size()), first);
}

// Another process's open is refused exactly when it names the same image or port address.
TEST(PortLock, ASecondOpenOfTheSameImageOrAdapterAddressIsRefused) {
  const struct {
    int32_t kind;
    int held, probe;  // lp index, or image 0/1
    bool refused;
    bool lockFolderUsable = true;
  } cases[] = {
      {VEXO_PORT_ROS, 0, 0, true},       {VEXO_PORT_ROS, 0, 1, false},
      {VEXO_PORT_PARALLEL, 0, 1, true},  {VEXO_PORT_PARALLEL, 1, 0, true},
      {VEXO_PORT_PARALLEL, 1, 2, false}, {VEXO_PORT_PARALLEL, 3, 3, true},
      {VEXO_PORT_PARALLEL, 4, 3, false}, {VEXO_PORT_PARALLEL, 2, 2, true, false},
  };
  TempDir dir;
  const std::string images[] = {dir.File("a.ros"), dir.File("b.ros")};
  WriteCardImage(images[0], 1, "Card", {});
  const auto before = ReadFile(images[0]);
  UseNoAdapterWaits();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.kind << ": " << c.held << " then " << c.probe);
    mmcsim_InstallMemoryCard(MmcSimConfig{});  // its own lock folder
    if (!c.lockFolderUsable) vexo_SetLockFolder("/nonexistent/vexo-lock-folder");
    ASSERT_EQ(vexo_Open(c.kind, c.held, 0, images[c.held & 1].c_str()), 0);
    const auto probe = [&] {
      Child child = Spawn([&] { _exit(-vexo_Open(c.kind, c.probe, 0, images[c.probe & 1].c_str())); });
      const int status = Finish(child);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(probe(), c.refused ? VEXO_ERROR_PORT_IN_USE : 0);
    EXPECT_EQ(ReadFile(images[0]), before);
    EXPECT_TRUE(c.lockFolderUsable || FileExists("/tmp/vexo-lp-0x278.lock"));
    vexo_Close(c.kind, c.held);
    EXPECT_EQ(probe(), 0) << "released at close";
    if (!c.lockFolderUsable) unlink("/tmp/vexo-lp-0x278.lock");
  }
  mmcsim_Remove();
}

termios Settings(int fd) {
  termios settings{};
  tcgetattr(fd, &settings);
  return settings;
}
bool Same(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The player on a line that a terminal program left cooked, echoing, at 9600 baud.
class PlayerLine : public testing::Test {
 protected:
  void SetUp() override {
    WriteCardImage(card, 1, "Card", {{0x10000, 1000, "Old"}}, 0x10000 + 1024);
    PlayerSimConfig config;
    config.slots[0].imagePath = card;
    ASSERT_TRUE(playersim_Start(config));
    ser_SetDevicePathOverride(playersim_DevicePath().c_str());
    line = open(playersim_DevicePath().c_str(), O_RDWR | O_NOCTTY);
    termios cooked = Settings(line);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cfsetspeed(&cooked, B9600);
    tcsetattr(line, TCSANOW, &cooked);
    before = Settings(line);
  }
  void TearDown() override {
    close(line);
    playersim_Stop();
    ser_SetDevicePathOverride(nullptr);
    vexo_SetDelayHook(nullptr);
  }
  TempDir dir;
  std::string card = dir.File("card.img");
  int line = -1;
  termios before{};
};

// ---- Signals ------------------------------------------------------------------

TEST(StopRequest, OnceRequestedNoCopyAndNoHeaderWriteBegins) {
  TempDir dir;
  const std::string image = dir.File("card.ros");
  WriteCardImage(image, 1, "Card", {{0x10000, 700, "One"}, {0x10400, 700, "Two"}});
  const std::string song = dir.Write("song.mp3", Pattern(700, 3));
  const auto before = ReadFile(image);
  const std::function<VexoResult()> operations[] = {
      [&] { return card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, song.c_str(), "Three", 0, 1); },
      [] { return card_ChangeCard(VEXO_PORT_ROS, 1, 1, 5, "Renamed"); },
      [&] { return vexo_ReadFile(VEXO_PORT_ROS, 1, 1, 0, 512, dir.File("out").c_str(), 0); },
  };
  for (const auto& operation : operations) {
    ASSERT_EQ(vexo_Open(VEXO_PORT_ROS, 1, 0, image.c_str()), 0);
    vexo_RequestStop();
    EXPECT_EQ(operation(), -VEXO_ERROR_TRANSFER_STOPPED);
    vexo_ClearStopRequest();
    vexo_Close(VEXO_PORT_ROS, 1);
    EXPECT_EQ(ReadFile(image), before);
  }
  EXPECT_FALSE(FileExists(dir.File("out")));
}

// Signals sent to a copy to (0) or from (1) the card on the player's line; the last ends the run.
class SignalDuringCopy : public PlayerLine,
                         public testing::WithParamInterface<std::tuple<std::vector<int>, int>> {};

void MillisecondPauses(uint32_t units) { vexo_SleepMicros(units * 1000ull); }

// A vexo run of its own on the player's line at millisecond pauses; this process's player answers.
Child SpawnVexo(const std::vector<std::string>& args) {
  return Spawn([&args] {
    ser_SetEmptyPollHook(nullptr);
    vexo_SetDelayHook(MillisecondPauses);
    const int status = VexoMain(args);
    vexo_EndIfSignalled();
    _exit(status);
  });
}

// The line, the playlist and an earlier file of the read's name as they were; no file left behind.
TEST_P(SignalDuringCopy, LeavesTheLineThePlaylistAndAnEarlierFileAsTheyWere) {
  const auto& [signals, copy] = GetParam();
  WriteCardImage(card, 1, "Card", {{0x10000, 4000 * 512, "Long"}}, 0x10000 + 4000 * 512);
  const auto header = ImageSectors(card, 0, 2);
  const Bytes earlier = Pattern(100, 4);
  const std::string out = dir.Write("out.mp3", earlier);
  const std::string song = dir.Write("song.mp3", Pattern(30 * 512, 9));
  const std::vector<std::string> runs[] = {{"ttyS0", "--add", song, "New"}, {"ttyS0", "--read", "1", out}};
  Child run = SpawnVexo(runs[copy]);
  ASSERT_TRUE(ReadUntil(run, " 10 / ")) << run.text;  // the copy is running
  SendTogether(run.pid, signals);
  const int status = Finish(run);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signals.back()) << run.text;
  if (signals.size() == 1) {
    EXPECT_NE(run.text.find("\n Error: TRANSFER STOPPED\n"), std::string::npos) << run.text;
  }
  EXPECT_TRUE(Same(Settings(line), before));
  EXPECT_EQ(ImageSectors(card, 0, 2), header);
  EXPECT_EQ(ReadFile(out), earlier);
  const auto entries = std::distance(std::filesystem::directory_iterator(dir.File("")), {});
  EXPECT_EQ(entries, 3) << "card.img, out.mp3 and song.mp3 alone";
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringCopy,
                         testing::Combine(testing::Values(std::vector<int>{SIGINT}, std::vector<int>{SIGTERM},
                                                          std::vector<int>{SIGHUP},
                                                          std::vector<int>{SIGINT, SIGTERM}),
                                          testing::Values(0, 1)));

bool g_raiseInHeaderWrite = false;
bool g_raised = false;
uint32_t g_unitsAfterRaise = 0;

// The player's pacing, and one SIGINT: at the header write's first pause, or the run's first.
void PauseAndInterrupt(uint32_t units) {
  if (g_raised) g_unitsAfterRaise += units;
  if (!g_raised && vexo_ShieldedStepRunning() == g_raiseInHeaderWrite) {
    g_raised = true;
    raise(SIGINT);
  }
  playersim_DelayHook(units);
}

TEST_F(PlayerLine, ASignalDuringAHeaderWriteLetsItFinishOtherwiseNothingIsWritten) {
  const std::string untouched = dir.Write("untouched.img", ReadFile(card));
  const std::string renamed = dir.Write("renamed.img", ReadFile(card));
  ASSERT_TRUE(playersim_SetSlotImage(1, renamed));
  vexo_SetDelayHook(playersim_DelayHook);
  EXPECT_EQ(RunVexo({"ttyS0", "--chtitle", "1", "Renamed"}).out, "\n Changed Title for Sample 1.\n");

  for (bool inHeaderWrite : {true, false}) {
    SCOPED_TRACE(inHeaderWrite ? "signal in the header write" : "signal before it");
    ASSERT_TRUE(playersim_SetSlotImage(1, card));
    WriteFile(card, ReadFile(untouched));
    g_raiseInHeaderWrite = inHeaderWrite;
    g_raised = false;
    g_unitsAfterRaise = 0;
    vexo_SetDelayHook(PauseAndInterrupt);
    const RunResult run = RunVexo({"ttyS0", "--chtitle", "1", "Renamed"});
    EXPECT_TRUE(g_raised);
    EXPECT_LT(g_unitsAfterRaise, 150u) << "a long pause after the stop";
    EXPECT_EQ(vexo_CaughtSignal(), SIGINT);
    EXPECT_EQ(run.out, inHeaderWrite ? "\n Changed Title for Sample 1.\n"
                                     : "\n Error: TRANSFER STOPPED\n");
    EXPECT_EQ(ImageSectors(card, 0, 2), ImageSectors(inHeaderWrite ? renamed : untouched, 0, 2));
    EXPECT_TRUE(Same(Settings(line), before));
  }
}

}  // namespace
