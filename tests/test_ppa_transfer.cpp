// Sector and file transfers of the parallel-port adapter driver against the
// simulated card: retries, pauses, counters, rates and the host-file contract.
#include <gtest/gtest.h>

#include <string>

#include "ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "transport/shared.h"

namespace {

std::time_t g_fakeNow = 0;
std::time_t g_fakeStep = 0;
std::time_t FakeClock() {
  const std::time_t now = g_fakeNow;
  g_fakeNow += g_fakeStep;
  return now;
}

class SimulatedCard : public testing::Test {
 protected:
  void SetUp() override {
    vexo_test::UseNoAdapterWaits();
    ppa_SetTimeSource(nullptr);
    mmcsim_InstallMemoryCard(MmcSimConfig{});
    ASSERT_EQ(ppa_Open(1), 0);
    uint32_t size = 0;
    ASSERT_EQ(ppa_Search(&size, 5), 0);
    ASSERT_EQ(size, 132907008u);
    mmcsim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
  }
  void TearDown() override {
    ppa_SetTimeSource(nullptr);
    mmcsim_Remove();
  }
  static std::vector<uint8_t> CardBytes(uint32_t sector, uint32_t count) {
    std::vector<uint8_t> bytes(static_cast<std::size_t>(count) * 512);
    for (uint32_t i = 0; i < count; ++i) mmcsim_ReadSector(sector + i, bytes.data() + i * 512);
    return bytes;
  }
  static void PutCard(uint32_t sector, const std::vector<uint8_t>& bytes) {
    for (std::size_t i = 0; i * 512 < bytes.size(); ++i) {
      mmcsim_WriteSector(sector + static_cast<uint32_t>(i), bytes.data() + i * 512);
    }
  }
  // Card sectors named by the commands of this index, in order.
  static std::vector<uint32_t> CommandSectors(int index) {
    std::vector<uint32_t> sectors;
    for (const MmcSimCommand& c : mmcsim_CommandLog()) {
      if (c.index == index) sectors.push_back(c.argument / 512);
    }
    return sectors;
  }
  std::string HostFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir_.File(name);
    vexo_test::WriteFile(path, bytes);
    return path;
  }
  vexo_test::TempDir dir_;
};

TEST_F(SimulatedCard, SectorWrittenAndReadBackThroughTheBus) {
  const std::vector<uint8_t> pattern = vexo_test::Pattern(512, 7);
  SectorBuffer out = vexo_test::ToSector(pattern);
  ASSERT_EQ(ppa_WriteSectorFirstRtr(1, 200, out, 4), 0);
  EXPECT_EQ(CardBytes(200, 1), pattern);
  // The write stays open: the read's first CMD18 meets a receiving card and
  // goes unanswered; the retry's bring-up recovers.
  SectorBuffer in{};
  ASSERT_EQ(ppa_ReadSectorRtr(1, 200, in, 4), 0);
  EXPECT_EQ(vexo_test::DataOf(in), pattern);
  EXPECT_STREQ(mmcsim_State(), "tran");
  EXPECT_EQ(mmcsim_Counters().conflicts, 0u);
}

TEST_F(SimulatedCard, ReadOfAPermanentCrcErrorMakesFourAttempts) {
  mmcsim_SetReadCrcError(300, -1);
  SectorBuffer buffer{};
  EXPECT_EQ(ppa_ReadSectorRtr(1, 300, buffer, 4), -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmcsim_Counters().commands[18], 4u);
  EXPECT_EQ(mmcsim_Counters().bringUps, 4u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 8u * 5u);
}

TEST_F(SimulatedCard, ReadSucceedsWhenTheStopCommandIsIgnored) {
  const std::vector<uint8_t> pattern = vexo_test::Pattern(512, 9);
  PutCard(40, pattern);
  mmcsim_Faults()->noStopResponse = true;
  SectorBuffer buffer{};
  EXPECT_EQ(ppa_ReadSectorRtr(1, 40, buffer, 4), 0);
  EXPECT_EQ(vexo_test::DataOf(buffer), pattern);
  EXPECT_EQ(mmcsim_Counters().bringUps, 0u);
}

TEST_F(SimulatedCard, RunOfSectorsIsOneMultipleBlockWriteRestartedAtAFailure) {
  mmcsim_SetWriteCrcReject(12, 1);
  std::vector<uint8_t> expected;
  for (uint32_t s = 10; s < 15; ++s) {
    const std::vector<uint8_t> pattern = vexo_test::Pattern(512, s);
    SectorBuffer buffer = vexo_test::ToSector(pattern);
    const VexoResult result = s == 10 ? ppa_WriteSectorFirstRtr(1, s, buffer, 4)
                                      : ppa_WriteSectorNextRtr(1, s, buffer, 4);
    ASSERT_EQ(result, 0) << s;
    expected.insert(expected.end(), pattern.begin(), pattern.end());
  }
  EXPECT_EQ(CardBytes(10, 5), expected);
  EXPECT_EQ(CommandSectors(25), (std::vector<uint32_t>{10, 12}));
  EXPECT_EQ(mmcsim_Counters().bringUps, 1u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 5u + 1u);
}

TEST_F(SimulatedCard, FirstSectorWriteRetriesWithLongPauses) {
  mmcsim_SetWriteCrcReject(3, -1);
  SectorBuffer buffer{};
  EXPECT_EQ(ppa_WriteSectorFirstRtr(1, 3, buffer, 4), -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmcsim_Counters().commands[25], 4u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 4u * 20u);
}

TEST_F(SimulatedCard, FileWriteRetryResendsTheCommandAtTheFailingSector) {
  const std::vector<uint8_t> data = vexo_test::Pattern(40 * 512 + 100, 5);
  mmcsim_SetWriteCrcReject(128 + 17, 2);
  ASSERT_EQ(ppa_WriteFile(1, 128, HostFile("a.mp3", data).c_str(), 0xFFFFFFFFu, 0, 0), 0);
  EXPECT_EQ(CommandSectors(25), (std::vector<uint32_t>{128, 145, 145}));
  std::vector<uint8_t> expected = data;
  expected.resize(41 * 512, 0);  // the last sector's tail is zero
  EXPECT_EQ(CardBytes(128, 41), expected);
  EXPECT_EQ(ppa_GetCurrentSector(), 128u + 40u);
  EXPECT_EQ(ppa_GetProgress(), 100);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 2u * 6u);
}

TEST_F(SimulatedCard, FileWriteGivesUpAfterThreeRetries) {
  const std::vector<uint8_t> data = vexo_test::Pattern(5 * 512, 6);
  mmcsim_SetWriteCrcReject(502, -1);
  EXPECT_EQ(ppa_WriteFile(1, 500, HostFile("a.mp3", data).c_str(), 0xFFFFFFFFu, 0, 0),
            -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(CommandSectors(25), (std::vector<uint32_t>{500, 502, 502, 502}));
  EXPECT_EQ(ppa_GetCurrentSector(), 501u);
  EXPECT_EQ(CardBytes(500, 2), std::vector<uint8_t>(data.begin(), data.begin() + 1024));
}

TEST_F(SimulatedCard, OneByteFileWritesOneSectorWithOneProgressLine) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(ppa_WriteFile(1, 777, HostFile("one", {0xAB}).c_str(), 0xFFFFFFFFu, 1, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " 0 / 1 (0%) \r");
  std::vector<uint8_t> expected(512, 0);
  expected[0] = 0xAB;
  EXPECT_EQ(CardBytes(777, 1), expected);
  EXPECT_EQ(ppa_GetCurrentSector(), 777u);
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 1u);
}

TEST_F(SimulatedCard, ProgressLinesEveryTenthSectorAndTruncation) {
  const std::vector<uint8_t> data = vexo_test::Pattern(40 * 512, 8);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ppa_WriteFile(1, 128, HostFile("big", data).c_str(), 30 * 512 - 7, 1, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " - File size truncated to card space left -\n  0 / 30 (0%) \r 10 / 30 (33%) \r"
            " 20 / 30 (66%) \r");
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 30u);
  EXPECT_EQ(CardBytes(128, 30), std::vector<uint8_t>(data.begin(), data.begin() + 30 * 512));
}

TEST_F(SimulatedCard, SameOffsetCopiesHostByteBToCardByteB) {
  const std::vector<uint8_t> data = vexo_test::Pattern(8 * 512, 2);
  ASSERT_EQ(ppa_WriteFile(1, 3, HostFile("raw", data).c_str(), 0xFFFFFFFFu, 0, 1), 0);
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 5u);
  EXPECT_EQ(CardBytes(3, 5), std::vector<uint8_t>(data.begin() + 3 * 512, data.end()));
}

TEST_F(SimulatedCard, FileWriteHostFileErrors) {
  EXPECT_EQ(ppa_WriteFile(1, 128, dir_.File("missing").c_str(), 1000, 0, 0), -VEXO_ERROR_FILE_SIZE_ZERO);
  EXPECT_EQ(ppa_WriteFile(1, 128, HostFile("empty", {}).c_str(), 1000, 0, 0), -VEXO_ERROR_FILE_SIZE_ZERO);
  EXPECT_EQ(mmcsim_Counters().commands[25], 0u);
}

TEST_F(SimulatedCard, RatesFromTheElapsedWholeSeconds) {
  ppa_SetTimeSource(FakeClock);
  const std::string path = HostFile("r", vexo_test::Pattern(20 * 512, 1));
  g_fakeStep = 10;
  ASSERT_EQ(ppa_WriteFile(1, 128, path.c_str(), 0xFFFFFFFFu, 0, 0), 0);
  EXPECT_FLOAT_EQ(ppa_GetTransferRate(), 20.0f * 4096.0f / 10.0f);
  ppa_InitCard();
  g_fakeStep = 0;
  ASSERT_EQ(ppa_ReadFile(1, 128, 20 * 512, dir_.File("back").c_str(), 0), 0);
  EXPECT_FLOAT_EQ(ppa_GetTransferRate(), 20.0f * 4096.0f);
}

TEST_F(SimulatedCard, ReadFileWritesExactlyTheLengthAndEndsWithStop) {
  const std::vector<uint8_t> data = vexo_test::Pattern(1024, 4);
  PutCard(600, data);
  const std::string path = dir_.File("out");
  testing::internal::CaptureStdout();
  ASSERT_EQ(ppa_ReadFile(1, 600, 1000, path.c_str(), 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " 0 / 2 (0%) \r");
  EXPECT_EQ(vexo_test::ReadFile(path), std::vector<uint8_t>(data.begin(), data.begin() + 1000));
  ASSERT_FALSE(mmcsim_CommandLog().empty());
  EXPECT_EQ(mmcsim_CommandLog().back().index, 12);
  EXPECT_STREQ(mmcsim_State(), "tran");
  EXPECT_EQ(ppa_GetProgress(), 100);
}

TEST_F(SimulatedCard, ReadFileRetriesABadBlockAtItsSector) {
  const std::vector<uint8_t> data = vexo_test::Pattern(30 * 512, 11);
  PutCard(1000, data);
  mmcsim_SetReadCrcError(1013, 1);
  const std::string path = dir_.File("out");
  ASSERT_EQ(ppa_ReadFile(1, 1000, static_cast<uint32_t>(data.size()), path.c_str(), 0), 0);
  EXPECT_EQ(vexo_test::ReadFile(path), data);
  EXPECT_EQ(CommandSectors(18), (std::vector<uint32_t>{1000, 1013}));
  EXPECT_EQ(vexo_DelayUnitsTotal(), 6u);
}

TEST_F(SimulatedCard, ReadFileFailuresCloseAndZeroTheCounters) {
  mmcsim_SetReadCrcError(50, -1);
  const std::string path = dir_.File("out");
  EXPECT_EQ(ppa_ReadFile(1, 48, 5 * 512, path.c_str(), 0), -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(ppa_GetProgress(), 0);
  EXPECT_EQ(vexo_test::ReadFile(path).size(), 2u * 512u);
  EXPECT_EQ(ppa_ReadFile(1, 0, 512, dir_.File("no/such/dir").c_str(), 0), -VEXO_ERROR_FILE_CREATE);
}

TEST_F(SimulatedCard, ReadFileIntoAFullDeviceReportsFileWrite) {
  EXPECT_EQ(ppa_ReadFile(1, 0, 64 * 512, "/dev/full", 0), -VEXO_ERROR_FILE_WRITE);
  EXPECT_STREQ(mmcsim_State(), "tran");
}

TEST_F(SimulatedCard, CardPulledDuringAFileWrite) {
  mmcsim_Faults()->pullAtSector = 205;
  const std::vector<uint8_t> data = vexo_test::Pattern(10 * 512, 12);
  EXPECT_EQ(ppa_WriteFile(1, 200, HostFile("a", data).c_str(), 0xFFFFFFFFu, 0, 0),
            -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(CardBytes(200, 5), std::vector<uint8_t>(data.begin(), data.begin() + 5 * 512));
  EXPECT_EQ(CardBytes(205, 1), std::vector<uint8_t>(512, 0));
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), -VEXO_ERROR_PPA_NO_CARD_RESPONSE);
}

TEST_F(SimulatedCard, SectorBeyondA32BitByteAddressIsRefused) {
  SectorBuffer buffer{};
  EXPECT_EQ(ppa_ReadSectorRtr(1, 0x800000u, buffer, 1), -VEXO_ERROR_CARD_FULL);
  EXPECT_EQ(ppa_WriteSectorFirstRtr(1, 0x800000u, buffer, 1), -VEXO_ERROR_CARD_FULL);
  EXPECT_EQ(mmcsim_Counters().commands[18] + mmcsim_Counters().commands[25], 0u);
}

TEST_F(SimulatedCard, ResetProgressAndStop) {
  ASSERT_EQ(ppa_WriteFile(1, 128, HostFile("a", vexo_test::Pattern(3000)).c_str(), 0xFFFFFFFFu, 0, 0), 0);
  EXPECT_EQ(ppa_GetProgress(), 100);
  ppa_ResetProgress();
  EXPECT_EQ(ppa_GetProgress(), 0);
  EXPECT_EQ(ppa_StopTransfer(), 0);
}

}  // namespace
