// The image-file driver: formatting, sector access past the file's end, the
// two file copies with their progress and truncation lines, and failures of
// the host or the image file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image/ros.h"
#include "support/test_support.h"

namespace {

using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::Slice;
using vexo_test::WriteFile;
using Bytes = std::vector<uint8_t>;

bool AllAre(const Bytes& bytes, uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](uint8_t b) { return b == value; });
}


class RosImage : public ::testing::Test {
 protected:
  void TearDown() override { ros_Close(); }
  std::string Path(const char* name = "card.ros") const { return dir.File(name); }
  vexo_test::TempDir dir;
};

TEST_F(RosImage, FormatsNewAndEmptyFilesOnly) {
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  ros_Close();
  const Bytes created = ReadFile(Path());
  EXPECT_EQ(created.size(), 65536u);
  EXPECT_TRUE(AllAre(created, 0xFF));

  WriteFile(Path("empty.ros"), {});
  ASSERT_EQ(ros_Open(Path("empty.ros").c_str()), 0);
  ros_Close();
  EXPECT_EQ(ReadFile(Path("empty.ros")), created);

  WriteFile(Path("short.ros"), {1, 2, 3});
  ASSERT_EQ(ros_Open(Path("short.ros").c_str()), 0);
  uint32_t size = 0;
  EXPECT_EQ(ros_Search(&size), 0);
  EXPECT_EQ(size, 132907008u);
  EXPECT_EQ(ros_Close(), 0);
  EXPECT_EQ(ros_Close(), 0);
  EXPECT_EQ(ReadFile(Path("short.ros")), (Bytes{1, 2, 3}));

  EXPECT_EQ(ros_Open(nullptr), -5);
  EXPECT_EQ(ros_Open(dir.path().c_str()), -47);
  EXPECT_EQ(ros_Open(Path("no/such.ros").c_str()), -5);
}

TEST_F(RosImage, OperationsNeedAnOpenImage) {
  uint8_t sector[SECTOR_SIZE] = {};
  EXPECT_EQ(ros_ReadSector(0, sector), -35);
  EXPECT_EQ(ros_WriteSector(0, sector), -35);
  EXPECT_EQ(ros_WriteMultiSectors(0, 1, Bytes(512)), -35);
  WriteFile(Path("host"), Pattern(10));
  EXPECT_EQ(ros_WriteFile(0, Path("host").c_str(), 100, 0), -35);
  EXPECT_EQ(ros_ReadFile(0, 10, Path("out").c_str(), 0), -35);
  EXPECT_FALSE(vexo_test::FileExists(Path("out")));
  EXPECT_EQ(ros_GetTransferRate(), 0.0f);
}

TEST_F(RosImage, SectorsPastTheEndReadAsZerosAndWritesExtend) {
  WriteFile(Path(), Pattern(700));
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  uint8_t sector[SECTOR_SIZE];
  std::fill(sector, sector + SECTOR_SIZE, 0xAA);
  ASSERT_EQ(ros_ReadSector(1, sector), 0);
  EXPECT_EQ(Bytes(sector, sector + 188), Slice(Pattern(700), 512, 188));
  EXPECT_TRUE(AllAre(Bytes(sector + 188, sector + SECTOR_SIZE), 0));
  std::fill(sector, sector + SECTOR_SIZE, 0xAA);
  ASSERT_EQ(ros_ReadSector(5000, sector), 0);
  EXPECT_TRUE(AllAre(Bytes(sector, sector + SECTOR_SIZE), 0));

  const Bytes data = Pattern(512, 7);
  ASSERT_EQ(ros_WriteSector(4, data.data()), 0);
  ros_Close();
  const Bytes image = ReadFile(Path());
  ASSERT_EQ(image.size(), 5u * 512);
  EXPECT_EQ(Slice(image, 0, 700), Pattern(700));
  EXPECT_TRUE(AllAre(Slice(image, 700, 4 * 512 - 700), 0));
  EXPECT_EQ(Slice(image, 4 * 512, 512), data);
}

TEST_F(RosImage, MultiSectorWriteTakesAbsolutePositions) {
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  const Bytes card = Pattern(4 * 512, 3);
  EXPECT_EQ(ros_WriteMultiSectors(3, 3, card), 0);
  EXPECT_EQ(ros_WriteMultiSectors(3, 1, card), 0);
  EXPECT_EQ(ros_WriteMultiSectors(2, 4, card), 0);
  EXPECT_EQ(ros_WriteMultiSectors(3, 5, card), -37) << "image shorter than the end sector";
  ros_Close();
  const Bytes image = ReadFile(Path());
  EXPECT_TRUE(AllAre(Slice(image, 0, 1024), 0xFF));
  EXPECT_EQ(Slice(image, 1024, 1024), Slice(card, 1024, 1024));
  EXPECT_TRUE(AllAre(Slice(image, 2048, 65536 - 2048), 0xFF));
}

TEST_F(RosImage, WriteFileTruncatesZeroPadsAndShowsProgress) {
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  const Bytes host = Pattern(1000, 9);
  WriteFile(Path("host"), host);
  ros_StopTransfer();  // set before the copy: cleared by it
  testing::internal::CaptureStdout();
  ASSERT_EQ(ros_WriteFile(200, Path("host").c_str(), 1000, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " 0 / 2 (0%) \r");
  EXPECT_EQ(ros_GetProgress(), 100);

  const Bytes big = Pattern(25 * 512, 4);
  WriteFile(Path("big"), big);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ros_WriteFile(300, Path("big").c_str(), 700, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "- File size truncated to card space left -\n  0 / 2 (0%) \r");
  testing::internal::CaptureStdout();
  ASSERT_EQ(ros_WriteFile(400, Path("big").c_str(), 0xFFFFFFFFu, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " 0 / 25 (0%) \r 10 / 25 (40%) \r 20 / 25 (80%) \r");
  testing::internal::CaptureStdout();
  ASSERT_EQ(ros_WriteFile(500, Path("host").c_str(), 10, 0), 0);
  ASSERT_EQ(ros_WriteFile(600, Path("host").c_str(), 0, 1), 0);  // nothing to copy
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "- File size truncated to card space left -\n ");

  WriteFile(Path("zero"), {});
  EXPECT_EQ(ros_WriteFile(700, Path("zero").c_str(), 100, 1), -6);
  EXPECT_EQ(ros_WriteFile(700, Path("missing").c_str(), 100, 1), -6);
  ros_Close();

  const Bytes image = ReadFile(Path());
  ASSERT_EQ(image.size(), 501u * 512);
  EXPECT_EQ(Slice(image, 200 * 512, 1000), host);
  EXPECT_TRUE(AllAre(Slice(image, 200 * 512 + 1000, 24), 0)) << "the last sector's tail is zero";
  EXPECT_EQ(Slice(image, 300 * 512, 1024), Slice(big, 0, 1024)) << "limit rounded up to a sector";
  EXPECT_TRUE(AllAre(Slice(image, 302 * 512, 98 * 512), 0));
  EXPECT_EQ(Slice(image, 400 * 512, 25 * 512), big);
  EXPECT_EQ(Slice(image, 500 * 512, 512), Slice(host, 0, 512));
}

TEST_F(RosImage, ReadFileExactLengthAndHostFailures) {
  const Bytes card = Pattern(40 * 512, 5);
  WriteFile(Path(), card);
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ros_ReadFile(3, 1000, Path("out").c_str(), 1), 0);
  ASSERT_EQ(ros_ReadFile(0, 30 * 512, Path("whole").c_str(), 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " 0 / 2 (0%) \r 0 / 30 (0%) \r 10 / 30 (33%) \r 20 / 30 (66%) \r");
  EXPECT_EQ(ReadFile(Path("out")), Slice(card, 3 * 512, 1000));
  EXPECT_EQ(ReadFile(Path("whole")), Slice(card, 0, 30 * 512));
  EXPECT_EQ(ros_GetProgress(), 100);

  ASSERT_EQ(ros_ReadFile(0, 0, Path("none").c_str(), 1), 0);
  EXPECT_TRUE(vexo_test::FileExists(Path("none")));
  EXPECT_TRUE(ReadFile(Path("none")).empty());
  EXPECT_EQ(ros_ReadFile(0, 1000, Path("no/such/file").c_str(), 0), -11);
  EXPECT_EQ(ros_ReadFile(0, 1000, "/dev/full", 0), -43);
  EXPECT_EQ(ros_ReadFile(0, 40 * 512, "/dev/full", 0), -43);
  ros_Close();
  EXPECT_EQ(ReadFile(Path()), card) << "reading leaves the image unchanged";
}

TEST_F(RosImage, WritesTheHostRefusesAreReported) {
  WriteFile(Path(), Pattern(512));
  ASSERT_EQ(ros_Open(Path().c_str()), 0);
  const Bytes data = Pattern(512, 2);
  {
    vexo_test::FileSizeLimit limit(512);
    EXPECT_EQ(ros_WriteSector(1, data.data()), -37);
    EXPECT_EQ(ros_WriteSector(0, data.data()), 0);
  }
  ros_Close();
  EXPECT_EQ(ReadFile(Path()), data);
}

}  // namespace
