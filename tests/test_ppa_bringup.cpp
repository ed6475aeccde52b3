// Card bring-up and search of the parallel-port adapter driver against the
// simulated card: the identification script, capacity, power cycle, limits.
#include <gtest/gtest.h>

#include "ppa/mmc_cmd.h"
#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

class BringUp : public testing::Test {
 protected:
  void Install() { vexo_test::InstallPoweredCard(config_); }
  void SetUp() override { Install(); }
  void TearDown() override { mmcsim_Remove(); }
  MmcSimConfig config_;
};

RegisterImage Csd(uint32_t readBlLen, uint32_t cSizeMult, uint32_t cSize) {
  RegisterImage csd{};
  csd[10] = static_cast<uint8_t>(0x50 | readBlLen);  // high nibble: other fields
  csd[9] = static_cast<uint8_t>(0xFC | (cSize >> 10));
  csd[8] = static_cast<uint8_t>(cSize >> 2);
  csd[7] = static_cast<uint8_t>(((cSize & 3u) << 6) | 0x3F);
  csd[6] = static_cast<uint8_t>(0xFC | (cSizeMult >> 1));
  csd[5] = static_cast<uint8_t>(((cSizeMult & 1u) << 7) | 0x7F);
  return csd;
}

TEST(CardCapacity, DecodedFromTheCsdFieldsIn64Bits) {
  EXPECT_EQ(mmc_CardCapacity(Csd(9, 7, 506)), 132907008u);
  EXPECT_EQ(mmc_CardCapacity(Csd(9, 7, 0x1FB)), 512u * 512u * 508u);
  EXPECT_EQ(mmc_CardCapacity(Csd(9, 0, 0)), 512u * 4u);
  EXPECT_EQ(mmc_CardCapacity(Csd(11, 7, 2047)), 1ull << 31);
  EXPECT_EQ(mmc_CardCapacity(Csd(15, 7, 4095)), 1ull << 36);
}

TEST_F(BringUp, ScriptOfCommandsAndCapacity) {
  EXPECT_EQ(ppa_InitCard(), 132907008);
  const std::vector<MmcSimCommand>& log = mmcsim_CommandLog();
  std::vector<int> indexes;
  for (const MmcSimCommand& c : log) indexes.push_back(c.index);
  EXPECT_EQ(indexes, (std::vector<int>{0, 1, 1, 1, 1, 2, 3, 9, 7, 16}));
  EXPECT_EQ(log[1].argument, OCR_WINDOW);
  EXPECT_EQ(log[6].argument, 0x10000u);  // RCA 1
  EXPECT_EQ(log[9].argument, 512u);
  EXPECT_EQ(ppa_CardId()[15], 0x56);
  EXPECT_EQ(mmcsim_Counters().badTokens, 0u);
  EXPECT_EQ(mmcsim_Counters().conflicts, 0u);
}

TEST_F(BringUp, OtherCapacitiesUpTo2GiBMinusOne) {
  config_.capacityBytes = 1ull << 30;
  Install();
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), 0);
  EXPECT_EQ(size, 1u << 30);
  config_.capacityBytes = (1ull << 31) - (1ull << 20);  // largest below 2 GiB: 2^11 x 2^9 x 2047
  Install();
  EXPECT_EQ(ppa_Search(&size, 5), 0);
  EXPECT_EQ(size, 2048u * 512u * 2047u);
}

TEST_F(BringUp, CardOf2GiBOrMoreIsRefusedNotWrapped) {
  for (const uint64_t bytes : {1ull << 31, 1ull << 32, 1ull << 36}) {
    config_.capacityBytes = bytes;
    Install();
    ASSERT_EQ(mmcsim_CapacityBytes(), bytes);
    uint32_t size = 12345;
    EXPECT_EQ(ppa_Search(&size, 5), -VEXO_ERROR_CARD_TOO_LARGE) << bytes;
    EXPECT_EQ(size, 12345u) << "the size is stored only on success";
    EXPECT_EQ(mmcsim_Counters().bringUps, 1u) << "no retry can change the size";
  }
}

TEST_F(BringUp, NeverReadyGivesTimeoutAfter1001Cmd1) {
  mmcsim_Faults()->neverReady = true;
  EXPECT_EQ(ppa_InitCard(), -VEXO_ERROR_PPA_TIMEOUT);
  EXPECT_EQ(mmcsim_Counters().commands[1], 1001u);
  EXPECT_EQ(mmcsim_Counters().commands[2], 0u);
}

TEST_F(BringUp, NoCardGives21AtTheFirstCmd1) {
  mmcsim_Faults()->noCard = true;
  EXPECT_EQ(ppa_InitCard(), -VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  EXPECT_EQ(mmcsim_Counters().wireCommands[0], 1u);
  EXPECT_EQ(mmcsim_Counters().wireCommands[1], 1u);
  EXPECT_EQ(mmcsim_Counters().wireCommands[2], 0u);
}

TEST_F(BringUp, MissingCidGives30) {
  mmcsim_Faults()->noCidResponse = true;
  EXPECT_EQ(ppa_InitCard(), -VEXO_ERROR_PPA_WARN_NO_CID_RESPONSE);
}

TEST_F(BringUp, SearchWithoutCardTriesFiveTimesAndDoesNotCyclePower) {
  mmcsim_Faults()->noCard = true;
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), -VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  EXPECT_EQ(mmcsim_Counters().wireCommands[0], 5u);
  EXPECT_EQ(mmcsim_Counters().wireCommands[1], 5u);
  EXPECT_EQ(mmcsim_Counters().controlWrites, 0u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 0u);
}

TEST_F(BringUp, SearchOfANeverReadyCardCyclesPowerOnceMore) {
  mmcsim_Faults()->neverReady = true;
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), -VEXO_ERROR_PPA_TIMEOUT);
  const MmcSimCounters& c = mmcsim_Counters();
  EXPECT_EQ(c.bringUps, 6u);
  EXPECT_EQ(c.commands[1], 6u * 1001u);
  EXPECT_EQ(c.controlWrites, 2u);  // supply off (0x0), power-up (0x4)
  EXPECT_EQ(c.lastControl, 0x04);
  EXPECT_EQ(c.powerUps, 1u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 30u);
}

TEST_F(BringUp, PowerCycleRescuesACardThatGetsReady) {
  mmcsim_Faults()->neverReady = true;
  // The card recovers once its supply was cut: the sixth bring-up decides.
  struct Recover {
    static void Wait() { mmcsim_Faults()->neverReady = false; }
  };
  ppa_SetPowerUpWaitHook(Recover::Wait);
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), 0);
  EXPECT_EQ(size, 132907008u);
  EXPECT_EQ(mmcsim_Counters().bringUps, 6u);
}

TEST_F(BringUp, CardThatAnswersLateIsFoundOnALaterTry) {
  mmcsim_Faults()->noCard = true;
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 1), -VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  mmcsim_InsertCard();
  ppa_Power(1);
  EXPECT_EQ(ppa_Search(&size, 5), 0);
  EXPECT_EQ(size, 132907008u);
}

}  // namespace
