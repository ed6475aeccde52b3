// CRC7 and CRC16 of the MMC bus against known check values.
#include <gtest/gtest.h>

#include <string>

#include "ppa/crc.h"
#include "ppa/mmc_cmd.h"
#include "support/test_support.h"
#include "transport/vexo_types.h"

namespace {

TEST(Crc7, CommandFramesCarryTheKnownCheckBytes) {
  // CMD8 with argument 0x1AA is a widely published example: CRC byte 0x87.
  const struct {
    uint8_t index;
    uint32_t argument;
    uint8_t crcByte;
  } cases[] = {{0, 0, 0x95}, {2, 0, 0x4D}, {12, 0, 0x61}, {8, 0x1AA, 0x87}};
  for (const auto& c : cases) {
    CommandFrame frame = mmc_Frame(c.index, c.argument);
    mmc_SetCmdCrc(frame);
    EXPECT_EQ(frame[0], c.crcByte) << "CMD" << int{c.index};
  }
}

TEST(Crc7, FrameHoldsIndexAndArgumentInReverseWireOrder) {
  const CommandFrame frame = mmc_Frame(18, 0x12345678);
  EXPECT_EQ(frame[5], 0x52);
  EXPECT_EQ(frame[4], 0x12);
  EXPECT_EQ(frame[3], 0x34);
  EXPECT_EQ(frame[2], 0x56);
  EXPECT_EQ(frame[1], 0x78);
}

TEST(Crc7, CheckFailsOnAnyWrongBitAndOnAMissingEndBit) {
  ResponseImage image = mmc_Frame(3, 0x00010000);
  mmc_SetCmdCrc(image);
  EXPECT_EQ(mmc_CheckCrc7(image, 6), 0);
  ResponseImage noEnd = image;
  noEnd[0] &= 0xFE;
  EXPECT_EQ(mmc_CheckCrc7(noEnd, 6), VEXO_ERROR_PPA_WRONG_CMD_RESPONSE);
  for (std::size_t byte = 1; byte < 6; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      ResponseImage flipped = image;
      flipped[byte] ^= static_cast<uint8_t>(1u << bit);
      EXPECT_EQ(mmc_CheckCrc7(flipped, 6), VEXO_ERROR_PPA_WRONG_CMD_RESPONSE) << byte << ":" << bit;
    }
  }
}

TEST(Crc7, RegisterImageCoversBytes15To1Only) {
  std::array<uint8_t, 16> reg{};
  for (std::size_t i = 0; i < reg.size(); ++i) reg[i] = static_cast<uint8_t>(i * 17 + 3);
  mmc_SetRegisterCrc(reg);
  std::array<uint8_t, 17> response{};
  std::copy(reg.begin(), reg.end(), response.begin());
  response[16] = 0x3F;  // start, transmission and reserved bits: not covered
  EXPECT_EQ(mmc_CheckCrc7(response, 16), 0);
  response[16] = 0x00;
  EXPECT_EQ(mmc_CheckCrc7(response, 16), 0);
  response[15] ^= 0x80;
  EXPECT_EQ(mmc_CheckCrc7(response, 16), VEXO_ERROR_PPA_WRONG_CMD_RESPONSE);
}

TEST(Crc16, XmodemCheckValue) {
  const std::string text = "123456789";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  EXPECT_EQ(mmc_Crc16Value(bytes), 0x31C3);
  std::array<uint8_t, 2> out{};
  mmc_Crc16(bytes, out);
  EXPECT_EQ(out[0], 0x31);
  EXPECT_EQ(out[1], 0xC3);
}

TEST(Crc16, BlockWithItsCrcPassesAndEverySingleBitFlipFails) {
  std::vector<uint8_t> block = vexo_test::Pattern(512, 3);
  std::array<uint8_t, 2> crc{};
  mmc_Crc16(block, crc);
  block.push_back(crc[0]);
  block.push_back(crc[1]);
  ASSERT_EQ(mmc_CheckCrc16(block, 514), 0);
  for (std::size_t bit = 0; bit < 514 * 8; ++bit) {
    block[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8));
    ASSERT_EQ(mmc_CheckCrc16(block, 514), VEXO_ERROR_PPA_WRONG_DATA_CRC16) << bit;
    block[bit / 8] ^= static_cast<uint8_t>(0x80u >> (bit % 8));
  }
  EXPECT_EQ(mmc_CheckCrc16(block, 600), VEXO_ERROR_PPA_WRONG_DATA_CRC16);  // longer than the image
}

}  // namespace
