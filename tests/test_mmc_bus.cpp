// MMC bus framing against the simulated card: response windows, data start
// and busy limits, CRC status tokens, and the commands' own rules.
#include <gtest/gtest.h>

#include "ppa/lpt.h"
#include "ppa/mmc_cmd.h"
#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

class PoweredCard : public testing::Test {
 protected:
  void Install() { vexo_test::InstallPoweredCard(config_); }
  void SetUp() override { Install(); }
  void TearDown() override { mmcsim_Remove(); }
  // Takes the card from idle to transfer state by hand.
  void Select() {
    ASSERT_GT(ppa_InitCard(), 0);
    ASSERT_STREQ(mmcsim_State(), "tran");
    mmcsim_ResetCounters();
  }
  void ToIdleWithCmd1Ready() {
    config_.cmd1BusyResponses = 0;
    Install();
    mmc_cmd0();
  }
  MmcSimConfig config_;
  ResponseImage response_{};
};

TEST_F(PoweredCard, OrdinaryResponsesAreTakenAnywhereFromSample2To64) {
  for (const int latency : {2, 3, 33, 64}) {
    config_.responseLatency = latency;
    Install();
    EXPECT_GT(ppa_InitCard(), 0) << latency;
    EXPECT_EQ(mmc_cmd12(response_), VEXO_ERROR_PPA_NO_CARD_RESPONSE) << "illegal in tran";
    EXPECT_EQ(mmcsim_Counters().illegalCommands, 1u);
    EXPECT_EQ(vexo_test::TakeCardDepartures(), 1u);
  }
}

TEST_F(PoweredCard, ResponseAfterSample64IsNotSeen) {
  config_.responseLatency = 65;
  config_.cmd1BusyResponses = 0;
  Install();
  ASSERT_EQ(mmc_cmd0(), 0);
  uint32_t ocr = 0;
  // CMD1 answers on its own sample; CMD3 then misses its window.
  ASSERT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), 0);
  RegisterImage cid{};
  ASSERT_EQ(mmc_cmd2(cid), 0);
  EXPECT_EQ(mmc_cmd3(CARD_RCA, response_), VEXO_ERROR_PPA_NO_CARD_RESPONSE);
}

TEST_F(PoweredCard, LowCmdOnSample1IsIgnoredSoAnEarlyResponseIsMisframed) {
  config_.responseLatency = 1;
  config_.cmd1BusyResponses = 0;
  Install();
  mmc_cmd0();
  uint32_t ocr = 0;
  mmc_cmd1(OCR_WINDOW, response_, &ocr);
  RegisterImage cid{};
  ASSERT_EQ(mmc_cmd2(cid), 0);
  // The start bit on sample 1 is skipped; the transmission bit (also low)
  // on sample 2 is taken as the start, so the image is off by one bit.
  EXPECT_EQ(mmc_cmd3(CARD_RCA, response_), VEXO_ERROR_PPA_WRONG_CMD_RESPONSE);
}

TEST_F(PoweredCard, Cmd1OnlyOnTheSixthSample) {
  uint32_t ocr = 0;
  config_.identLatency = 6;
  Install();
  mmc_cmd0();
  const uint64_t before = mmcsim_Counters().clocks;
  EXPECT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  // 48 command clocks, 6 samples, 2 idle clocks: 8 clocks after the token.
  EXPECT_EQ(mmcsim_Counters().clocks - before, 48u + 8u);
  config_.identLatency = 5;
  Install();
  mmc_cmd0();
  EXPECT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), 0);
  EXPECT_EQ(ocr & OCR_READY_BIT, 0u);  // still powering up
  EXPECT_EQ(ocr & OCR_WINDOW, OCR_WINDOW);
}

TEST_F(PoweredCard, Cmd2WithoutResponseGives30AndWithResponseAValidCid) {
  ToIdleWithCmd1Ready();
  uint32_t ocr = 0;
  ASSERT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), 0);
  ASSERT_NE(ocr & OCR_READY_BIT, 0u);
  mmcsim_Faults()->noCidResponse = true;
  RegisterImage cid{};
  EXPECT_EQ(mmc_cmd2(cid), VEXO_ERROR_PPA_WARN_NO_CID_RESPONSE);
  mmcsim_Faults()->noCidResponse = false;
  ASSERT_EQ(mmc_cmd2(cid), 0);
  EXPECT_EQ(cid[15], 0x56);  // manufacturer byte of the simulated card
  EXPECT_EQ(cid[16], 0x3F);
}

TEST_F(PoweredCard, Cmd7WithRca0IsAlwaysSuccess) {
  mmcsim_Faults()->noCard = true;
  EXPECT_EQ(mmc_cmd7(0, response_), 0);
  EXPECT_EQ(mmc_cmd7(CARD_RCA, response_), VEXO_ERROR_PPA_NO_CARD_RESPONSE);
}

TEST_F(PoweredCard, Cmd16KeepsARefusedLength) {
  Select();
  EXPECT_EQ(mmc_cmd16(1024, response_), 0);  // answered, with the error bit
  EXPECT_EQ(mmc_BlockLen(), 1024u);
  EXPECT_NE(response_[4] & 0x20u, 0u);  // BLOCK_LEN_ERROR, status bit 29
  EXPECT_EQ(mmcsim_BlockLength(), 512u);
  // A block the caller's buffer cannot hold is never received into it.
  SectorBuffer buffer{};
  EXPECT_EQ(mmc_cmd18_Data(buffer), VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  mmc_cmd16(512, response_);
}

TEST_F(PoweredCard, DataStartBitLimit) {
  Select();
  SectorBuffer buffer{};
  DataRxState rx;
  const uint64_t before = mmcsim_Counters().clocks;
  EXPECT_EQ(mmc_GetData(buffer, 514, rx), VEXO_ERROR_PPA_NO_DAT_START_BIT);
  EXPECT_EQ(mmcsim_Counters().clocks - before, 1500002u);
}

TEST_F(PoweredCard, BlockWithBadCrcGives25) {
  Select();
  mmcsim_SetReadCrcError(7, 1);
  SectorBuffer buffer{};
  ASSERT_EQ(mmc_cmd18_(7 * 512, response_, buffer), 0);
  EXPECT_EQ(mmc_cmd18_Data(buffer), VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmc_cmd18_Data(buffer), 0);  // sector 8 follows back to back
  EXPECT_EQ(mmc_cmd12(response_), 0);
  EXPECT_STREQ(mmcsim_State(), "tran");
}

TEST_F(PoweredCard, CrcStatusTokenRejectedGives25) {
  Select();
  mmcsim_SetWriteCrcReject(9, 1);
  SectorBuffer buffer{};
  ASSERT_EQ(mmc_cmd25_(9 * 512, response_), 0);
  EXPECT_EQ(mmc_cmd25_Data(buffer), VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmcsim_Counters().blocksRejected, 1u);
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 0u);
}

TEST_F(PoweredCard, BusyLimitCountsSamples) {
  Select();
  mmcsim_Faults()->busyForever = true;
  SectorBuffer buffer{};
  ASSERT_EQ(mmc_cmd25_(3 * 512, response_), 0);
  BitPacker packer;
  ASSERT_EQ(mmc_PutData(std::span<const uint8_t>(buffer).first(512), {}, packer), 0);
  // Without its CRC the block is refused: the token says so, no busy follows.
  EXPECT_EQ(mmc_GetCrcStatus(), VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmc_WaitBusy(0, 1), VEXO_ERROR_PPA_BSY_TIMEOUT);
  EXPECT_EQ(mmc_WaitBusy(100, 0), 0);

  Select();
  ASSERT_EQ(mmc_cmd25_(3 * 512, response_), 0);
  const uint64_t before = mmcsim_Counters().clocks;
  EXPECT_EQ(mmc_cmd25_Data(buffer), VEXO_ERROR_PPA_BSY_TIMEOUT);
  // start, 4096 + 16 bits, end, 2 idle, 5 token samples, then the full limit.
  EXPECT_EQ(mmcsim_Counters().clocks - before,
            2u + 1u + 4112u + 1u + 2u + 5u + static_cast<uint64_t>(MMC_BUSY_LIMIT));
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 1u);
}

TEST_F(PoweredCard, TokensWithoutSupplyOrBeforePowerUpClocksAreIgnored) {
  lpt_WriteControl(255);  // supply off
  EXPECT_STREQ(mmcsim_State(), "off");
  lpt_WriteControl(251);  // on again, but no power-up clocks yet
  mmc_cmd0();
  EXPECT_EQ(mmcsim_Counters().bringUps, 0u) << "CMD0 fell into the first 74 clocks";
  uint32_t ocr = 0;
  // The card starts listening in the middle of this token: no response.
  EXPECT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  lpt_Clocks(74);
  mmc_cmd0();
  EXPECT_EQ(mmcsim_Counters().bringUps, 1u);
  EXPECT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), 0);
  EXPECT_EQ(vexo_test::TakeCardDepartures(), 1u) << "the cut-off CMD1 is a bad token";
}

}  // namespace
