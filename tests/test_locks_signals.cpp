// One user of a card at a time, and a clean stop on a signal: the lock each
// port takes at open (image file, serial line, adapter address), and what
// SIGINT, SIGTERM and SIGHUP do to a command that is running.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "card/playlist.h"
#include "cli/cli.h"
#include "cli/signals.h"
#include "ppa/ppa.h"
#include "serial/ser_port.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim.h"
#include "support/test_support.h"
#include "transport/port_lock.h"
#include "transport/shared.h"
#include "transport/transport.h"

namespace {

using namespace vexo_test;

std::string Binary(const char* name) {
  const char* dir = std::getenv("VEXO_TEST_BIN_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

// A program started with its standard output and error in a pipe.
struct Child {
  pid_t pid = -1;
  int out = -1;
  std::string text;
};

Child Spawn(const std::vector<std::string>& args) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  Child child;
  child.pid = fork();
  if (child.pid == 0) {
    dup2(pipeFds[1], 1);
    dup2(pipeFds[1], 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  child.out = pipeFds[0];
  return child;
}

// Reads output until it holds `marker` (true) or the child closed it (false).
bool ReadUntil(Child& child, const std::string& marker) {
  char chunk[512];
  while (child.text.find(marker) == std::string::npos) {
    const ssize_t got = read(child.out, chunk, sizeof chunk);
    if (got <= 0) return false;
    child.text.append(chunk, static_cast<std::size_t>(got));
  }
  return true;
}

// Reads the rest of the output; returns the wait status.
int Finish(Child& child) {
  ReadUntil(child, std::string(1, '\0'));
  close(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  return status;
}

RunResult RunProgram(const std::vector<std::string>& args) {
  Child child = Spawn(args);
  const int status = Finish(child);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.text};
}

// True when process `pid` holds a flock on the file with this inode.
bool HoldsLock(pid_t pid, ino_t inode) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    char kind[16] = {};
    int owner = 0;
    unsigned long file = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %d %*x:%*x:%lu", kind, &owner, &file) == 3 &&
        std::strcmp(kind, "FLOCK") == 0 && owner == pid && file == inode) {
      return true;
    }
  }
  return false;
}

ino_t InodeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_ino;
}

// ---- Two runs at once on one card -------------------------------------------

struct SimulatedPort {
  const char* port;
  bool firstFast;  // the first run's pace: slow enough to be caught holding the card
};

class TwoRunsOnOneSimulatedCard : public testing::TestWithParam<SimulatedPort> {};

TEST_P(TwoRunsOnOneSimulatedCard, TheSecondIsRefusedAndTheFirstCompletes) {
  TempDir dir;
  const std::string card = dir.File("card.img");
  WriteFile(card, {});
  const auto first = Pattern(20000, 4);
  WriteFile(dir.File("first.mp3"), first);
  WriteFile(dir.File("second.mp3"), Pattern(3000, 5));
  const std::string sim = Binary("vexo-sim");
  const auto add = [&](bool fast, const char* file, const char* title) {
    std::vector<std::string> args{sim, "--card", card, "--", GetParam().port, "--add",
                                  dir.File(file), title};
    if (fast) args.insert(args.begin() + 1, "--fast");
    return args;
  };

  Child running = Spawn(add(GetParam().firstFast, "first.mp3", "First"));
  while (!HoldsLock(running.pid, InodeOf(card))) usleep(500);
  kill(running.pid, SIGSTOP);  // held in the middle of its run
  const RunResult refused = RunProgram(add(true, "second.mp3", "Second"));
  kill(running.pid, SIGCONT);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("\n Error: PORT IN USE\n"), std::string::npos) << refused.out;
  EXPECT_EQ(refused.out.find("Adding"), std::string::npos) << refused.out;

  const int status = Finish(running);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << running.text;
  EXPECT_NE(running.text.find(" Done."), std::string::npos) << running.text;
  const RunResult list = RunProgram({sim, "--fast", "--card", card, "--", GetParam().port, "--get"});
  EXPECT_NE(list.out.find("  No. Samples: 1\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("First"), std::string::npos) << list.out;
  EXPECT_EQ(ReadRange(card, 0x10000, first.size()), first);
}

INSTANTIATE_TEST_SUITE_P(Ports, TwoRunsOnOneSimulatedCard,
                         testing::Values(SimulatedPort{"lp1", false},
                                         SimulatedPort{"ttyS0", true}));

TEST(ImageLock, ASecondRunOfVexoOnAnOpenImageWritesNothing) {
  TempDir dir;
  const std::string image = dir.File("card.ros");
  WriteCardImage(image, 1, "Mine", {});
  WriteFile(dir.File("song.mp3"), Pattern(1500, 2));
  const auto before = ReadFile(image);

  ASSERT_EQ(vexo_Open(VEXO_PORT_ROS, 1, 0, image.c_str()), 0);
  const RunResult refused =
      RunProgram({Binary("vexo"), "ros", image, "--add", dir.File("song.mp3"), "Theirs"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "\n Error: PORT IN USE\n");
  EXPECT_EQ(ReadFile(image), before);

  EXPECT_EQ(card_AddTitle(VEXO_PORT_ROS, 1, 1, 0, nullptr, dir.File("song.mp3").c_str(), "Mine",
                          0, 1), 0);
  vexo_Close(VEXO_PORT_ROS, 1);
  const RunResult list = RunProgram({Binary("vexo"), "ros", image, "--get"});
  EXPECT_NE(list.out.find("    1.      1500  Mine\n"), std::string::npos) << list.out;
}

// ---- Adapter address and serial line ---------------------------------------

struct AddressCase {
  int held;          // lp index opened by this process
  int probe;         // lp index another process then opens
  bool sameAddress;  // lp0 and lp1 share 0x378
  bool lockFolderUsable;
};

TEST(AdapterLock, OneRunPerPortAddressAlsoWhenTheLockFolderFallsBack) {
  const AddressCase cases[] = {
      {0, 1, true, true}, {1, 0, true, true}, {1, 2, false, true},
      {3, 3, true, true}, {4, 3, false, true}, {2, 2, true, false},
  };
  UseNoAdapterWaits();
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "lp" << c.held << " then lp" << c.probe);
    mmcsim_InstallMemoryCard(MmcSimConfig{});  // its own lock folder
    if (!c.lockFolderUsable) vexo_SetLockFolder("/nonexistent/vexo-lock-folder");
    ASSERT_EQ(vexo_Open(VEXO_PORT_PARALLEL, c.held, 0, nullptr), 0);
    const auto probe = [&] {
      const pid_t pid = fork();
      if (pid == 0) _exit(-ppa_Open(c.probe));
      int status = 0;
      waitpid(pid, &status, 0);
      return WEXITSTATUS(status);
    };
    EXPECT_EQ(probe(), c.sameAddress ? VEXO_ERROR_PORT_IN_USE : 0);
    if (!c.lockFolderUsable) {
      EXPECT_TRUE(FileExists("/tmp/vexo-lp-0x278.lock"));
    }
    vexo_Close(VEXO_PORT_PARALLEL, c.held);
    EXPECT_EQ(probe(), 0) << "released at close";
    if (!c.lockFolderUsable) unlink("/tmp/vexo-lp-0x278.lock");
  }
  mmcsim_Remove();
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// A line as a terminal program leaves it: cooked, echoing, 9600 baud.
termios CookedLine(int fd) {
  termios line{};
  tcgetattr(fd, &line);
  line.c_lflag |= ICANON | ECHO | ISIG;
  line.c_iflag |= ICRNL;
  line.c_oflag |= OPOST | ONLCR;
  cfsetispeed(&line, B9600);
  cfsetospeed(&line, B9600);
  tcsetattr(fd, TCSANOW, &line);
  tcgetattr(fd, &line);
  return line;
}

class PlayerLine : public testing::Test {
 protected:
  void SetUp() override {
    card = dir.File("card.img");
    WriteCardImage(card, 1, "Card", {{0x10000, 1000, "Old"}}, 0x10000 + 1024);
    PlayerSimConfig config;
    config.slots[0].imagePath = card;
    ASSERT_TRUE(playersim_Start(config));
    ser_SetDevicePathOverride(playersim_DevicePath().c_str());
    line = open(playersim_DevicePath().c_str(), O_RDWR | O_NOCTTY);
    before = CookedLine(line);
  }
  void TearDown() override {
    close(line);
    playersim_Stop();
    ser_SetDevicePathOverride(nullptr);
    vexo_SetDelayHook(nullptr);
  }
  TempDir dir;
  std::string card;
  int line = -1;
  termios before{};
};

TEST_F(PlayerLine, ASecondOpenOfTheLineIsRefusedWithItsSettingsUntouched) {
  ASSERT_EQ(vexo_Open(VEXO_PORT_SERIAL, 1, 115200, nullptr), 0);
  termios raw{};
  tcgetattr(line, &raw);
  EXPECT_EQ(ser_OpenDevice(playersim_DevicePath().c_str(), 57600), -VEXO_ERROR_PORT_IN_USE);
  termios after{};
  tcgetattr(line, &after);
  EXPECT_TRUE(SameSettings(after, raw));
  vexo_Close(VEXO_PORT_SERIAL, 1);
  tcgetattr(line, &after);
  EXPECT_TRUE(SameSettings(after, before));
}

// ---- Signals ------------------------------------------------------------------

// Signals sent to a run of "--add" on the player's line, the last one ending it.
class SignalDuringAdd : public PlayerLine,
                        public testing::WithParamInterface<std::vector<int>> {};

void MillisecondPauses(uint32_t units) { vexo_SleepMicros(units * 1000ull); }

TEST_P(SignalDuringAdd, LeavesTheLineAsItWasAndThePlaylistUnchanged) {
  const std::string song = dir.File("song.mp3");
  WriteFile(song, Pattern(30 * 512, 9));
  const auto header = ImageSectors(card, 0, 2);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  Child run;
  run.pid = fork();
  if (run.pid == 0) {
    // A run of its own: the parent's player answers on the line, at the
    // product's pace (shortened pauses), without the in-process player hooks.
    dup2(pipeFds[1], 1);
    ser_SetEmptyPollHook(nullptr);
    vexo_SetDelayHook(MillisecondPauses);
    std::vector<std::string> args{"vexo", "ttyS0", "--add", song, "New"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    const int status = vexo_Main(static_cast<int>(argv.size()), argv.data());
    vexo_EndIfSignalled();
    _exit(status);
  }
  close(pipeFds[1]);
  run.out = pipeFds[0];
  ASSERT_TRUE(ReadUntil(run, " 10 / 30")) << run.text;  // the copy is running
  for (int signal : GetParam()) kill(run.pid, signal);
  const int status = Finish(run);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam().back()) << run.text;
  if (GetParam().size() == 1) {
    EXPECT_NE(run.text.find("\n Error: TRANSFER STOPPED\n"), std::string::npos) << run.text;
  }
  termios after{};
  tcgetattr(line, &after);
  EXPECT_TRUE(SameSettings(after, before));
  EXPECT_EQ(ImageSectors(card, 0, 2), header);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringAdd,
                         testing::Values(std::vector<int>{SIGINT}, std::vector<int>{SIGTERM},
                                         std::vector<int>{SIGHUP},
                                         std::vector<int>{SIGINT, SIGTERM}));

bool g_raiseInHeaderWrite = false;
bool g_raised = false;

// The player's pacing, and once a SIGINT: at the first pause of the header's
// sector writes, or at the run's very first pause.
void PauseAndInterrupt(uint32_t units) {
  if (!g_raised && vexo_ShieldedStepRunning() == g_raiseInHeaderWrite) {
    g_raised = true;
    raise(SIGINT);
  }
  playersim_DelayHook(units);
}

TEST_F(PlayerLine, ASignalDuringAHeaderWriteLetsItFinishOtherwiseNothingIsWritten) {
  const std::string untouched = dir.File("untouched.img");
  WriteFile(untouched, ReadFile(card));
  const std::string renamed = dir.File("renamed.img");
  WriteFile(renamed, ReadFile(card));
  ASSERT_TRUE(playersim_SetSlotImage(1, renamed));
  vexo_SetDelayHook(playersim_DelayHook);
  EXPECT_EQ(RunVexo({"ttyS0", "--chtitle", "1", "Renamed"}).out, "\n Changed Title for Sample 1.\n");

  for (bool inHeaderWrite : {true, false}) {
    SCOPED_TRACE(inHeaderWrite ? "signal in the header write" : "signal before it");
    ASSERT_TRUE(playersim_SetSlotImage(1, card));
    WriteFile(card, ReadFile(untouched));
    g_raiseInHeaderWrite = inHeaderWrite;
    g_raised = false;
    vexo_SetDelayHook(PauseAndInterrupt);
    const RunResult run = RunVexo({"ttyS0", "--chtitle", "1", "Renamed"});
    EXPECT_TRUE(g_raised);
    EXPECT_EQ(vexo_CaughtSignal(), SIGINT);
    EXPECT_EQ(run.out, inHeaderWrite ? "\n Changed Title for Sample 1.\n"
                                     : "\n Error: TRANSFER STOPPED\n");
    EXPECT_EQ(ImageSectors(card, 0, 2), ImageSectors(inHeaderWrite ? renamed : untouched, 0, 2));
    termios after{};
    tcgetattr(line, &after);
    EXPECT_TRUE(SameSettings(after, before));
  }
}

}  // namespace
