// The adapter's registers: port table, permission refusal, the complement
// convention, paired status reads and the power sequence, checked through
// the simulated adapter's register trace and counters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ppa/lpt.h"
#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

int g_waits = 0;
void CountWait() { ++g_waits; }

// Collects the register trace in memory once a test starts it.
class TracedAdapter : public testing::Test {
 protected:
  void SetUp() override {
    g_waits = 0;
    ppa_SetPowerUpWaitHook(CountWait);
    mmcsim_InstallMemoryCard(MmcSimConfig{});
    lpt_SelectPort(1);
  }
  void TearDown() override {
    trace_.reset();
    mmcsim_Remove();
  }
  void StartTrace() { trace_ = std::make_unique<vexo_test::AdapterTrace>(); }
  std::vector<std::string> Lines() { return trace_->Lines(); }
  std::unique_ptr<vexo_test::AdapterTrace> trace_;
};

TEST(LptPorts, TableRowsAndLp0AliasOfLp1) {
  mmcsim_InstallMemoryCard(MmcSimConfig{});
  const uint16_t expected[5][3] = {{0x378, 0x379, 0x37A}, {0x378, 0x379, 0x37A}, {0x278, 0x279, 0x27A},
                                   {0x3BC, 0x3BD, 0x3BE}, {0x2BC, 0x2BD, 0x2BE}};
  for (int lp = 0; lp < 5; ++lp) {
    lpt_SelectPort(lp);
    EXPECT_EQ(lpt_DataPort(), expected[lp][0]) << lp;
    EXPECT_EQ(lpt_StatusPort(), expected[lp][1]) << lp;
    EXPECT_EQ(lpt_ControlPort(), expected[lp][2]) << lp;
  }
  mmcsim_Remove();
}

TEST(LptPortsDeathTest, RefusedPermissionPrintsTwoLinesAndExits255) {
  mmcsim_InstallMemoryCard(MmcSimConfig{});
  mmcsim_Faults()->refuseAccess = true;
  EXPECT_EXIT(lpt_SelectPort(2), testing::ExitedWithCode(255),
              "^Could not get permission for parport 0x278\n"
              "Either the port is in use or I am not running as root\\.\\.\\.\n$");
  EXPECT_EXIT(lpt_SelectPort(3), testing::ExitedWithCode(255), "parport 0x3bc\n");
  mmcsim_Remove();
  // No adapter at all (as on this machine): refused the same way.
  EXPECT_EXIT(ppa_Open(4), testing::ExitedWithCode(255), "parport 0x2bc\n");
}

TEST_F(TracedAdapter, RegistersSeeTheComplementOfLogicalValues) {
  StartTrace();
  lpt_WriteData(0x7F);
  lpt_WriteData(0xFA);
  lpt_WriteControl(255);
  lpt_WriteControl(251);
  lpt_WriteControl(3);
  lpt_WriteControl(1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"data W 0x80", "data W 0x05", "control W 0x00",
                                               "control W 0x04", "control W 0x0c", "control W 0x0e"}));
}

TEST_F(TracedAdapter, ClockSampleWritesLowHalfReadsPairWritesHighHalf) {
  StartTrace();
  uint8_t status = 0;
  lpt_ClockSample(&status);
  lpt_Clocks(2);
  lpt_Clocks(0);
  lpt_Clocks(-3);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "data W 0x80");
  EXPECT_EQ(lines[1].substr(0, 9), "status R ");
  EXPECT_EQ(lines[2], lines[1]);
  EXPECT_EQ(lines[3], "data W 0x00");
  EXPECT_EQ(lines[4], "data W 0x80");
  EXPECT_EQ(lines[5], "data W 0x00");
  // Released lines with no card driving: CMD and DAT read high.
  EXPECT_EQ(status & (CMD_IN_BIT | DAT_IN_BIT), CMD_IN_BIT | DAT_IN_BIT);
}

TEST_F(TracedAdapter, StatusPairsThatDisagreeAreReadAgain) {
  mmcsim_Faults()->statusGlitchEvery = 3;  // reads 3, 6, 9 ... come back flipped
  uint64_t before = mmcsim_Counters().statusReads;
  uint8_t status = 0;
  lpt_ReadStatus(&status);  // pair (1,2) agrees
  EXPECT_EQ(mmcsim_Counters().statusReads - before, 2u);
  EXPECT_EQ(status & (CMD_IN_BIT | DAT_IN_BIT), CMD_IN_BIT | DAT_IN_BIT);
  before = mmcsim_Counters().statusReads;
  lpt_ReadStatus(&status);  // pair (3,4) differs, pair (5,6) differs, pair (7,8) agrees
  EXPECT_EQ(mmcsim_Counters().statusReads - before, 6u);
  EXPECT_EQ(status & (CMD_IN_BIT | DAT_IN_BIT), CMD_IN_BIT | DAT_IN_BIT);
}

TEST_F(TracedAdapter, PowerOffWritesOneDataByteOnly) {
  StartTrace();
  EXPECT_EQ(ppa_Power(0), 0);
  EXPECT_EQ(ppa_Power(2), 0);  // anything but 1 is off
  EXPECT_EQ(Lines(), (std::vector<std::string>{"data W 0x83", "data W 0x83"}));
  EXPECT_EQ(g_waits, 0);
}

TEST_F(TracedAdapter, PowerOnSequenceRegisterValues) {
  StartTrace();
  EXPECT_EQ(ppa_Power(1), 0);
  EXPECT_EQ(g_waits, 1);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u + 20000u);
  EXPECT_EQ(lines[0], "data W 0x83");
  EXPECT_EQ(lines[1], "control W 0x04");
  for (std::size_t i = 2; i < lines.size(); i += 2) {
    ASSERT_EQ(lines[i], "data W 0x80") << i;
    ASSERT_EQ(lines[i + 1], "data W 0x00") << i;
  }
  EXPECT_EQ(mmcsim_Counters().powerUps, 1u);
}

TEST_F(TracedAdapter, OpenSelectsThePortAndPowersTheCard) {
  mmcsim_ResetCounters();
  EXPECT_EQ(ppa_Open(2), 0);
  EXPECT_EQ(lpt_DataPort(), 0x278);
  EXPECT_EQ(g_waits, 1);
  EXPECT_EQ(mmcsim_Counters().clocks, 10000u);
  EXPECT_EQ(mmcsim_Counters().strayAccesses, 0u);
  EXPECT_STREQ(mmcsim_State(), "idle");
  ppa_Close();
  EXPECT_EQ(mmcsim_Counters().dataWrites, 1u + 20000u + 1u);
  EXPECT_EQ(mmcsim_Counters().controlWrites, 1u);
}

}  // namespace
