// Pure routines every layer shares: the checksums against published check
// values, host file sizes and reads, the progress line and the transfer
// rate.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "drivers/ppa/mmc_cmd.h"
#include "support/test_support.h"
#include "base/checksum.h"
#include "host/host_files.h"
#include "host/progress.h"
#include "base/sector_math.h"

namespace {

TEST(Checksum, Crc16CheckValueAndEverySingleBitFlipOfABlock) {
  const std::string check = "123456789";
  EXPECT_EQ(vexo_Crc16({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0x31C3);
  std::vector<uint8_t> block = vexo_test::Pattern(512, 3);
  std::array<uint8_t, 2> crc{};
  mmc_Crc16(block, crc);  // high byte first: the block and its CRC divide to 0
  block.insert(block.end(), crc.begin(), crc.end());
  ASSERT_EQ(mmc_CheckCrc16(block, 514), 0);
  for (std::size_t bit = 0; bit < 514 * 8; ++bit) {
    block[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8));
    ASSERT_EQ(mmc_CheckCrc16(block, 514), VEXO_ERROR_PPA_WRONG_DATA_CRC16) << bit;
    block[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8));
  }
  EXPECT_EQ(mmc_CheckCrc16(block, 600), VEXO_ERROR_PPA_WRONG_DATA_CRC16);  // longer than the image
}

TEST(Checksum, Crc7OfCommandFramesAndResponses) {
  // CMD8 with argument 0x1AA is a widely published example: CRC byte 0x87.
  const struct { uint8_t index; uint32_t argument; uint8_t crcByte; } frames[] = {
      {0, 0, 0x95}, {2, 0, 0x4D}, {12, 0, 0x61}, {8, 0x1AA, 0x87}};
  for (const auto& c : frames) {
    CommandFrame frame = mmc_Frame(c.index, c.argument);
    mmc_SetCmdCrc(frame);
    EXPECT_EQ(frame[0], c.crcByte) << "CMD" << int{c.index};
    EXPECT_EQ(mmc_CheckCrc7(frame, 6), 0);
    for (std::size_t bit = 0; bit < 48; ++bit) {  // any flipped bit, the end bit too
      ResponseImage flipped = frame;
      flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_EQ(mmc_CheckCrc7(flipped, 6), VEXO_ERROR_PPA_WRONG_CMD_RESPONSE) << bit;
    }
  }
}

TEST(SharedRoutines, HostFileSize) {
  vexo_test::TempDir dir;
  EXPECT_EQ(GetMP3FileSize(dir.File("missing").c_str()), 0u);
  EXPECT_EQ(GetMP3FileSize(dir.path().c_str()), 0u);
  EXPECT_EQ(GetMP3FileSize(nullptr), 0u);
  EXPECT_EQ(GetMP3FileSize(dir.Write("a", vexo_test::Pattern(1234)).c_str()), 1234u);
  const std::string big = dir.File("big");  // sparse: no disk space is used
  for (const off_t length : {off_t{0xFFFFFFFF}, off_t{0x100000000}, off_t{0x100000200}}) {
    vexo_test::WriteFile(big, {});
    ASSERT_EQ(truncate(big.c_str(), length), 0);
    EXPECT_EQ(GetMP3FileSize(big.c_str()), 0xFFFFFFFFu) << length;
  }
}

TEST(SharedRoutines, ProgressPercent) {
  const struct { uint32_t index, total; int percent; } cases[] = {
      {0, 0, 0}, {20, 30, 66}, {29, 30, 96}, {30, 30, 100}, {29, 100, 29}, {0xFFFFFFFEu, 0xFFFFFFFFu, 99}};
  for (const auto& c : cases) EXPECT_EQ(vexo_ProgressPercent(c.index, c.total), c.percent) << c.index;
}

TEST(SharedRoutines, TransferRate) {
  EXPECT_EQ(vexo_TransferRate(10, 0, false), 40960.0f);  // under a second counts as one
  EXPECT_EQ(vexo_TransferRate(10, 0, true), 0.0f);
  EXPECT_EQ(vexo_TransferRate(10, 4, true), 10240.0f);
  // A card of 512 MiB or more: the bit count does not fit 32 bits.
  EXPECT_EQ(vexo_TransferRate(8388608, 2, false), 17179869184.0f);
}

// A host file that fails to read, or yields fewer bytes than measured (it
// shrank during the copy), fails the block instead of putting zeros on the card.
TEST(SharedRoutines, HostReadErrorsAreReportedNotTurnedIntoZeros) {
  vexo_test::TempDir dir;
  FILE* file = std::fopen(dir.File("w").c_str(), "wb");  // every read fails
  ASSERT_NE(file, nullptr);
  uint8_t block[SECTOR_SIZE];
  EXPECT_FALSE(vexo_ReadHostBlock(file, block, 0));
  std::fclose(file);
  const std::string path = dir.Write("song", vexo_test::Pattern(3000));
  uint32_t length = 0;
  ASSERT_EQ(vexo_OpenHostSource(path.c_str(), 1u << 20, &file, &length), 0);
  ASSERT_EQ(truncate(path.c_str(), 600), 0);
  EXPECT_TRUE(vexo_ReadHostBlock(file, block, vexo_BytesOfSector(0, 6, length)));
  EXPECT_FALSE(vexo_ReadHostBlock(file, block, vexo_BytesOfSector(1, 6, length)));
  std::fclose(file);
}

}  // namespace
