// The exit status a script reads through the simulator program: 0 done, 1 failed,
// 2 command line refused, 255 port refused, 128 + n stopped by signal n.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/test_audio.h"
#include "support/test_support.h"

namespace {

using namespace vexo_test;

class ExitStatus : public testing::Test {
 protected:
  // A file of the test's folder, quoted for the shell.
  std::string Q(const std::string& name) { return std::string("'").append(dir.File(name)).append("'"); }
  TempDir dir;
};

TEST_F(ExitStatus, OfEveryKindOfRun) {
  dir.Write("song.mp3", LameFrames(44100, 32));  // an MP3 the player plays: imported as it is
  dir.Write("big.mp3", {});
  const std::string ros = "-- ros " + Q("c.ros") + " ";
  const std::string lp = "--fast --card " + Q("a.img") + " -- lp1 ";
  const std::string tty = "--fast --card " + Q("p.img") + " -- ttyS0 ";
  const std::string sim = "--fast --card " + Q("a.img") + " -- ";
  const std::string song = Q("song.mp3") + " ";
  const struct {
    std::string line;
    int status;
  } cases[] = {
      // Usage texts asked for, and the version.
      {"-- --help", 0}, {"-- -h x", 0}, {"-- --helpex", 0}, {"-- --version", 0}, {"-- -V", 0},
      // Refused command lines (the in-process tests check each refusal's message and status too).
      {"--", 2}, {tty, 2}, {"-- ros", 2}, {ros, 2}, {"-- foo --get", 2}, {sim + "lp5 --get", 2}, {ros + "--ad " + song + "T", 2},
      {ros + "-get", 2}, {ros + "--check --dry-run", 2}, {ros + "--repair --json", 2},
      {ros + "--import " + song + "--bitrate 100", 2}, {ros + "--import " + song + "--bitrate 128k", 2},
      {ros + "--import " + song + "--bitrate", 2}, {ros + "--import " + song + "--bitrate 640", 2},
      {lp + "--rawwrite " + Q("c.ros") + " --used x", 2}, {lp + "--rawread " + Q("b.img") + " --used x", 2},
      // Runs that did what they were asked (an import that skipped a song stored the others).
      {ros + "--get", 0}, {ros + "--add " + song + "T", 0}, {ros + "-j", 0}, {ros + "-ct 1 New", 0},
      {ros + "--check", 0}, {ros + "--repair --dry-run", 0},
      {ros + "--read 1 " + Q("back.mp3"), 0}, {ros + "--import " + song + Q("missing.mp3"), 0},
      {ros + "--import " + song + "--no-cache --bitrate 32 --fit --keep-tags", 0},
      {lp + "--add " + song + "T", 0}, {ros + "-q --get", 0},
      {lp + "--quiet --rawread " + Q("b.img") + " --used", 0}, {lp + "-s --rawread " + Q("b.img") + " -u -q", 0},
      {lp + "--delete all", 0}, {lp + "--repair", 0}, {tty + "--get", 0}, {tty + "--empty", 0}, {tty + "--check --json", 0},
      // Runs that failed: an " Error:" line, or a command the image file refuses.
      {ros + "--read 7", 1}, {ros + "--add " + Q("missing.mp3") + " T", 1}, {ros + "-m 1 9", 1},
      {ros + "--import " + Q("missing.mp3"), 1}, {ros + "--delete", 1}, {"-- ros " + Q("") + " --get", 1},
      {"-- ros " + Q("fresh.ros") + " --check", 1},
      {"--fast --fault no-card --card " + Q("a.img") + " -- lp1 --get", 1},
      {"--fast --fault silent --card " + Q("p.img") + " -- ttyS0 -j", 1},
      // The adapter's registers refused.
      {"--fault no-port --card " + Q("a.img") + " -- lp1 --get", 255},
  };
  for (const auto& c : cases) {
    const RunResult run = RunSim(c.line);
    EXPECT_EQ(run.status, c.status) << c.line << "\n" << run.out;
  }
}

// A copy of 8 MiB on the player's line, stopped once under way.
TEST_F(ExitStatus, StoppedBySignalN) {
  dir.Write("long.mp3", Pattern(8 << 20, 2));
  for (const auto& [signal, status] : {std::pair<const char*, int>{"TERM", 143}, {"HUP", 129}}) {
    const std::string run = SimCommand("--fast --card " + Q("p.img") + " -- ttyS0 --add " + Q("long.mp3") + " Long");
    const std::string out = Q("out");
    const std::string script = run + " >" + out + " 2>&1 & p=$!; while kill -0 $p 2>/dev/null && ! grep -q ' / ' " + out +
                               "; do sleep 0.05; done; kill -" + signal + " $p; wait $p";
    const int got = std::system(script.c_str());
    ASSERT_TRUE(WIFEXITED(got));
    EXPECT_EQ(WEXITSTATUS(got), status) << signal;
  }
}

}  // namespace
