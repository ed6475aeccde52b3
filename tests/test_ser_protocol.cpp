// The player protocol against the simulated player on a pty: checksums with
// known answers, request and block bytes on the wire, search answers, the
// failure codes of reads and writes, the retry wrappers' counts and modes,
// and the player telling a streamed block from a new command.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "serial/ser_port.h"
#include "serial/ser_protocol.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using vexo_test::DataOf;
using vexo_test::Pattern;
using vexo_test::ToSector;

constexpr uint32_t kCardSize = 132907008;

// A player with a patterned card in slot 1, the line open at 115200.
class PlayerLine : public ::testing::Test {
 protected:
  void SetUp() override {
    vexo_test::WriteFile(dir_.File("card1.ros"), Pattern(300 * SECTOR_SIZE, 3));
    Restart();
  }
  // A new player whose slot 1 card answers the search with this size.
  void Restart(uint32_t cardSize = kCardSize) {
    session_.reset();
    PlayerSimConfig config;
    config.logBytes = true;
    config.slots[0].imagePath = dir_.File("card1.ros");
    config.slots[0].cardSize = cardSize;
    session_ = std::make_unique<PlayerSimSession>(config);
    ASSERT_TRUE(session_->started);
    ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  }
  void TearDown() override { session_.reset(); }

  std::vector<uint8_t> CardSector(uint32_t sector) {
    return vexo_test::ImageSectors(dir_.File("card1.ros"), sector);
  }
  static SectorBuffer Filled(uint8_t value) {
    SectorBuffer buffer{};
    std::fill(buffer.begin(), buffer.end(), value);
    return buffer;
  }
  static std::vector<uint8_t> PcBytes() { return playersim_LoggedBytes(true); }

  vexo_test::TempDir dir_;
  std::unique_ptr<PlayerSimSession> session_;
};

// The same once the PC has found the card in slot 1.
class FoundPlayer : public PlayerLine {
 protected:
  void SetUp() override {
    PlayerLine::SetUp();
    ASSERT_GT(ser_Search(1, 1), 0);
  }
};

TEST(SerialChecksums, Crc16KnownAnswers) {
  const std::vector<uint8_t> zeros(512, 0x00);
  const std::vector<uint8_t> ones(512, 0xFF);
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(ser_Crc16(zeros.data(), zeros.size()), 0x0000);
  EXPECT_EQ(ser_Crc16(ones.data(), ones.size()), 0x7FA1);
  EXPECT_EQ(ser_Crc16(check, sizeof check), 0x31C3);  // the CRC-16/XMODEM check value
  EXPECT_EQ(ser_Xor(check, sizeof check), 0x31);
}

TEST(SerialChecksums, RequestForSector128) {
  const auto request = ser_BuildRequest(SER_CMD_READ, 128);
  const std::array<uint8_t, 7> expected = {'r', 0x00, 0x00, 0x01, 0x00, 'm', 0x6C};
  EXPECT_EQ(request, expected);
  const auto high = ser_BuildRequest(SER_CMD_WRITE, 0x12345);
  const std::array<uint8_t, 7> expectedHigh = {'w', 0x00, 0x8A, 0x46, 0x02, 'm',
                                               static_cast<uint8_t>(0x8A ^ 0x46 ^ 0x02 ^ 'm')};
  EXPECT_EQ(high, expectedHigh);
}

TEST_F(PlayerLine, SearchFindsTheCardAndItsSize) {
  EXPECT_EQ(ser_Search(1, 1), static_cast<int32_t>(kCardSize));
  const std::vector<uint8_t> sent = {'1'};
  EXPECT_EQ(PcBytes(), sent);
  const std::vector<uint8_t> answer = {'H', 0x00, 0x00, 0xEC, 0x07};
  EXPECT_EQ(playersim_LoggedBytes(false), answer);
  uint32_t size = 0;
  EXPECT_EQ(ser_MultiSearch(1, 1, &size, 5), 0);
  EXPECT_EQ(size, kCardSize);
}

TEST_F(PlayerLine, SearchOfAnEmptySlotOrNoPlayerFails) {
  EXPECT_EQ(ser_Search(1, 2), -VEXO_ERROR_TALVARO_NOT_FOUND);  // answered, not 'H'
  EXPECT_EQ(playersim_Counters().searches[1], 1u);
  playersim_SetFaults({.silent = true});
  EXPECT_EQ(ser_Search(1, 1), -VEXO_ERROR_TALVARO_NOT_FOUND);
}

TEST_F(PlayerLine, SearchOfSlotThreeSendsNothing) {
  uint32_t size = 77;
  EXPECT_EQ(ser_Search(1, 3), -VEXO_ERROR_MAX_CARD);
  EXPECT_EQ(ser_MultiSearch(1, 3, &size, 3), -VEXO_ERROR_MAX_CARD);
  EXPECT_EQ(ser_Search(1, 0), -VEXO_ERROR_MAX_CARD);
  EXPECT_EQ(size, 77u);
  EXPECT_TRUE(PcBytes().empty());
}

TEST_F(PlayerLine, MultiSearchRepeatsUpToItsAttempts) {
  playersim_SetFaults({.silent = true});
  uint32_t size = 0;
  vexo_ResetDelayUnitsTotal();
  EXPECT_EQ(ser_MultiSearch(1, 1, &size, 3), -VEXO_ERROR_TALVARO_NOT_FOUND);
  EXPECT_EQ(playersim_Counters().searches[0], 3u);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 3u * (1 + 5));  // 10 ms before, 50 ms after each
  EXPECT_EQ(size, 0u);
}

TEST_F(PlayerLine, ShortSearchAnswerIsNotFound) {
  playersim_SetFaults({.dropSendAt = 4});  // the answer's last byte never comes
  EXPECT_EQ(ser_Search(1, 1), -VEXO_ERROR_TALVARO_NOT_FOUND);
  EXPECT_EQ(ser_Search(1, 1), static_cast<int32_t>(kCardSize));
}

TEST_F(PlayerLine, VersionByteOrMinusOne) {
  EXPECT_EQ(ser_GetVersion(1), 214);
  playersim_SetFaults({.noVersion = true});
  EXPECT_EQ(ser_GetVersion(1), -1);
  EXPECT_EQ(playersim_Counters().versionQueries, 2u);
}

TEST_F(PlayerLine, ReadByRequestThenStreamed) {
  ASSERT_EQ(ser_Search(1, 1), static_cast<int32_t>(kCardSize));
  playersim_ClearLog();
  SectorBuffer buffer{};
  ASSERT_EQ(ser_ReadSector(1, 128, buffer, 1), 0);
  EXPECT_EQ(DataOf(buffer), CardSector(128));
  EXPECT_EQ(buffer[512], ser_Xor(buffer.data(), 512));
  ASSERT_EQ(ser_ReadSector(1, 999, buffer, 0), 0);  // the sector number is not used
  EXPECT_EQ(DataOf(buffer), CardSector(129));
  const std::vector<uint8_t> sent = {'r', 0x00, 0x00, 0x01, 0x00, 'm', 0x6C, 'n', 'n'};
  EXPECT_EQ(PcBytes(), sent);
  // The player answers the last 'n' on its own thread; let it get there.
  ASSERT_TRUE(playersim_WaitQuiet(2000));
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.readRequests, 1u);
  EXPECT_EQ(counters.streamedReads, 2u);  // the block after the last 'n' is on its way
}

TEST_F(FoundPlayer, ReadPastTheImageFileGivesZeros) {
  SectorBuffer buffer = Filled(0x5A);
  ASSERT_EQ(ser_ReadSector(1, 1000, buffer, 1), 0);
  EXPECT_EQ(DataOf(buffer), std::vector<uint8_t>(512, 0));
}

TEST_F(FoundPlayer, WrongCheckByteGivesMinus14AndNoN) {
  playersim_ClearLog();
  playersim_SetFaults({.corruptSendAt = 1 + 100});  // status byte, then data byte 100
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, 5, buffer, 1), -VEXO_ERROR_DATA_RECEIVE_CRC);
  const auto sent = PcBytes();
  ASSERT_EQ(sent.size(), 7u);  // the request, no 'n'
  EXPECT_EQ(sent[0], 'r');
}

TEST_F(FoundPlayer, RefusedRequestGivesMinus19) {
  playersim_SetFaults({.refuseReads = 1});
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, 5, buffer, 1), -VEXO_ERROR_MSG_CRC_ERROR);
  EXPECT_EQ(ser_ReadSector(1, 5, buffer, 1), 0);
}

TEST_F(FoundPlayer, RequestCorruptedOnTheLineIsRefusedByThePlayer) {
  playersim_SetFaults({.corruptReceiveAt = 6});  // the request's XOR byte
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, 5, buffer, 1), -VEXO_ERROR_MSG_CRC_ERROR);
  EXPECT_EQ(playersim_Counters().badRequests, 1u);
}

TEST_F(PlayerLine, RequestOutsideTheCardIsRefused) {
  Restart(4 * SECTOR_SIZE);
  ASSERT_EQ(ser_Search(1, 1), static_cast<int32_t>(4 * SECTOR_SIZE));
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, 4, buffer, 1), -VEXO_ERROR_MSG_CRC_ERROR);
  EXPECT_EQ(ser_ReadSector(1, 3, buffer, 1), 0);
}

TEST_F(FoundPlayer, SilentPlayerGivesReadTimeout) {
  playersim_SetFaults({.silent = true});
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, 5, buffer, 1), -VEXO_ERROR_DATA_RECEIVE_TIMEOUT);
}

TEST_F(FoundPlayer, WriteByRequestPutsTheBlockOnTheWire) {
  playersim_ClearLog();
  SectorBuffer zeros = Filled(0x00);
  ASSERT_EQ(ser_WriteSector(1, 128, zeros), 0);
  EXPECT_EQ(CardSector(128), std::vector<uint8_t>(512, 0));
  const auto sent = PcBytes();
  ASSERT_EQ(sent.size(), 7u + 514u + 1u);
  const std::vector<uint8_t> request = {'w', 0x00, 0x00, 0x01, 0x00, 'm', 0x6C};
  EXPECT_TRUE(std::equal(request.begin(), request.end(), sent.begin()));
  EXPECT_EQ(sent[7 + 512], 0x00);
  EXPECT_EQ(sent[7 + 513], 0x00);
  EXPECT_EQ(sent[7 + 514], 'n');
  const auto answers = playersim_LoggedBytes(false);
  EXPECT_EQ(answers.back(), 'V');

  playersim_ClearLog();
  SectorBuffer ones = Filled(0xFF);
  ASSERT_EQ(ser_WriteNextSector(1, ones), 0);
  EXPECT_EQ(CardSector(129), std::vector<uint8_t>(512, 0xFF));
  const auto streamed = PcBytes();
  ASSERT_EQ(streamed.size(), 515u);
  EXPECT_EQ(streamed[512], 0x7F);
  EXPECT_EQ(streamed[513], 0xA1);
  EXPECT_EQ(streamed[514], 'n');
  EXPECT_EQ(ones[515], 0);
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.writeRequests, 1u);
  EXPECT_EQ(counters.streamedWrites, 1u);
  EXPECT_EQ(counters.sectorsWritten, 2u);
}

TEST_F(FoundPlayer, VerifyFailureGivesMinus4AndSilenceMinus9) {
  const auto before = CardSector(10);
  playersim_SetFaults({.failVerifies = 1});
  SectorBuffer buffer = Filled(0x33);
  EXPECT_EQ(ser_WriteSector(1, 10, buffer), -VEXO_ERROR_DATA_WRITE_VERIFY);
  EXPECT_EQ(CardSector(10), before);
  ASSERT_EQ(ser_WriteSector(1, 10, buffer), 0);
  playersim_SetFaults({.silent = true});
  EXPECT_EQ(ser_WriteNextSector(1, buffer), -VEXO_ERROR_DATA_WRITE_TIMEOUT);
}

TEST_F(FoundPlayer, BlockCorruptedOnTheLineIsNotWritten) {
  const auto before = CardSector(20);
  playersim_SetFaults({.corruptReceiveAt = 7 + 300});  // a data byte of the 514-byte block
  SectorBuffer buffer = ToSector(Pattern(512, 9));
  EXPECT_EQ(ser_WriteSector(1, 20, buffer), -VEXO_ERROR_DATA_WRITE_VERIFY);
  EXPECT_EQ(CardSector(20), before);
  EXPECT_EQ(playersim_Counters().crcErrors, 1u);
}

// Streamed blocks whose first bytes look like commands are still blocks:
// a search digit, the version query, and a whole valid-looking request.
TEST_F(FoundPlayer, StreamedBlocksThatStartLikeCommandsAreWritten) {
  SectorBuffer buffer = ToSector(Pattern(512, 4));
  ASSERT_EQ(ser_WriteSector(1, 40, buffer), 0);
  const auto request = ser_BuildRequest(SER_CMD_READ, 3);
  std::vector<std::vector<uint8_t>> blocks;
  for (uint8_t first : {uint8_t{'1'}, uint8_t{'o'}, uint8_t{'2'}}) {
    auto block = Pattern(512, first);
    block[0] = first;
    blocks.push_back(block);
  }
  auto lookalike = Pattern(512, 11);
  std::copy(request.begin(), request.end(), lookalike.begin());
  blocks.push_back(lookalike);
  auto writeLike = Pattern(512, 12);
  const auto writeRequest = ser_BuildRequest(SER_CMD_WRITE, 7);
  std::copy(writeRequest.begin(), writeRequest.end(), writeLike.begin());
  blocks.push_back(writeLike);
  for (const auto& block : blocks) {
    SectorBuffer next = ToSector(block);
    ASSERT_EQ(ser_WriteNextSector(1, next), 0);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(CardSector(41 + i), blocks[i]);
  EXPECT_EQ(playersim_Counters().searches[0], 1u);
  EXPECT_EQ(playersim_Counters().versionQueries, 0u);
}

// After a 'V' a lone command byte is a command.
TEST_F(FoundPlayer, CommandsAfterAWriteStreamAreAnswered) {
  SectorBuffer buffer = ToSector(Pattern(512, 5));
  ASSERT_EQ(ser_WriteSector(1, 50, buffer), 0);
  EXPECT_EQ(ser_GetVersion(1), 214);
  ASSERT_EQ(ser_WriteSector(1, 51, buffer), 0);
  EXPECT_EQ(ser_Search(1, 1), static_cast<int32_t>(kCardSize));
  ASSERT_EQ(ser_WriteSector(1, 52, buffer), 0);
  SectorBuffer read{};
  ASSERT_EQ(ser_ReadSector(1, 50, read, 1), 0);
  EXPECT_EQ(DataOf(read), DataOf(buffer));
  ASSERT_EQ(ser_WriteSector(1, 53, buffer), 0);
  ASSERT_EQ(ser_WriteSector(1, 54, buffer), 0);  // a write request after 'V'
  EXPECT_EQ(CardSector(54), DataOf(buffer));
  EXPECT_EQ(playersim_Counters().strayBytes, 0u);
}

TEST_F(FoundPlayer, ReadRetryResyncsAndAsksByRequest) {
  // Status byte and block of sector 60, then inside the streamed block of 61
  // that the 'n' after sector 60 brings.
  playersim_SetFaults({.corruptSendAt = 1 + 513 + 20});
  SectorBuffer buffer{};
  ASSERT_EQ(ser_ReadSector(1, 60, buffer, 1), 0);
  playersim_ResetCounters();
  vexo_ResetDelayUnitsTotal();
  ASSERT_EQ(ser_ReadSectorRtr(1, 1, 61, buffer, 0, 4), 0);
  EXPECT_EQ(DataOf(buffer), CardSector(61));
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.searches[0], 1u);
  EXPECT_EQ(counters.readRequests, 1u);
  EXPECT_GE(vexo_DelayUnitsTotal(), 150u);
}

TEST_F(FoundPlayer, ReadRetryGivesUpAfterItsAttempts) {
  playersim_ResetCounters();
  playersim_SetFaults({.refuseReads = 100});
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSectorRtr(1, 1, 61, buffer, 1, 4), -VEXO_ERROR_MSG_CRC_ERROR);
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.refusals, 4u);     // four attempts
  EXPECT_EQ(counters.searches[0], 3u);  // a resync between each two
}

TEST_F(FoundPlayer, ReadRetryCountsAFailedResyncAsAnAttempt) {
  playersim_ResetCounters();
  playersim_SetFaults({.refuseReads = 1, .emptySlot = 1, .emptyAfterSectors = 0});
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSectorRtr(1, 1, 61, buffer, 1, 3), -VEXO_ERROR_TALVARO_NOT_FOUND);
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.refusals, 1u);
  EXPECT_EQ(counters.searches[0], 10u);  // two resyncs of five searches
}

TEST_F(FoundPlayer, WriteFirstRetryResyncsAfterEveryFailure) {
  playersim_ResetCounters();
  playersim_SetFaults({.failVerifies = 2});
  SectorBuffer buffer = ToSector(Pattern(512, 6));
  ASSERT_EQ(ser_WriteSectorFirstRtr(1, 1, 70, buffer, 4), 0);
  EXPECT_EQ(CardSector(70), DataOf(buffer));
  EXPECT_EQ(playersim_Counters().searches[0], 2u);
  playersim_SetFaults({.failVerifies = 10});
  playersim_ResetCounters();
  EXPECT_EQ(ser_WriteSectorFirstRtr(1, 1, 71, buffer, 4), -VEXO_ERROR_DATA_WRITE_VERIFY);
  EXPECT_EQ(playersim_Counters().writeRequests, 4u);
  EXPECT_EQ(playersim_Counters().searches[0], 4u);  // the last failure too
}

TEST_F(FoundPlayer, WriteNextRetryRestartsTheStreamByRequest) {
  SectorBuffer buffer = ToSector(Pattern(512, 7));
  ASSERT_EQ(ser_WriteSector(1, 80, buffer), 0);
  playersim_ResetCounters();
  playersim_SetFaults({.failVerifies = 1});
  SectorBuffer next = ToSector(Pattern(512, 8));
  ASSERT_EQ(ser_WriteSectorNextRtr(1, 1, 81, next, 4), 0);
  EXPECT_EQ(CardSector(81), DataOf(next));
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.streamedWrites, 0u);
  EXPECT_EQ(counters.writeRequests, 1u);
  EXPECT_EQ(counters.searches[0], 1u);
}

TEST_F(PlayerLine, SearchAnswerWithImpossibleSizeIsAFailedSearch) {
  for (uint32_t size : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    Restart(size);
    uint32_t found = 12345;
    EXPECT_EQ(ser_Search(1, 1), -VEXO_ERROR_TALVARO_NOT_FOUND) << size;
    EXPECT_EQ(ser_MultiSearch(1, 1, &found, 1), -VEXO_ERROR_TALVARO_NOT_FOUND) << size;
    EXPECT_EQ(found, 12345u);
  }
  Restart(0x7FFFFFFFu);
  EXPECT_EQ(ser_Search(1, 1), 0x7FFFFFFF);
}

TEST_F(PlayerLine, SendRawWritesTheBytes) {
  const uint8_t bytes[] = {0x01, 0x02, 0x03};
  EXPECT_EQ(ser_SendRaw(1, bytes, 3), 0);
  ASSERT_TRUE(playersim_WaitQuiet(2000));
  EXPECT_EQ(PcBytes(), std::vector<uint8_t>({1, 2, 3}));
}

TEST_F(PlayerLine, SectorsBeyondTheRequestAddressAreRefusedBeforeSending) {
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, SER_MAX_SECTOR + 1, buffer, 1), -VEXO_ERROR_CMD_READ);
  EXPECT_EQ(ser_WriteSector(1, SER_MAX_SECTOR + 1, buffer), -VEXO_ERROR_CMD_WRITE);
  EXPECT_TRUE(PcBytes().empty());
}

// A line left in cooked input mode turns CR into NL; the player's check
// byte catches it.
TEST_F(FoundPlayer, CookedLineIsCaughtByTheCheckByte) {
  std::vector<uint8_t> block(512, 0x00);
  block[5] = 0x0D;
  block[6] = 0x01;
  SectorBuffer buffer = ToSector(block);
  ASSERT_EQ(ser_WriteSector(1, 90, buffer), 0);
  termios cooked{};
  tcgetattr(ser_Handle(), &cooked);
  cooked.c_iflag |= ICRNL;
  tcsetattr(ser_Handle(), TCSANOW, &cooked);
  EXPECT_EQ(ser_ReadSector(1, 90, buffer, 1), -VEXO_ERROR_DATA_RECEIVE_CRC);
}

}  // namespace
