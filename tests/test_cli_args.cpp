// The command line: usage texts byte for byte, every rejection with its
// message and exit status 0, and how arguments reach the handlers (observed
// on image files, and on the parallel kind through the refused port access).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using vexo_test::Le16;
using vexo_test::ReadFile;
using vexo_test::RunVexo;

std::string Usage(bool extended) {
  const std::string typeLine = "                            -t <cardtype>: Type of MultiMediaCard\n";
  std::string text = "\n";
  text += extended ? "vexo <port> [--slow][ROS-file] <command> [options]\n"
                   : "vexo <port> [--slow] <command> [options]\n";
  text += "  Version: 2.14\n\n";
  text += "port:    A valid port (lp1,lp2,..., ttyS0, ttyS1, ... or ros).\n";
  text += "         Options: \n";
  if (extended) text += "             [ROS-file]:  Name of the ROS File if using the ros port.\n";
  text +=
      "             [--slow]:    Serial transfers with 57600 Baud. Useful for\n"
      "                          very old computer hardware. Bring the Player\n"
      "                           into the Mac download mode.\n\n";
  text += "command: --get      (-g)  Read the playlist from the card.\n";
  text +=
      "         --delete   (-d)  Delete last or all playlist entries.\n"
      "                          Options: [all] - delete all files\n";
  text +=
      "         --add      (-a)  Add one title.\n"
      "                          Options: <file> <title> [-n <cardname>]\n"
      "                            <file>:        MP3-file.\n"
      "                            <title>:       Title for the MP3-file.\n"
      "                            -n <cardname>: MultiMediaCard name\n";
  if (extended) text += typeLine;
  text +=
      "         --change   (-c)  Change only the cardname, no download.\n"
      "                          Options: -n <cardname>\n"
      "                            -n <cardname>: MultiMediaCard name\n";
  if (extended) text += typeLine;
  text +=
      "         --chtitle  (-ct) Change the title of a sample on the card.\n"
      "                          Options: <sample-no> <title-name>\n"
      "                             <sample-no>:  Number of the MP3-file\n"
      "                             <title-name>: New name for the title\n";
  if (extended) {
    text +=
        "         --read     (-r)  Read one title from card.\n"
        "                          Options: <sample-nr> [<file-name>]\n"
        "                            <sample-no>:   Number of the MP3-file.\n"
        "                            <file-name>:   Name of the MP3-file for storing\n"
        "         --rawwrite (-rw) Write a file directly to the card\n"
        "                          Options: <file>\n"
        "                            <file>:        File for raw write\n"
        "         --rawread  (-rr) Read the complete card 1:1\n"
        "                          Options: <file>\n"
        "                            <file>:        File for storing the data\n";
  }
  text +=
      "\nExamples for lp1  and ttyS0 :\n"
      "  vexo lp1    --get \n"
      "  vexo lp1    --delete \n"
      "  vexo ttyS0  --delete all \n"
      "  vexo ttyS0  --add file.mp3 title \n"
      "  vexo ttyS0  --slow --add file.mp3 title \n"
      "  vexo ttyS0  --slow --get \n"
      "  vexo lp1    --add file.mp3 title -n testname \n"
      "  vexo lp1    --change -n testname \n"
      "  vexo lp1    --chtitle 1 test\n\n";
  if (extended) {
    text +=
        "  Create a ROS file for ROS cards.\n   vexo ros test.ros --get\n"
        "   vexo ros test.ros --add file.mp3 title \n   vexo lp1   --rawwrite test.ros \n";
  }
  text +=
      "\n  Parallel port names are aliases for their addresses, i.e.\n"
      "    lp0=0x378, lp1=0x378, lp2=0x278, lp3=3bc, lp4=0x2bc\n\n";
  return text;
}

const std::string kBadParams = " No valid command-line parameters.\n";

void ExpectPrints(const std::vector<std::string>& args, const std::string& expected) {
  const vexo_test::RunResult run = RunVexo(args);
  EXPECT_EQ(run.status, 0) << args.front();
  EXPECT_EQ(run.out, expected) << args.front();
}

class CliArgs : public ::testing::Test {
 protected:
  void SetUp() override { vexo_test::UseNoDelay(); }
  vexo_test::TempDir dir;
  std::string Image() const { return dir.File("card.ros"); }
};

TEST_F(CliArgs, UsageTexts) {
  ExpectPrints({}, Usage(false));
  ExpectPrints({"ttyS0"}, Usage(false));
  ExpectPrints({"--help"}, Usage(false));
  ExpectPrints({"--helpex"}, Usage(true));
  ExpectPrints({"--helpex", "x", "y"}, Usage(true));
  ExpectPrints({"ttyS0", "--helpex"}, kBadParams + Usage(false));
  ExpectPrints({"ttyS0", "--slow"}, kBadParams + Usage(false));
  ExpectPrints({"lp1", "--getx"}, kBadParams + Usage(false));
  ExpectPrints({"lp1", "--ge"}, kBadParams + Usage(false));
  ExpectPrints({"ros", "--get"}, kBadParams + Usage(false));  // --get is the image name
}

TEST_F(CliArgs, RejectionsPrintTheirMessageAndExitWithZero) {
  const std::string image = Image();
  ExpectPrints({"--help", "x"}, " \nNo valid port typ (serial or parallel)\n");
  ExpectPrints({"lp5", "--get"}, " \nNo valid parallel port number. Range 0-4\n");
  ExpectPrints({"lp-1", "--get"}, " \nNo valid parallel port number. Range 0-4\n");
  ExpectPrints({"ttyS-1", "--get"}, " \nNo valid serial port number\n");
  ExpectPrints({"ttyS2147483647", "--get"}, " \nNo valid serial port number\n");
  ExpectPrints({"ttyS99999999999", "--get"}, " \nNo valid serial port number\n");
  ExpectPrints({"ros", "lp1", "--get"}, " \nName of the ROS file is missing\n");
  ExpectPrints({"ros", "ttyS0", "--get"}, " \nName of the ROS file is missing\n");
  ExpectPrints({"ros", image}, kBadParams + Usage(false));
  ExpectPrints({"ros", image, "-s"}, kBadParams + Usage(false));
  ExpectPrints({"lp1", "--rawwrite"}, kBadParams);
  ExpectPrints({"lp1", "-rr"}, kBadParams);
  for (const char* bad : {"0", "x", "-3"}) {
    ExpectPrints({"lp1", "--read", bad}, " --read: missing or invalid parameters\n");
  }
  ExpectPrints({"lp1", "-r"}, " --read: missing or invalid parameters\n");
  ExpectPrints({"lp1", "--chtitle", "1"}, " --chtitle: missing or invalid parameters\n");
  ExpectPrints({"lp1", "-ct", "0", "t"}, " --chtitle: missing or invalid parameters\n");
  ExpectPrints({"lp1", "--add", "a.mp3"}, " --add: missing or invalid parameters\n");
  const std::string noType = "           No valid cardtype.\n";
  ExpectPrints({"lp1", "--add", "a.mp3", "t", "-t", "2"},
               " --add: missing or invalid parameters\n" + noType);
  ExpectPrints({"lp1", "--add", "a.mp3", "t", "-x", "y", "-t", "x"},
               " --add: missing or invalid parameters\n" + noType);
  const std::string change = " --change: missing or invalid parameters\n";
  ExpectPrints({"lp1", "--change"}, change);
  ExpectPrints({"lp1", "--change", "-n"}, change + "           No valid cardname.\n");
  ExpectPrints({"lp1", "-c", "-t"}, change + noType);
  ExpectPrints({"lp1", "-c", "-t", "2"}, change + noType);
  ExpectPrints({"lp1", "-c", "-n", "A", "-t", "65536"}, change + noType);
  EXPECT_FALSE(vexo_test::FileExists(image)) << "a rejection must not open the image";
}

// The parallel kind without port access ends the process with the data port
// in its message, which shows the adapter number the command line chose.
TEST(CliParallelPortDeathTest, AdapterNumberReachesTheDriver) {
  EXPECT_EXIT(RunVexo({"lp", "--get"}), ::testing::ExitedWithCode(255), "parport 0x378\n");
  EXPECT_EXIT(RunVexo({"lp2x", "-g"}), ::testing::ExitedWithCode(255), "parport 0x278\n");
  EXPECT_EXIT(RunVexo({"lp 4", "--get"}), ::testing::ExitedWithCode(255), "parport 0x2bc\n");
}

// Serial port words reach the (simulated) player; "all" must match exactly.
TEST_F(CliArgs, SerialPortWordsAndTheDeleteMode) {
  PlayerSimConfig config;
  config.slots[0].imagePath = Image();
  vexo_test::WriteFile(Image(), {});
  PlayerSimSession session(config);
  ASSERT_TRUE(session.started);
  const vexo_test::RunResult run = RunVexo({"ttyS", "--get"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\n  Cardsize:    132907008\n  Version:     2.14\n  - no valid carddata -\n");
  EXPECT_EQ(RunVexo({"ttyS0", "--delete", "allx"}).out, "\n Deleted one title.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "-d", "all"}).out, "\n Deleted all titles.\n");
  EXPECT_EQ(RunVexo({"ttyS0", "-d", "ALL"}).out, "\n Deleted one title.\n");
}

TEST_F(CliArgs, HandlerRunsGiveExitStatusOneWhateverTheirOutcome) {
  const vexo_test::RunResult ok = RunVexo({"ros", Image(), "--get"});
  EXPECT_EQ(ok.status, 1);
  EXPECT_EQ(ok.out, "\n  Cardsize:    132907008\n  Version:     ROS file\n  - no valid carddata -\n");
  const vexo_test::RunResult failed = RunVexo({"ros", Image(), "--chtitle", "99", "x"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "\n Error: NO VALID HEADER\n");
  const vexo_test::RunResult missing = RunVexo({"ros", dir.File("no/such/dir.ros"), "-g"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "\n Error: FILE NOT EXIST\n");
}

TEST_F(CliArgs, SlowSwitchOnlyAtTheCommandPosition) {
  RunVexo({"ros", Image(), "--slow", "--get"});
  EXPECT_EQ(SerialBaudRate, 57600);
  RunVexo({"ros", Image(), "--get", "--slow"});
  EXPECT_EQ(SerialBaudRate, 115200);
  RunVexo({"ros", Image(), "-s", "-g"});
  EXPECT_EQ(SerialBaudRate, 57600);
  RunVexo({"ros", Image(), "--get"});
  EXPECT_EQ(SerialBaudRate, 115200);
}

TEST_F(CliArgs, OptionPairsReachTheCard) {
  const std::string image = Image();
  const std::string song = dir.File("a.mp3");
  vexo_test::WriteFile(song, vexo_test::Pattern(100));
  auto name = [&] { return std::string(reinterpret_cast<const char*>(ReadFile(image).data() + 14)); };

  EXPECT_EQ(RunVexo({"ros", image, "--add", song, "t", "-n"}).status, 1);
  EXPECT_EQ(name(), "");
  EXPECT_EQ(RunVexo({"ros", image, "-a", song, "t", "-x", "y", "-n", "N"}).status, 1);
  EXPECT_EQ(name(), "N");
  RunVexo({"ros", image, "-a", song, "t", "-x", "y", "-z", "w", "-n", "Third"});
  EXPECT_EQ(name(), "N") << "a third pair is ignored";
  RunVexo({"ros", image, "-c", "-n", "A", "-n", "B"});
  EXPECT_EQ(name(), "B");
  RunVexo({"ros", image, "-c", "-x", "y", "-z", "w", "-n", "C"});
  EXPECT_EQ(name(), "B");
  RunVexo({"ros", image, "--change", "-n", std::string(40, 'k')});
  EXPECT_EQ(name(), std::string(36, 'k'));
  RunVexo({"ros", image, "--change", "-t", "65541"});
  EXPECT_EQ(Le16(ReadFile(image), 0), 5);
  RunVexo({"ros", image, "--add", song, "t", "-t", "7", "-t", "6"});
  EXPECT_EQ(Le16(ReadFile(image), 0), 6);

  RunVexo({"ros", image, "--add", song, std::string(30, 'T')});
  const std::vector<uint8_t> bytes = ReadFile(image);
  EXPECT_EQ(Le16(bytes, 4), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 512 + 4 * 32 + 8)),
            std::string(22, 'T'));
}

TEST_F(CliArgs, ReadNumberAndLongNames) {
  const std::string image = Image();
  vexo_test::WriteCardImage(image, 1, "", {{0x10000, 3, "one"}, {0x10200, 2, "two"}}, 0x10400);
  std::vector<uint8_t> bytes = ReadFile(image);
  bytes[0x10200] = 'O';
  bytes[0x10201] = 'K';
  vexo_test::WriteFile(image, bytes);
  // A name longer than 255 characters is used whole.
  const std::string folder = dir.File(std::string(200, 'd'));
  std::filesystem::create_directory(folder);
  const std::string longName = folder + "/" + std::string(100, 'o');
  const vexo_test::RunResult run = RunVexo({"ros", image, "--read", "2abc", longName});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\n Reading file:\n  0 / 1 (0%) \r Done.                        \n"
                     " Transferrate: 0 Bits/sec.\n");
  EXPECT_EQ(ReadFile(longName), (std::vector<uint8_t>{'O', 'K'}));

  const std::string longImage = folder + "/" + std::string(100, 'i');
  EXPECT_EQ(RunVexo({"ros", longImage, "--get"}).status, 1);
  EXPECT_EQ(ReadFile(longImage).size(), 65536u);
}

}  // namespace
