// Serial runs of sectors against the simulated player: the multi-sector
// header write (also from a first sector above 0), file copies in both
// directions with their progress lines, truncation, 1:1 image copies,
// restarts at the failing sector, stop requests, counters and rates.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "serial/ser_port.h"
#include "serial/ser_protocol.h"
#include "serial/ser_transfer.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using vexo_test::Pattern;
using vexo_test::ReadFile;
using vexo_test::WriteFile;

class PlayerTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(Card(), Pattern(260 * SECTOR_SIZE, 21));
    PlayerSimConfig config;
    config.slots[0].imagePath = Card();
    config.logBytes = true;
    session_ = std::make_unique<PlayerSimSession>(config);
    ASSERT_TRUE(session_->started);
    ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  }
  void TearDown() override {
    session_.reset();
    vexo_SetDelayHook(nullptr);
  }
  std::string Card() const { return dir_.File("card.ros"); }
  std::vector<uint8_t> CardBytes(uint32_t sector, uint32_t count) const {
    return vexo_test::ImageSectors(Card(), sector, count);
  }
  // Card sectors named in write requests on the wire, in order.
  static std::vector<uint32_t> RequestedSectors(uint8_t command) {
    const auto bytes = playersim_LoggedBytes(true);
    std::vector<uint32_t> sectors;
    for (std::size_t i = 0; i + 7 <= bytes.size(); ++i) {
      if (bytes[i] != command || bytes[i + 5] != 'm' || bytes[i + 6] != ser_Xor(&bytes[i + 1], 5)) {
        continue;
      }
      const uint32_t address = bytes[i + 1] | bytes[i + 2] << 8 | bytes[i + 3] << 16 |
                               static_cast<uint32_t>(bytes[i + 4]) << 24;
      sectors.push_back(address / SECTOR_SIZE);
    }
    return sectors;
  }

  vexo_test::TempDir dir_;
  std::unique_ptr<PlayerSimSession> session_;
};

TEST_F(PlayerTransfer, MultiSectorWriteSendsTheFirstByRequestTheRestStreamed) {
  const auto image = Pattern(3 * SECTOR_SIZE, 30);
  ASSERT_GT(ser_Search(1, 1), 0);
  playersim_ResetCounters();
  vexo_ResetDelayUnitsTotal();
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 3, image), 0);
  EXPECT_EQ(CardBytes(0, 3), image);
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.writeRequests, 1u);
  EXPECT_EQ(counters.streamedWrites, 2u);
  EXPECT_GE(vexo_DelayUnitsTotal(), 150u);  // the closing pause
}

TEST_F(PlayerTransfer, MultiSectorWriteFromAFirstSectorAboveZero) {
  const auto before = CardBytes(0, 1);
  const auto image = Pattern(4 * SECTOR_SIZE, 31);
  ASSERT_GT(ser_Search(1, 1), 0);
  playersim_ClearLog();
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 1, 3, image), 0);
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 1, image), 0);
  EXPECT_EQ(CardBytes(0, 3), std::vector<uint8_t>(image.begin(), image.begin() + 3 * 512));
  EXPECT_NE(CardBytes(0, 1), before);
  const auto original = Pattern(260 * SECTOR_SIZE, 21);
  EXPECT_EQ(CardBytes(3, 1), std::vector<uint8_t>(original.begin() + 3 * 512, original.begin() + 4 * 512));
  EXPECT_EQ(RequestedSectors('w'), std::vector<uint32_t>({1, 0}));
}

TEST_F(PlayerTransfer, MultiSectorWriteRefusesAShortImageAndEmptyRanges) {
  const auto image = Pattern(2 * SECTOR_SIZE, 32);
  EXPECT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 3, image), -VEXO_ERROR_CMD_WRITE);
  EXPECT_EQ(ser_WriteMultiSectorsRtr(1, 1, 2, 2, image), 0);
  EXPECT_TRUE(playersim_LoggedBytes(true).empty());
}

TEST_F(PlayerTransfer, MultiSectorWriteResendsAFailedSectorByRequest) {
  const auto image = Pattern(3 * SECTOR_SIZE, 33);
  ASSERT_GT(ser_Search(1, 1), 0);
  playersim_ClearLog();
  playersim_SetFaults({.corruptReceiveAt = 7 + 515 + 40});  // inside the streamed block of sector 1
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 3, image), 0);
  EXPECT_EQ(CardBytes(0, 3), image);
  EXPECT_EQ(RequestedSectors('w'), std::vector<uint32_t>({0, 1}));
}

TEST_F(PlayerTransfer, MultiSectorWriteGivesTheLastFailure) {
  ASSERT_GT(ser_Search(1, 1), 0);
  playersim_SetFaults({.failVerifies = 100});
  const auto image = Pattern(2 * SECTOR_SIZE, 34);
  EXPECT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 2, image), -VEXO_ERROR_DATA_WRITE_VERIFY);
  EXPECT_EQ(playersim_Counters().writeRequests, 4u);
}

TEST_F(PlayerTransfer, WriteFileOf1000BytesAtSector200) {
  const auto host = Pattern(1000, 40);
  WriteFile(dir_.File("song.mp3"), host);
  playersim_ResetCounters();
  ASSERT_EQ(ser_WriteFile(1, 1, 200, dir_.File("song.mp3").c_str(), 100000, 0, 0), 0);
  auto expected = host;
  expected.resize(1024, 0);  // the rest of the last sector is zero
  EXPECT_EQ(CardBytes(200, 2), expected);
  const PlayerCounters counters = playersim_Counters();
  EXPECT_EQ(counters.searches[0], 1u);
  EXPECT_EQ(counters.writeRequests, 1u);
  EXPECT_EQ(counters.streamedWrites, 1u);
  EXPECT_EQ(RequestedSectors('w'), std::vector<uint32_t>({200}));
  EXPECT_EQ(ser_GetCurrentSector(), 201u);
  EXPECT_EQ(ser_GetProgress(), 100);
  // Same second or not, a write copy's rate is 2 x 4096 over whole seconds (at least 1).
  const float rate = ser_GetTransferRate();
  ASSERT_GT(rate, 0.0f);
  const float seconds = 8192.0f / rate;
  EXPECT_FLOAT_EQ(seconds, static_cast<float>(static_cast<int>(seconds + 0.5f)));
}

TEST_F(PlayerTransfer, WriteFileProgressLinesFromIndexTen) {
  WriteFile(dir_.File("a.mp3"), Pattern(25 * SECTOR_SIZE, 41));
  testing::internal::CaptureStdout();
  const VexoResult result = ser_WriteFile(1, 1, 128, dir_.File("a.mp3").c_str(), 1u << 30, 1, 0);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, 0);
  EXPECT_EQ(out, " 10 / 25 (40%) \r 20 / 25 (80%) \r");
  EXPECT_EQ(CardBytes(128, 25), Pattern(25 * SECTOR_SIZE, 41));

  WriteFile(dir_.File("b.mp3"), Pattern(11 * SECTOR_SIZE, 42));
  testing::internal::CaptureStdout();
  ASSERT_EQ(ser_WriteFile(1, 1, 128, dir_.File("b.mp3").c_str(), 1u << 30, 1, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " 10 / 11 (90%) \r");
}

TEST_F(PlayerTransfer, WriteFileTruncatesToTheSpace) {
  WriteFile(dir_.File("big.mp3"), Pattern(5000, 43));
  const auto before = CardBytes(130, 1);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ser_WriteFile(1, 1, 128, dir_.File("big.mp3").c_str(), 1000, 1, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "- File size truncated to card space left -\n ");
  EXPECT_EQ(playersim_Counters().sectorsWritten, 2u);
  const auto host = Pattern(5000, 43);
  EXPECT_EQ(CardBytes(128, 2), std::vector<uint8_t>(host.begin(), host.begin() + 1024));
  EXPECT_EQ(CardBytes(130, 1), before);
}

TEST_F(PlayerTransfer, WriteFileOfZeroSpaceMovesNothing) {
  WriteFile(dir_.File("c.mp3"), Pattern(700, 44));
  playersim_ResetCounters();
  ASSERT_EQ(ser_WriteFile(1, 1, 128, dir_.File("c.mp3").c_str(), 0, 0, 0), 0);
  EXPECT_EQ(playersim_Counters().searches[0], 1u);
  EXPECT_EQ(playersim_Counters().sectorsWritten, 0u);
}

TEST_F(PlayerTransfer, WriteFileFailuresBeforeAnythingIsSent) {
  WriteFile(dir_.File("empty.mp3"), {});
  EXPECT_EQ(ser_WriteFile(1, 1, 128, dir_.File("empty.mp3").c_str(), 1000, 0, 0),
            -VEXO_ERROR_FILE_SIZE_ZERO);
  EXPECT_EQ(ser_WriteFile(1, 1, 128, dir_.File("missing.mp3").c_str(), 1000, 0, 0),
            -VEXO_ERROR_FILE_SIZE_ZERO);
  EXPECT_EQ(ser_WriteFile(1, 2, 128, dir_.File("empty.mp3").c_str(), 1000, 0, 0),
            -VEXO_ERROR_TALVARO_NOT_FOUND);  // slot 2 is empty
  EXPECT_EQ(ser_GetTransferRate(), 0.0f);
  EXPECT_EQ(playersim_Counters().sectorsWritten, 0u);
}

TEST_F(PlayerTransfer, RawWriteCopiesTheImageOneToOne) {
  const auto raw = Pattern(3 * SECTOR_SIZE + 100, 45);
  WriteFile(dir_.File("raw.bin"), raw);
  ASSERT_EQ(ser_WriteFile(1, 1, 0, dir_.File("raw.bin").c_str(), 1u << 30, 0, 1), 0);
  auto expected = raw;
  expected.resize(4 * SECTOR_SIZE, 0);
  EXPECT_EQ(CardBytes(0, 4), expected);
}

TEST_F(PlayerTransfer, StreamedSectorThatFailsIsResentAtItsOwnSector) {
  WriteFile(dir_.File("d.mp3"), Pattern(5 * SECTOR_SIZE, 46));
  // search (1) + sector 140 by request (7 + 514 + 1) + sector 141 (515) + into 142
  playersim_SetFaults({.corruptReceiveAt = 1 + 522 + 515 + 33});
  playersim_ClearLog();
  ASSERT_EQ(ser_WriteFile(1, 1, 140, dir_.File("d.mp3").c_str(), 1u << 30, 0, 0), 0);
  EXPECT_EQ(CardBytes(140, 5), Pattern(5 * SECTOR_SIZE, 46));
  EXPECT_EQ(RequestedSectors('w'), std::vector<uint32_t>({140, 142}));
}

TEST_F(PlayerTransfer, CardPulledDuringAWriteEndsItWithTheSearchFailure) {
  WriteFile(dir_.File("e.mp3"), Pattern(6 * SECTOR_SIZE, 47));
  playersim_SetFaults({.emptySlot = 1, .emptyAfterSectors = 3});
  EXPECT_EQ(ser_WriteFile(1, 1, 150, dir_.File("e.mp3").c_str(), 1u << 30, 0, 0),
            -VEXO_ERROR_TALVARO_NOT_FOUND);
  EXPECT_EQ(playersim_Counters().sectorsWritten, 3u);
  EXPECT_EQ(ser_GetTransferRate(), 0.0f);
  EXPECT_EQ(ser_GetCurrentSector(), 152u);
  EXPECT_EQ(ser_GetProgress(), 50);  // failing at index 3 of 6
}

// Stops the transfer from inside the first sector's request pause.
void StopDuringRequestPause(uint32_t units) {
  if (units == 20) ser_StopTransfer();
  playersim_DelayHook(units);
}

TEST_F(PlayerTransfer, StopRequestedDuringTheFirstSectorEndsAfterTheSecond) {
  WriteFile(dir_.File("f.mp3"), Pattern(6 * SECTOR_SIZE, 48));
  ser_StopTransfer();  // before the copy: cleared when it starts
  vexo_SetDelayHook(StopDuringRequestPause);
  EXPECT_EQ(ser_WriteFile(1, 1, 160, dir_.File("f.mp3").c_str(), 1u << 30, 0, 0),
            -VEXO_ERROR_TRANSFER_STOPPED);
  vexo_SetDelayHook(playersim_DelayHook);
  EXPECT_EQ(playersim_Counters().sectorsWritten, 2u);
  EXPECT_EQ(ser_GetCurrentSector(), 161u);
}

TEST_F(PlayerTransfer, ReadFileGivesExactlyTheLength) {
  ASSERT_EQ(ser_ReadFile(1, 1, 10, 1000, dir_.File("out1").c_str(), 0), 0);
  const auto card = CardBytes(10, 2);
  EXPECT_EQ(ReadFile(dir_.File("out1")), std::vector<uint8_t>(card.begin(), card.begin() + 1000));
  ASSERT_EQ(ser_ReadFile(1, 1, 10, 100, dir_.File("out2").c_str(), 0), 0);
  EXPECT_EQ(ReadFile(dir_.File("out2")), std::vector<uint8_t>(card.begin(), card.begin() + 100));
  EXPECT_EQ(ser_GetProgress(), 100);
  const float rate = ser_GetTransferRate();
  EXPECT_TRUE(rate == 0.0f || rate == 4096.0f || rate <= 2048.0f) << rate;
}

TEST_F(PlayerTransfer, ReadFileProgressAndStreaming) {
  playersim_ResetCounters();
  testing::internal::CaptureStdout();
  ASSERT_EQ(ser_ReadFile(1, 1, 100, 25 * SECTOR_SIZE, dir_.File("out").c_str(), 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " 10 / 25 (40%) \r 20 / 25 (80%) \r");
  EXPECT_EQ(ReadFile(dir_.File("out")), CardBytes(100, 25));
  EXPECT_EQ(playersim_Counters().readRequests, 1u);
  EXPECT_GE(playersim_Counters().streamedReads, 24u);
}

TEST_F(PlayerTransfer, ReadFileOfZeroBytesCreatesAnEmptyFile) {
  playersim_ResetCounters();
  ASSERT_EQ(ser_ReadFile(1, 1, 10, 0, dir_.File("none").c_str(), 0), 0);
  EXPECT_TRUE(vexo_test::FileExists(dir_.File("none")));
  EXPECT_TRUE(ReadFile(dir_.File("none")).empty());
  EXPECT_EQ(playersim_Counters().readRequests, 0u);
}

TEST_F(PlayerTransfer, StreamedReadThatFailsIsRequestedAtItsOwnSector) {
  // search answer (5), status and sector 30 (514), sector 31 (513), into 32
  playersim_SetFaults({.corruptSendAt = 5 + 514 + 513 + 77});
  playersim_ClearLog();
  ASSERT_EQ(ser_ReadFile(1, 1, 30, 5 * SECTOR_SIZE, dir_.File("out").c_str(), 0), 0);
  EXPECT_EQ(ReadFile(dir_.File("out")), CardBytes(30, 5));
  EXPECT_EQ(RequestedSectors('r'), std::vector<uint32_t>({30, 32}));
}

TEST_F(PlayerTransfer, ReadFileHostFailures) {
  EXPECT_EQ(ser_ReadFile(1, 1, 10, 1000, dir_.File("no/such/dir").c_str(), 0),
            -VEXO_ERROR_FILE_CREATE);
  // A host file that takes no bytes: the copy fails, never reports success.
  EXPECT_EQ(ser_ReadFile(1, 1, 10, 3 * SECTOR_SIZE, "/dev/full", 0), -VEXO_ERROR_FILE_WRITE);
  EXPECT_EQ(ser_GetTransferRate(), 0.0f);
}

TEST_F(PlayerTransfer, ReadFileGivesUpWithTheLastFailure) {
  playersim_SetFaults({.refuseReads = 100});
  EXPECT_EQ(ser_ReadFile(1, 1, 10, 1000, dir_.File("out").c_str(), 0),
            -VEXO_ERROR_MSG_CRC_ERROR);
  EXPECT_EQ(playersim_Counters().refusals, 4u);
  EXPECT_TRUE(ReadFile(dir_.File("out")).empty());
}

TEST_F(PlayerTransfer, OpeningTheLineResetsTheCounters) {
  ASSERT_EQ(ser_ReadFile(1, 1, 10, 1000, dir_.File("out").c_str(), 0), 0);
  EXPECT_EQ(ser_GetProgress(), 100);
  vexo_serial_Close(1);
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  EXPECT_EQ(ser_GetProgress(), 0);
}

}  // namespace
