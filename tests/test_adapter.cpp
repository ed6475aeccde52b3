// The parallel-port adapter driver against the simulated card: registers, power,
// bus framing and windows, bring-up and search, retries and pauses of transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "card/header.h"
#include "drivers/ppa/lpt.h"
#include "drivers/ppa/mmc_bus.h"
#include "drivers/ppa/mmc_cmd.h"
#include "drivers/ppa/port_io.h"
#include "drivers/ppa/ppa.h"
#include "sim/mmc_sim.h"
#include "support/test_support.h"
#include "base/checksum.h"
#include "host/pauses.h"

namespace {

using namespace vexo_test;

int g_waits = 0;

class Adapter : public testing::Test {
 protected:
  void SetUp() override { Install(); }
  void TearDown() override {
    ppa_SetTimeSource(nullptr);
    mmcsim_Remove();
  }
  // The card of config_ powered up in the adapter on lp1, counters and pauses at zero.
  void Install() {
    vexo_test::UseNoAdapterWaits();
    mmcsim_InstallMemoryCard(config_);
    ppa_Open(1);
    mmcsim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
  }
  // Takes the card to transfer state, counters at zero again.
  void Select() {
    ASSERT_GT(ppa_InitCard(), 0);
    ASSERT_STREQ(mmcsim_State(), "tran");
    mmcsim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
  }
  // Card sectors named by the commands of this index, in order.
  static std::vector<uint32_t> CommandSectors(int index) {
    std::vector<uint32_t> sectors;
    for (const MmcSimCommand& c : mmcsim_CommandLog()) {
      if (c.index == index) sectors.push_back(c.argument / 512);
    }
    return sectors;
  }
  MmcSimConfig config_;
  ResponseImage response_{};
  vexo_test::TempDir dir_;
};

// ---- Registers -----------------------------------------------------------------

TEST_F(Adapter, StatusPairsThatDisagreeAreReadAgain) {
  mmcsim_Faults()->statusGlitchEvery = 3;  // reads 3, 6, 9 ... come back flipped
  uint8_t status = 0;
  for (const uint64_t reads : {2u, 6u}) {  // pair (1,2) agrees; (3,4), (5,6) differ, (7,8) agrees
    const uint64_t before = mmcsim_Counters().statusReads;
    lpt_ReadStatus(&status);
    EXPECT_EQ(mmcsim_Counters().statusReads - before, reads);
    EXPECT_EQ(status & (CMD_IN_BIT | DAT_IN_BIT), CMD_IN_BIT | DAT_IN_BIT);
  }
}

// Anything but 1 cuts the supply; 1 waits once to settle; the open gives the idle clocks.
TEST_F(Adapter, PowerSequences) {
  g_waits = 0;
  ppa_SetPowerUpWaitHook([] { ++g_waits; });
  mmcsim_ResetCounters();
  EXPECT_EQ(ppa_Power(0), 0);
  EXPECT_EQ(ppa_Power(2), 0);
  EXPECT_EQ(mmcsim_Counters().clocks + mmcsim_Counters().controlWrites, 0u);
  EXPECT_EQ(g_waits, 0);
  EXPECT_EQ(ppa_Power(1), 0);
  EXPECT_EQ(g_waits, 1);
  EXPECT_EQ(mmcsim_Counters().controlWrites, 1u);
  mmcsim_ResetCounters();
  EXPECT_EQ(ppa_Open(2), 0);
  EXPECT_EQ(lpt_DataPort(), 0x278);
  EXPECT_EQ(mmcsim_Counters().clocks, 10000u);
  EXPECT_EQ(mmcsim_Counters().strayAccesses, 0u);
  EXPECT_STREQ(mmcsim_State(), "idle");
}

// ---- Bus framing -----------------------------------------------------------------

// Responses are taken from sample 2 to 64 (one on sample 1 is misframed); CMD1 and CMD2 on sample 5.
TEST_F(Adapter, ResponseWindows) {
  const struct { int ident, latency; int32_t cmd1, cmd3; } cases[] = {
      {5, 1, 0, VEXO_ERROR_PPA_WRONG_CMD_RESPONSE}, {5, 2, 0, 0}, {5, 3, 0, 0}, {5, 33, 0, 0}, {5, 64, 0, 0},
      {5, 65, 0, VEXO_ERROR_PPA_NO_CARD_RESPONSE},  {6, 2, VEXO_ERROR_PPA_NO_CARD_RESPONSE, 0}};
  for (const auto& c : cases) {
    config_.identLatency = c.ident;
    config_.responseLatency = c.latency;
    config_.cmd1BusyResponses = 0;
    Install();
    mmc_cmd0();
    uint32_t ocr = 0;
    ASSERT_EQ(mmc_cmd1(OCR_WINDOW, response_, &ocr), c.cmd1) << c.ident;
    if (c.cmd1 != 0) continue;
    EXPECT_EQ(ocr & OCR_WINDOW, OCR_WINDOW);
    RegisterImage cid{};
    ASSERT_EQ(mmc_cmd2(cid), 0);
    EXPECT_EQ(mmc_cmd3(CARD_RCA, response_), c.cmd3) << c.latency;
  }
}

// Blocks longer than a sector, data that never starts, and busy that never ends.
TEST_F(Adapter, DataBlocksAndTheirLimits) {
  Select();
  EXPECT_EQ(mmc_cmd16(1024, response_), 0);  // answered, with the error bit
  EXPECT_EQ(mmc_BlockLen(), 1024u);
  EXPECT_NE(response_[4] & 0x20u, 0u);  // BLOCK_LEN_ERROR, status bit 29
  EXPECT_EQ(mmcsim_BlockLength(), 512u);
  SectorBuffer buffer{};
  DataRxState rx;
  EXPECT_EQ(mmc_cmd18_Data(buffer, rx), VEXO_ERROR_PPA_WRONG_DATA_CRC16) << "a block the buffer cannot hold";
  mmc_cmd16(512, response_);
  rx = DataRxState{};
  uint64_t before = mmcsim_Counters().clocks;
  EXPECT_EQ(mmc_GetData(buffer, 514, rx), VEXO_ERROR_PPA_NO_DAT_START_BIT);
  EXPECT_GE(mmcsim_Counters().clocks - before, static_cast<uint64_t>(MMC_DATA_START_LIMIT));

  Select();
  mmcsim_Faults()->busyForever = true;
  ASSERT_EQ(mmc_cmd25_(3 * 512, response_), 0);
  BitPacker packer;
  ASSERT_EQ(mmc_PutData(std::span<const uint8_t>(buffer).first(512), {}, packer), 0);
  // Without its CRC the block is refused: the token says so, no busy follows.
  EXPECT_EQ(mmc_GetCrcStatus(), VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  EXPECT_EQ(mmc_WaitBusy(0, 1), VEXO_ERROR_PPA_BSY_TIMEOUT);
  EXPECT_EQ(mmc_WaitBusy(100, 0), 0);
  Select();
  ASSERT_EQ(mmc_cmd25_(3 * 512, response_), 0);
  before = mmcsim_Counters().clocks;
  EXPECT_EQ(mmc_cmd25_Data(buffer), VEXO_ERROR_PPA_BSY_TIMEOUT);
  EXPECT_GE(mmcsim_Counters().clocks - before, static_cast<uint64_t>(MMC_BUSY_LIMIT)) << "the full limit";
  EXPECT_EQ(mmcsim_Counters().blocksWritten, 1u);
}

// ---- Bring-up and search ------------------------------------------------------------

// The capacity from the CSD up to 2 GiB less one; larger cards refused, not wrapped, not retried.
TEST_F(Adapter, CapacitiesAndCardsTooLarge) {
  const struct { uint64_t bytes; VexoResult result; } cases[] = {
      {kCardSize, 0}, {1ull << 30, 0}, {(1ull << 31) - (1ull << 20), 0},
      {1ull << 31, -VEXO_ERROR_CARD_TOO_LARGE}, {1ull << 36, -VEXO_ERROR_CARD_TOO_LARGE}};
  for (const auto& c : cases) {
    config_.capacityBytes = c.bytes;
    Install();
    uint32_t size = 12345;
    EXPECT_EQ(ppa_Search(&size, 5), c.result) << c.bytes;
    EXPECT_EQ(size, c.result == 0 ? c.bytes : 12345u) << c.bytes;
    EXPECT_EQ(mmcsim_Counters().bringUps, 1u) << c.bytes;
  }
}

// A failed bring-up: five tries; a card never ready gets its supply cycled for one more.
TEST_F(Adapter, BringUpFaultsAndSearchRetries) {
  const struct {
    bool MmcSimFaults::*fault;
    VexoResult result;
    uint64_t cmd1PerTry, bringUps, controlWrites, delay;
  } cases[] = {
      {&MmcSimFaults::noCard, -VEXO_ERROR_PPA_NO_CARD_RESPONSE, 1, 0, 0, 0},
      {&MmcSimFaults::neverReady, -VEXO_ERROR_PPA_TIMEOUT, 1001, 6, 2, 30},
      {&MmcSimFaults::noCidResponse, -VEXO_ERROR_PPA_WARN_NO_CID_RESPONSE, 4, 5, 0, 0},
  };
  for (const auto& c : cases) {
    Install();
    mmcsim_Faults()->*c.fault = true;
    EXPECT_EQ(ppa_InitCard(), c.result);
    EXPECT_EQ(mmcsim_Counters().wireCommands[1], c.cmd1PerTry);
    Install();
    mmcsim_Faults()->*c.fault = true;
    uint32_t size = 0;
    EXPECT_EQ(ppa_Search(&size, 5), c.result);
    EXPECT_EQ(mmcsim_Counters().wireCommands[0], c.bringUps == 6 ? 6u : 5u);
    EXPECT_EQ(mmcsim_Counters().bringUps, c.bringUps);
    EXPECT_EQ(mmcsim_Counters().controlWrites, c.controlWrites);  // supply off, power-up
    EXPECT_EQ(vexo_DelayUnitsTotal(), c.delay);
  }
  // The card recovers once its supply was cut: the sixth bring-up decides.
  Install();
  mmcsim_Faults()->neverReady = true;
  ppa_SetPowerUpWaitHook([] { mmcsim_Faults()->neverReady = false; });
  uint32_t size = 0;
  EXPECT_EQ(ppa_Search(&size, 5), 0);
  EXPECT_EQ(size, kCardSize);
  EXPECT_EQ(mmcsim_Counters().bringUps, 6u);
  // A card put in later is found on a later search.
  Install();
  mmcsim_Faults()->noCard = true;
  EXPECT_EQ(ppa_Search(&size, 1), -VEXO_ERROR_PPA_NO_CARD_RESPONSE);
  mmcsim_InsertCard();
  ppa_Power(1);
  EXPECT_EQ(ppa_Search(&size, 5), 0);
}

// ---- Transfers --------------------------------------------------------------------

TEST_F(Adapter, SectorWrittenAndReadBack) {
  Select();
  const Bytes pattern = vexo_test::Pattern(512, 7);
  SectorBuffer out = vexo_test::ToSector(pattern);
  ASSERT_EQ(ppa_WriteSectorFirstRtr(1, 200, out, 4), 0);
  Bytes written(512);
  mmcsim_ReadSector(200, written.data());
  EXPECT_EQ(written, pattern);
  // The write stays open: the read's first CMD18 goes unanswered; the retry's bring-up recovers.
  SectorBuffer in{};
  ASSERT_EQ(ppa_ReadSectorRtr(1, 200, in, 4), 0);
  EXPECT_EQ(vexo_test::DataOf(in), pattern);
  // A stop command the card ignores does not fail a read.
  mmcsim_Faults()->noStopResponse = true;
  mmcsim_ResetCounters();
  ASSERT_EQ(ppa_ReadSectorRtr(1, 200, in, 4), 0);
  EXPECT_EQ(vexo_test::DataOf(in), pattern);
  EXPECT_EQ(mmcsim_Counters().bringUps, 0u);
  // Sectors beyond a 32-bit byte address are refused before any command.
  EXPECT_EQ(ppa_ReadSectorRtr(1, 0x800000u, in, 1), -VEXO_ERROR_CARD_FULL);
  EXPECT_EQ(ppa_WriteSectorFirstRtr(1, 0x800000u, in, 1), -VEXO_ERROR_CARD_FULL);
  EXPECT_EQ(mmcsim_Counters().commands[18] + mmcsim_Counters().commands[25], 1u);
}

// Each retry re-initialises the card between pauses and opens the command again at that sector.
TEST_F(Adapter, RetriesAndTheirPauses) {
  const Bytes file = vexo_test::Pattern(40 * 512 + 100, 5);
  const std::string host = dir_.Write("a.mp3", file);
  const std::string out = dir_.File("out");
  SectorBuffer buffer = vexo_test::ToSector(file);
  const auto readSector = [&] { return ppa_ReadSectorRtr(1, 300, buffer, 4); };
  const auto writeFile = [&] { return ppa_WriteFile(1, 128, host.c_str(), 0xFFFFFFFFu, 0, 0); };
  const auto readFile = [&] { return ppa_ReadFile(1, 1000, 30 * 512, out.c_str(), 0); };
  const VexoResult crc = -VEXO_ERROR_PPA_WRONG_DATA_CRC16, pulled = -VEXO_ERROR_PPA_NO_CARD_RESPONSE;
  const struct {
    const char* what;
    std::function<void()> fault;
    std::function<VexoResult()> run;
    VexoResult result;
    int command;
    std::vector<uint32_t> sectors;
    uint64_t delay;
  } cases[] = {
      {"read sector, CRC error always", [] { mmcsim_SetReadCrcError(300, -1); }, readSector, crc, 18, {300, 300, 300, 300}, 4 * 10},
      {"first sector, rejected always", [] { mmcsim_SetWriteCrcReject(3, -1); },
       [&] { return ppa_WriteSectorFirstRtr(1, 3, buffer, 4); }, crc, 25, {3, 3, 3, 3}, 4 * 20},
      {"next sector, rejected once", [] { mmcsim_SetWriteCrcReject(12, 1); },
       [&] {
         VexoResult r = ppa_WriteSectorFirstRtr(1, 10, buffer, 4);
         for (uint32_t s = 11; s < 15 && r == 0; ++s) r = ppa_WriteSectorNextRtr(1, s, buffer, 4);
         return r;
       },
       0, 25, {10, 12}, 5 + 1},
      {"file write, rejected twice", [] { mmcsim_SetWriteCrcReject(128 + 17, 2); }, writeFile, 0, 25, {128, 145, 145}, 2 * 6},
      {"file write, rejected always", [] { mmcsim_SetWriteCrcReject(130, -1); }, writeFile, crc, 25, {128, 130, 130, 130}, 3 * 6},
      {"file write, card pulled", [] { mmcsim_Faults()->pullAtSector = 131; }, writeFile, pulled, 25, {128}, 5},
      {"read sector, card pulled", [] { mmcsim_Faults()->pullAtSector = 300; }, readSector, pulled, 18, {300}, 5},
      {"file read, CRC error once", [] { mmcsim_SetReadCrcError(1013, 1); }, readFile, 0, 18, {1000, 1013}, 6},
      {"file read, CRC error always", [] { mmcsim_SetReadCrcError(1002, -1); }, readFile, crc, 18, {1000, 1002, 1002, 1002}, 3 * 6},
      {"file read, card pulled", [] { mmcsim_Faults()->pullAtSector = 1002; }, readFile, pulled, 18, {1000}, 5},
  };
  for (const auto& c : cases) {
    Install();
    Select();
    c.fault();
    EXPECT_EQ(c.run(), c.result) << c.what;
    EXPECT_EQ(CommandSectors(c.command), c.sectors) << c.what;
    EXPECT_EQ(vexo_DelayUnitsTotal(), c.delay) << c.what;
  }
  EXPECT_EQ(vexo_test::ReadFile(out).size(), 30u * 512u) << "a failed copy leaves the earlier file";
  // A copy from the card ends with a stop command, the card back in transfer state.
  Install();
  Select();
  ASSERT_EQ(ppa_ReadFile(1, 128, 1000, out.c_str(), 0), 0);
  EXPECT_EQ(mmcsim_CommandLog().back().index, 12);
  EXPECT_STREQ(mmcsim_State(), "tran");
}

TEST_F(Adapter, RatesFromTheElapsedWholeSeconds) {
  Select();
  static std::time_t now = 0;
  ppa_SetTimeSource([] { return now += 10; });
  ASSERT_EQ(ppa_WriteFile(1, 128, dir_.Write("r", Pattern(20 * 512)).c_str(), 0xFFFFFFFFu, 0, 0), 0);
  EXPECT_FLOAT_EQ(ppa_GetTransferRate(), 20.0f * 4096.0f / 10.0f);
}

// ---- The simulated card holds the driver to the bus ------------------------------------

CommandFrame Frame(uint8_t index, uint32_t argument) {
  CommandFrame frame = mmc_Frame(index, argument);
  mmc_SetCmdCrc(frame);
  return frame;
}

void Clock(uint8_t low) {
  lpt_WriteData(low);
  lpt_WriteData(static_cast<uint8_t>(low | CLK_BIT));
}

struct BusRule {
  const char* broken;
  uint64_t MmcSimCounters::*counter;
  bool selected;  // the script starts with the card in transfer state
  void (*script)();
};

const BusRule kRules[] = {
    {"a fixed data-register bit (3) clear", &MmcSimCounters::registerBits, false,
     [] { Clock(LPT_IDLE_LOW & ~0x08); }},
    {"an idle clock in command mode", &MmcSimCounters::commandMode, false,
     [] { Clock(LPT_COMMAND_LOW | CMD_OUT_BIT); }},
    {"a response window opened before the end bit", &MmcSimCounters::cutCommands, true,
     [] {
       const CommandFrame frame = Frame(13, CARD_RCA << 16);
       for (int i = 0; i < 47; ++i) {  // all bits but the end bit, byte 5 first
         Clock(static_cast<uint8_t>(LPT_COMMAND_LOW | ((frame[static_cast<std::size_t>(5 - i / 8)] >> (7 - i % 8)) & 1u)));
       }
       lpt_Clocks(80);
     }},
    {"no clocks between two commands", &MmcSimCounters::earlyCommands, false,
     [] {
       mmc_SendCommand(Frame(0, 0));
       mmc_SendCommand(Frame(0, 0));
       lpt_Clocks(8);
     }},
    {"a block start bit before the response", &MmcSimCounters::earlyBlocks, true,
     [] {
       mmc_SendCommand(Frame(25, 0));
       Clock(LPT_DATA_LOW);
       lpt_Clocks(80);
     }},
    {"a block start bit right behind the busy", &MmcSimCounters::earlyBlocks, true,
     [] {
       ResponseImage response{};
       mmc_cmd25_(0, response);
       const SectorBuffer block{};
       mmc_cmd25_Data(std::span<const uint8_t>(block.data(), SECTOR_SIZE));
       Clock(LPT_DATA_LOW);
     }},
    {"a single status read in a sample", &MmcSimCounters::unconfirmedSamples, false,
     [] {
       lpt_WriteData(LPT_IDLE_LOW);
       portio_In(0x379);
       lpt_WriteData(LPT_IDLE_LOW | CLK_BIT);
     }},
    {"a command with a bad CRC7", &MmcSimCounters::badTokens, false,
     [] {
       CommandFrame frame = Frame(0, 0);
       frame[0] ^= 0x02;
       mmc_SendCommand(frame);
       lpt_Clocks(8);
     }},
    {"a command the card's state does not allow", &MmcSimCounters::illegalCommands, true,
     [] {
       ResponseImage response{};
       mmc_cmd12(response);
     }},
};

TEST_F(Adapter, EachBusRuleCatchesAHostThatBreaksIt) {
  for (const BusRule& rule : kRules) {
    Install();
    if (rule.selected) {
      ASSERT_GT(ppa_InitCard(), 0) << rule.broken;
    }
    mmcsim_ResetCounters();
    vexo_test::TakeCardDepartures();
    rule.script();
    const uint64_t caught = mmcsim_Counters().*rule.counter;
    EXPECT_GE(caught, 1u) << rule.broken;
    EXPECT_EQ(mmcsim_Departures(), caught) << rule.broken << ": " << mmcsim_DepartureSummary();
    EXPECT_EQ(vexo_test::TakeCardDepartures(), caught) << rule.broken;
  }
}

TEST_F(Adapter, EmptyTableStillReadsSector1AndReportsItsFailure) {
  mmcsim_WriteSector(0, vexo_test::WriteCardImage(dir_.File("empty"), 1, "", {}).data());
  CardHeader header{};
  ASSERT_EQ(card_ReadHeader(VEXO_PORT_PARALLEL, 1, 1, &header), 0);
  card_ReleaseTitles();
  EXPECT_EQ(CommandSectors(18), (std::vector<uint32_t>{0, 1}));
  mmcsim_SetReadCrcError(1, -1);
  EXPECT_EQ(card_ReadHeader(VEXO_PORT_PARALLEL, 1, 1, &header), -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
}

// Data bits that start during a read's response belong to the block.
TEST_F(Adapter, DataThatStartsDuringTheReadResponseIsKept) {
  const Bytes file = vexo_test::Pattern(3 * 512 + 7, 9);
  const std::string out = dir_.File("out");
  Bytes sectors = file;
  sectors.resize(4 * 512);
  for (const int early : {1, 10, 30, 47, 100}) {
    Install();
    Select();
    for (uint32_t i = 0; i < 4; ++i) mmcsim_WriteSector(200 + i, sectors.data() + i * 512);
    mmcsim_Faults()->earlyData = early;
    SectorBuffer in{};
    ASSERT_EQ(ppa_ReadSector(201, in), 0) << early;
    EXPECT_EQ(vexo_test::DataOf(in), Bytes(file.begin() + 512, file.begin() + 1024)) << early;
    ASSERT_EQ(ppa_ReadFile(1, 200, static_cast<uint32_t>(file.size()), out.c_str(), 0), 0) << early;
    EXPECT_EQ(vexo_test::ReadFile(out), file) << early;
    EXPECT_EQ(mmcsim_Counters().bringUps, 0u) << early;
  }
}

// /dev/parport0 (ppdev) drives the card with the very register accesses of lp1.
TEST_F(Adapter, PpdevDeviceGivesTheSameRegisterTraceAsLp1) {
  const auto header = vexo_test::WriteCardImage(dir_.File("h.ros"), 1, "Card", {});
  std::string traces[2];  // a line per register access
  for (const int i : {0, 1}) {
    Install();
    mmcsim_WriteSector(0, header.data());
    char* text = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&text, &size);
    mmcsim_SetTrace(stream);
    const std::string out = RunVexo({i == 0 ? "lp1" : "parport0", "--change", "-n", "N"}).out;
    mmcsim_SetTrace(nullptr);
    std::fclose(stream);
    traces[i].assign(text, size);
    std::free(text);
    EXPECT_EQ(out, "\n Changed CardName.\n");
  }
  EXPECT_GT(std::count(traces[0].begin(), traces[0].end(), '\n'), 10000);
  EXPECT_TRUE(traces[0] == traces[1]);
}

// Seeded card timings: no departure, and as many bring-ups as with fixed timings.
MmcSimCounters AddReadDelete(uint32_t seed) {
  vexo_test::TempDir dir;
  vexo_test::CardOnPort card(VEXO_PORT_PARALLEL, dir.File("card.ros"), 1 << 20, seed);
  const auto song = vexo_test::Pattern(3000, seed);
  EXPECT_NE(RunVexo({"lp1", "--add", dir.Write("song.mp3", song), "One"}).out.find(" Done."), std::string::npos);
  vexo_test::RunVexo({"lp1", "--read", "1", dir.File("back.mp3")});
  EXPECT_EQ(vexo_test::ReadFile(dir.File("back.mp3")), song);
  EXPECT_EQ(vexo_test::RunVexo({"lp1", "--delete"}).out, "\n Deleted one title.\n");
  return mmcsim_Counters();
}

class SeededCardCommands : public testing::TestWithParam<uint32_t> {};

TEST_P(SeededCardCommands, AddReadDelete) {
  const MmcSimCounters fixed = AddReadDelete(0);
  const MmcSimCounters seeded = AddReadDelete(GetParam());
  EXPECT_EQ(seeded.bringUps, fixed.bringUps);
  EXPECT_NE(seeded.statusReads, fixed.statusReads) << "the seed varies the timing";
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededCardCommands, testing::Values(1u, 42u, 977u, 0xFFFFFFFFu));

}  // namespace
