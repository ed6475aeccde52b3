// The bash completion in an interactive bash on a pseudo-terminal: keys typed, TAB
// pressed, and the words the completed line hands to the program.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

using namespace vexo_test;

// bash -i on a pseudo-terminal in a folder, "vexo" and "vexo-sim" printing each argument as <ARG>.
class Shell {
 public:
  explicit Shell(const std::string& folder) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (chdir(folder.c_str()) != 0) _exit(127);
      setenv("LANG", "C.UTF-8", 1);
      unsetenv("LC_ALL");
      setenv("TERM", "dumb", 1);
      setenv("INPUTRC", "/dev/null", 1);
      setenv("HISTFILE", "/dev/null", 1);
      execlp("bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
      _exit(127);
    }
    Run(std::string("source '") + VEXO_GOLDEN_DIR "/../../completion/vexo.bash'; PS1='$ '; "
        "vexo() { printf '<%s>\\n' \"$@\"; }; vexo-sim() { vexo \"$@\"; }");
  }
  ~Shell() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Types keys and Enter, awaiting each TAB's completion; what the shell printed.
  std::string Run(const std::string& keys) {
    for (std::size_t start = 0; start <= keys.size();) {
      const std::size_t tab = keys.find('\t', start);
      const std::string part = keys.substr(start, tab == std::string::npos ? std::string::npos : tab + 1 - start);
      Type(part);
      if (tab == std::string::npos) break;
      Read(200);
      start = tab + 1;
    }
    Type("\necho @@do''ne\n");
    std::string out;
    while (out.find("@@done") == std::string::npos) {
      const std::string more = Read(10000);
      if (more.empty()) break;
      out += more;
    }
    return out;
  }

 private:
  void Type(const std::string& keys) {
    if (keys.empty()) return;
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // What arrives before the line stays quiet for the given milliseconds.
  std::string Read(int quietMs) {
    std::string out;
    pollfd fd{master_, POLLIN, 0};
    char buffer[4096];
    while (poll(&fd, 1, quietMs) > 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
      if (out.find("@@done") != std::string::npos) break;
      quietMs = 200;
    }
    return out;
  }

  int master_ = -1;
  pid_t pid_ = -1;
};

TEST(Completion, NamesWithBlanksQuotesAndAccentsStayOneWord) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("Grüße Album"));
  dir.Write("Grüße Album/Song one.mp3", {1});
  dir.Write("it's here.mp3", {1});
  dir.Write("my image.ros", {});
  dir.Write("[x]*.m3u", {});
  Shell shell(dir.path());
  const struct {
    const char* keys;
    const char* words;  // the arguments the completed line gives
  } cases[] = {
      {"vexo ros x.ros --import Grü\t", "<--import>\r\n<Grüße Album/>\r\n"},
      {"vexo ros x.ros --import Grüße\\ Album/S\t", "<--import>\r\n<Grüße Album/Song one.mp3>\r\n"},
      {"vexo ros x.ros --add \"Grüße Album/S\tT", "<--add>\r\n<Grüße Album/Song one.mp3>\r\n<T>\r\n"},
      {"vexo ros x.ros --add it\tT", "<--add>\r\n<it's here.mp3>\r\n<T>\r\n"},
      {"vexo ros x.ros --add 'it\tT", "<--add>\r\n<it's here.mp3>\r\n<T>\r\n"},
      {"vexo ros x.ros --import [\t", "<--import>\r\n<[x]*.m3u>\r\n"},
      {"vexo ros my\t--get", "<ros>\r\n<my image.ros>\r\n<--get>\r\n"},
      {"vexo-sim --card 'my\t-- lp1 --rawwrite \"my\t", "<--card>\r\n<my image.ros>\r\n<-->\r\n<lp1>\r\n<--rawwrite>\r\n<my image.ros>\r\n"},
      {"vexo-sim --fast -- ros x.ros --add it\tT", "<--add>\r\n<it's here.mp3>\r\n<T>\r\n"},
  };
  for (const auto& c : cases) {
    const std::string out = shell.Run(c.keys);
    EXPECT_NE(out.find(c.words), std::string::npos) << c.keys << "\n" << out;
  }
}

}  // namespace
