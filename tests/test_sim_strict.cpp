// The simulators as strict as the hardware: each bus rule the simulated card
// checks catches a host that breaks it; seeded timings within the bus's
// bounds leave the driver's commands intact; a card stopped in a write holds
// busy; an empty table still costs sector 1; a player that sends byte by byte
// at the line's pace is read without a re-request; vexo-sim offers it all.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

#include "card/header.h"
#include "transport/checksum.h"
#include "ppa/lpt.h"
#include "ppa/mmc_bus.h"
#include "ppa/mmc_cmd.h"
#include "ppa/port_io.h"
#include "ppa/ppa.h"
#include "serial/serial.h"
#include "sim/mmc_sim.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using vexo_test::DataOf;
using vexo_test::Pattern;
using vexo_test::ToSector;

CommandFrame Frame(uint8_t index, uint32_t argument) {
  CommandFrame frame = mmc_Frame(index, argument);
  mmc_SetCmdCrc(frame);
  return frame;
}

// The first `bits` bits of a frame as command-bit writes, byte 5 first.
void SendBits(const CommandFrame& frame, int bits) {
  for (int i = 0; i < bits; ++i) {
    const uint8_t bit = (frame[static_cast<std::size_t>(5 - i / 8)] >> (7 - i % 8)) & 1u;
    lpt_WriteData(static_cast<uint8_t>(LPT_COMMAND_LOW | bit));
    lpt_WriteData(static_cast<uint8_t>(LPT_COMMAND_LOW | CLK_BIT | bit));
  }
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
       SendBits(Frame(13, CARD_RCA << 16), 47);
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

TEST(StrictCard, EachBusRuleCatchesAHostThatBreaksIt) {
  for (const BusRule& rule : kRules) {
    vexo_test::InstallPoweredCard(MmcSimConfig{});
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
    mmcsim_Remove();
  }
}

TEST(StrictCard, SeedsVaryTheTimingWithinTheBusBounds) {
  std::set<uint64_t> samples;
  for (const uint32_t seed : {0u, 1u, 2u, 3u}) {
    MmcSimConfig config;
    config.timingSeed = seed;
    vexo_test::InstallPoweredCard(config);
    EXPECT_EQ(ppa_InitCard(), 132907008) << seed;  // responses inside the windows
    samples.insert(mmcsim_Counters().statusReads);
    mmcsim_Remove();
  }
  EXPECT_EQ(samples.size(), 4u);
}

TEST(StrictCard, StopDuringAWriteAnswersThenHoldsBusyUntilProgrammed) {
  for (const uint32_t seed : {0u, 5u}) {
    MmcSimConfig config;
    config.timingSeed = seed;
    vexo_test::InstallPoweredCard(config);
    ASSERT_GT(ppa_InitCard(), 0);
    ResponseImage response{};
    const SectorBuffer block = ToSector(Pattern(512, seed));
    ASSERT_EQ(mmc_cmd25_(7 * 512, response), 0);
    ASSERT_EQ(mmc_cmd25_Data(std::span<const uint8_t>(block.data(), SECTOR_SIZE)), 0);
    ASSERT_EQ(mmc_cmd12(response), 0) << seed;
    EXPECT_STREQ(mmcsim_State(), "prg") << seed;
    EXPECT_EQ(mmc_WaitBusy(1000, 0), 0) << seed;
    EXPECT_STREQ(mmcsim_State(), "tran") << seed;
    SectorBuffer back{};
    ASSERT_EQ(ppa_ReadSector(7, back), 0) << "no bring-up needed after a stopped write";
    EXPECT_EQ(DataOf(back), DataOf(block));
    EXPECT_EQ(mmcsim_Counters().stopBusy, 1u);
    EXPECT_EQ(mmcsim_Counters().commandsInOpenWrite, 0u);
    mmcsim_Remove();
  }
}

TEST(StrictCard, EmptyTableStillReadsSector1AndReportsItsFailure) {
  vexo_test::InstallPoweredCard(MmcSimConfig{});
  std::vector<uint8_t> sector0(512, 0);
  vexo_test::PutLe16(sector0, 0, 1);
  vexo_test::PutLe32(sector0, 6, 512);
  vexo_test::PutLe32(sector0, 10, 512);
  vexo_test::PutLe16(sector0, 51, 32);
  mmcsim_WriteSector(0, sector0.data());
  CardHeader header{};
  ASSERT_EQ(card_ReadHeader(VEXO_PORT_PARALLEL, 1, 1, &header), 0);
  card_ReleaseTitles();
  std::vector<uint32_t> reads;
  for (const MmcSimCommand& command : mmcsim_CommandLog()) {
    if (command.index == 18) reads.push_back(command.argument);
  }
  EXPECT_EQ(reads, (std::vector<uint32_t>{0, 512}));
  mmcsim_SetReadCrcError(1, -1);
  EXPECT_EQ(card_ReadHeader(VEXO_PORT_PARALLEL, 1, 1, &header), -VEXO_ERROR_PPA_WRONG_DATA_CRC16);
  mmcsim_Remove();
}

class SeededCardCommands : public testing::TestWithParam<uint32_t> {};

TEST_P(SeededCardCommands, AddGetReadDeleteWithoutDeparture) {
  vexo_test::TempDir dir;
  vexo_test::UseNoAdapterWaits();
  MmcSimConfig config;
  config.capacityBytes = 1 << 20;
  config.timingSeed = GetParam();
  ASSERT_TRUE(mmcsim_InstallImageCard(dir.File("card.ros").c_str(), config));
  const auto one = Pattern(3000, GetParam());
  const auto two = Pattern(600, GetParam() + 1);
  vexo_test::WriteFile(dir.File("one.mp3"), one);
  vexo_test::WriteFile(dir.File("two.mp3"), two);
  const auto lp = [](const std::vector<std::string>& args) { return vexo_test::RunVexo({"lp1"}, args); };
  EXPECT_EQ(lp({"--empty"}).out, "\n Empty Header written.\n");
  EXPECT_NE(lp({"--add", dir.File("one.mp3"), "One"}).out.find(" Done."), std::string::npos);
  EXPECT_NE(lp({"--add", dir.File("two.mp3"), "Two"}).out.find(" Done."), std::string::npos);
  EXPECT_NE(lp({"--get"}).out.find("    2.       600  Two\n"), std::string::npos);
  lp({"--read", "1", dir.File("back.mp3")});
  EXPECT_EQ(vexo_test::ReadFile(dir.File("back.mp3")), one);
  lp({"--delete"});
  EXPECT_EQ(lp({"--get"}).out.find("Two"), std::string::npos);
  EXPECT_EQ(mmcsim_Departures(), 0u) << mmcsim_DepartureSummary();
  mmcsim_Remove();
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeededCardCommands, testing::Values(1u, 42u, 977u, 0xFFFFFFFFu));

TEST(PacedPlayer, ByteAtATimeAt57600IsReadWithoutAReRequest) {
  vexo_test::TempDir dir;
  const auto card = Pattern(16 * 512, 9);
  vexo_test::WriteFile(dir.File("card.ros"), card);
  PlayerSimConfig config;
  config.slots[0].imagePath = dir.File("card.ros");
  config.byteAtATime = true;
  config.baud = kPlayerLineSpeed;
  PlayerSimSession session(config);
  ASSERT_TRUE(session.started);
  ASSERT_EQ(vexo_serial_Open(1, 57600), 0);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(ser_ReadFile(1, 1, 3, 3000, dir.File("out.bin").c_str(), 0), 0);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::microseconds(3000 * 10 * 1000000LL / 57600)) << "paced at the line's rate";
  EXPECT_EQ(vexo_test::ReadFile(dir.File("out.bin")), vexo_test::Slice(card, 3 * 512, 3000));
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.readRequests, 1u);
  EXPECT_EQ(counters.searches[0], 1u);
  EXPECT_GE(counters.streamedReads, 5u);
}

TEST(SimProgramOptions, FaultsAndLineOptionsAreOfferedAndReachTheSimulators) {
  const vexo_test::RunResult help = vexo_test::RunSim("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {"--fault NAME[:N]", "--baud", "--player-version <n>", "--seed <n>", "no-card",
                           "drop-send:N", "pull-slot2:N"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  const vexo_test::RunResult version = vexo_test::RunSim("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vexo-sim ", 0), 0u) << version.out;
  vexo_test::TempDir dir;
  const std::string card = " --card '" + dir.File("c.img") + "' -- ";
  for (const char* refused : {"--fault bogus", "--fault no-card:3", "--fault drop-send:0", "--seed x"}) {
    EXPECT_EQ(vexo_test::RunSim(std::string(refused) + card + "lp1 --get").status, 2) << refused;
  }
  EXPECT_NE(vexo_test::RunSim("--fast --fault no-card" + card + "lp1 --get").out.find(" Error: "), std::string::npos);
  EXPECT_NE(vexo_test::RunSim("--fast --fault silent" + card + "ttyS0 --get").out.find(" Error: "),
            std::string::npos);
}

}  // namespace
