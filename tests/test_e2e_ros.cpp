// Whole command lines against image files: exact output bytes and exact
// image bytes afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"

namespace {

using vexo_test::CardTitle;
using vexo_test::Le16;
using vexo_test::Le32;
using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::RunVexo;
using vexo_test::Slice;
using Bytes = std::vector<uint8_t>;

const std::string kDone = " Done.                        \n";
const std::string kRate = " Transferrate: 0 Bits/sec.\n";

class E2eRos : public ::testing::Test {
 protected:
  void SetUp() override { vexo_test::UseNoDelay(); }
  std::string Host(const std::string& name, std::size_t size, uint32_t seed = 1) {
    const std::string path = dir.File(name);
    vexo_test::WriteFile(path, Pattern(size, seed));
    return path;
  }
  vexo_test::RunResult Run(const std::vector<std::string>& args) { return RunVexo({"ros", image}, args); }
  std::string Added(const std::string& path, const std::string& progress) {
    return "\n Adding file: " + path + "\n " + progress + kDone;
  }
  vexo_test::TempDir dir;
  std::string image = dir.File("card.ros");
};

TEST_F(E2eRos, AddToABlankImageThenAppend) {
  const std::string song = Host("song.mp3", 1000);
  vexo_test::RunResult run = Run({"--add", song, "Song"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, Added(song, " 0 / 2 (0%) \r"));
  Bytes bytes = ReadFile(image);
  ASSERT_EQ(bytes.size(), 0x10000u + 1024);
  Bytes header(512, 0);
  const uint8_t start[] = {1, 0, 1, 1, 1, 0, 0, 2, 0, 0, 0x20, 2, 0, 0};
  std::copy(std::begin(start), std::end(start), header.begin());
  header[51] = 32;
  EXPECT_EQ(Slice(bytes, 0, 512), header);
  Bytes table = vexo_test::EncodeCardTitle({0x10000, 1000, "Song", 1});
  table.resize(512, 0);
  EXPECT_EQ(Slice(bytes, 512, 512), table);
  EXPECT_EQ(Slice(bytes, 1024, 0x10000 - 1024), Bytes(0x10000 - 1024, 0xFF)) << "formatted, untouched";
  EXPECT_EQ(Slice(bytes, 0x10000, 1000), Pattern(1000));
  EXPECT_EQ(Slice(bytes, 0x10000 + 1000, 24), Bytes(24, 0));

  const std::string wav = Host("b.wav", 11 * 512 + 1, 2);
  run = Run({"-a", wav, "\xC4pfel Stra\xDF" "e", "-n", std::string(40, 'N')});
  EXPECT_EQ(run.out, Added(wav, " 0 / 12 (0%) \r 10 / 12 (83%) \r"));
  const std::string upper = Host("c.MP3", 1, 3);
  const std::string plain = Host("noext", 512, 4);
  Run({"--add", upper, std::string(30, 'x')});
  Run({"--add", plain, "AC/DC"});

  bytes = ReadFile(image);
  EXPECT_EQ(Le16(bytes, 4), 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[14])), std::string(36, 'N'));
  EXPECT_EQ(Slice(bytes, 544, 32), vexo_test::EncodeCardTitle({0x10400, 5633, "\xE1pfel Stra\xE2" "e", 2}));
  EXPECT_EQ(Slice(bytes, 576, 32), vexo_test::EncodeCardTitle({0x11C00, 1, std::string(22, 'x'), 1}));
  EXPECT_EQ(Slice(bytes, 608, 32), vexo_test::EncodeCardTitle({0x11E00, 512, "AC/DC", 2}));
  EXPECT_EQ(Slice(bytes, 0x10400, 5633), Pattern(5633, 2));

  run = Run({"--get"});
  EXPECT_EQ(run.out,
            "\n  Cardsize:    132907008 Byte\n  Free:        132834326 Byte\n"
            "  Version:     ROS file\n  Cardname:    " + std::string(36, 'N') +
            "\n  No. Samples: 4\n  Titles:\n"
            "    1.      1000  Song\n    2.      5633  \x84pfel Stra\xE1" "e\n"
            "    3.         1  " + std::string(22, 'x') + "\n    4.       512  AC/DC\n");
}

TEST_F(E2eRos, HostFileMissingOrEmpty) {
  for (const std::string& path : {dir.File("missing.mp3"), Host("empty.mp3", 0)}) {
    const vexo_test::RunResult run = Run({"--add", path, "t"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "\n Adding file: " + path + "\n \n Error: FILE NOT EXIST\n");
  }
  EXPECT_EQ(ReadFile(image), Bytes(65536, 0xFF));
}

TEST_F(E2eRos, ChangeAndChangeTitle) {
  vexo_test::RunResult run = Run({"--change", "-n", "Fresh", "-t", "5"});
  EXPECT_EQ(run.out, "\n Changed CardName.\n");
  Bytes bytes = ReadFile(image);
  EXPECT_EQ(Le16(bytes, 0), 5);
  EXPECT_EQ(Le16(bytes, 4), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[14])), "Fresh");

  Run({"--add", Host("a.mp3", 10), "one"});
  Run({"--add", Host("b.mp3", 10), "two"});
  const Bytes before = ReadFile(image);
  run = Run({"--chtitle", "99", "x"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\n Error: NO VALID SAMPLE NUMBER\n");
  EXPECT_EQ(ReadFile(image), before);

  run = Run({"-ct", "2", "M\xE4rz " + std::string(30, 'z')});
  EXPECT_EQ(run.out, "\n Changed Title for Sample 2.\n");
  bytes = ReadFile(image);
  const std::string stored = "M\xE4rz " + std::string(17, 'z');
  Bytes expected(stored.begin(), stored.end());
  expected.push_back(0);
  EXPECT_EQ(Slice(bytes, 544 + 8, 23), expected);
  EXPECT_EQ(Slice(bytes, 0, 512 + 32), Slice(before, 0, 512 + 32));
  EXPECT_NE(Run({"--get"}).out.find("    2.        10  " + stored + "\n"), std::string::npos);
}

TEST_F(E2eRos, ImageFilesRefuseDeleteEmptyAndRawCopies) {
  const std::string raw = Host("raw", 600);
  const std::vector<std::vector<std::string>> commands = {
      {"--delete"}, {"-d", "all"}, {"--empty"}, {"--rawwrite", raw}, {"-rr", dir.File("copy")}};
  for (const auto& args : commands) {
    const vexo_test::RunResult run = Run(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, " - not supported for ROS file -\n") << args[0];
  }
  EXPECT_FALSE(vexo_test::FileExists(image));
  EXPECT_FALSE(vexo_test::FileExists(dir.File("copy")));
}

TEST_F(E2eRos, ReadingATitleBackGivesTheSameBytes) {
  const std::size_t sizes[] = {1, 511, 512, 513, 1000, 3 * 1024 * 1024 + 17};
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    Run({"--add", Host("in" + std::to_string(i), sizes[i], static_cast<uint32_t>(i + 5)), "t"});
  }
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const std::string out = dir.File("out" + std::to_string(i));
    const vexo_test::RunResult run = Run({"--read", std::to_string(i + 1), out});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.ends_with(kDone + kRate)) << run.out;
    EXPECT_EQ(ReadFile(out), ReadFile(dir.File("in" + std::to_string(i)))) << sizes[i];
  }
  EXPECT_EQ(Run({"--read", "2", dir.File("o")}).out,
            "\n Reading file:\n  0 / 1 (0%) \r" + kDone + kRate);
  EXPECT_EQ(Run({"--read", "5", "/dev/full"}).out, "\n Reading file:\n  0 / 2 (0%) \r\n Error: FILE WRITE\n");
  EXPECT_EQ(Run({"--read", "7"}).out, "\n Reading file:\n \n Error: NO VALID SAMPLE NUMBER\n");
}

TEST_F(E2eRos, ReadWithoutANameStaysInTheCurrentFolder) {
  Run({"--add", Host("a", 700), "AC/DC"});
  Run({"--add", Host("b", 3), "../up"});
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const vexo_test::RunResult first = Run({"--read", "1"});
  const vexo_test::RunResult second = Run({"-r", "2"});
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_EQ(first.out, "\n Reading file:\n  0 / 2 (0%) \r" + kDone + kRate);
  EXPECT_EQ(ReadFile(dir.File("AC_DC.mp3")), Pattern(700));
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(ReadFile(dir.File(".._up.mp3")), Pattern(3));
}

TEST_F(E2eRos, NoRoomOnTheCard) {
  // Entries whose sizes cover the card: no free byte left.
  const Bytes before = vexo_test::WriteCardImage(image, 1, "full", {{0x10000, 132907008 - 0x10000, "all"}});
  const std::string song = Host("s.mp3", 100);
  vexo_test::RunResult run = Run({"--add", song, "t", "-n", "renamed"});
  EXPECT_EQ(run.out, "\n Adding file: " + song + "\n \n Error: CARD FULL\n");
  EXPECT_EQ(ReadFile(image), before);

  std::vector<CardTitle> titles;
  for (uint32_t i = 0; i < 2032; ++i) titles.push_back({0x10000 + 512 * i, 1, "t", 2});
  const Bytes crowded = vexo_test::WriteCardImage(image, 1, "", titles);
  run = Run({"--add", song, "t"});
  EXPECT_EQ(run.out, "\n Adding file: " + song + "\n \n Error: TABLE FULL\n");
  EXPECT_EQ(ReadFile(image), crowded);
}

}  // namespace
