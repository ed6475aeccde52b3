// The transport layer: result messages, the dispatch for unknown kinds and
// the answers it gives itself, and the routines every driver shares.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

#include "support/test_support.h"
#include "transport/result_codes.h"
#include "transport/shared.h"
#include "transport/transport.h"

namespace {

TEST(ResultCodes, EveryMessage) {
  const char* expected[] = {
      "NO ERROR", "CMD WRITE", "COM OPEN", "TIMEOUT READ", "DATA WRITE VERIFY", "FILE NOT EXIST",
      "FILE SIZE ZERO", "COM CLOSE", "TALVARO NOT FOUND", "DATA WRITE TIMEOUT", "MAX CARD",
      "FILE CREATE", "CMD READ", "DATA RECEIVE TIMEOUT", "DATA RECEIVE CRC", "CREATE THREAD",
      "MAX COMPORT", "PORT NOT EXIST", "NO VALID HEADER", "MSG CRC ERROR",
      "PPA NO DAT START BIT", "PPA NO CARD RESPONSE", "NO VALID SAMPLE NUMBER",
      "PPA WRONG CMD RESPONSE", "PPA UNEXPECTED RESPONSE", "PPA WRONG DATA CRC16",
      "PPA STOP WRITE", "PPA CID WRITE", "PPA CSD WRITE", "TRANSFER STOPPED",
      "PPA WARN NO CID RESPONSE", "PPA BSY TIMEOUT", "PPA TIMEOUT", "PPA MAX LPT PORT",
      "PPA MEMORY ALLOC", "FILE NOT OPEN", "ROS READ", "ROS WRITE", "PPA OPEN PORT",
      "UNKNOWN ERROR", "- NOT SUPPORTED -", "CARD FULL", "TABLE FULL", "FILE WRITE",
      "CARD TOO LARGE", "FILE READ", "PORT IN USE", "NOT A REGULAR FILE", "SAME FILE AS IMAGE",
      "NOT A BLOCK DEVICE", "NO CARD IN READER"};
  ASSERT_EQ(std::size(expected), static_cast<std::size_t>(VEXO_RESULT_CODE_COUNT));
  for (int code = 0; code < VEXO_RESULT_CODE_COUNT; ++code) {
    EXPECT_STREQ(vexo_ResultMessage(-code), expected[code]) << code;
  }
  for (VexoResult outside : {-51, -1000, 1, 17, INT_MIN, INT_MAX}) {
    EXPECT_STREQ(vexo_ResultMessage(outside), "UNKNOWN ERROR") << outside;
  }
}

TEST(TransportDispatch, UnknownKindsAndTheLayersOwnAnswers) {
  for (int32_t kind : {0, 5}) {
    SectorBuffer buffer{};
    uint32_t size = 7;
    EXPECT_EQ(vexo_Open(kind, 1, 115200, "x"), -17);
    EXPECT_EQ(vexo_Close(kind, 1), -17);
    EXPECT_EQ(vexo_Search(kind, 1, 1, &size, 5), -17);
    EXPECT_EQ(vexo_SearchSecondCard(kind, 1, 1, &size, 2), -17);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(vexo_ResetCard(kind, 1, 1), -17);
    EXPECT_EQ(vexo_ReadSector(kind, 1, 1, 0, buffer, 1, 4), -17);
    EXPECT_EQ(vexo_WriteSectorFirst(kind, 1, 1, 0, buffer, 4), -17);
    EXPECT_EQ(vexo_WriteSectorNext(kind, 1, 1, 0, buffer, 4), -17);
    EXPECT_EQ(vexo_WriteFile(kind, 1, 1, 0, "x", 10, 0, 0), -17);
    EXPECT_EQ(vexo_ReadFile(kind, 1, 1, 0, 10, "x", 0), -17);
    EXPECT_EQ(vexo_GetTransferRate(kind), -17.0f);
    EXPECT_EQ(vexo_GetVersion(kind, 1), -17);
    EXPECT_EQ(vexo_GetProgress(kind), -17);
    EXPECT_EQ(vexo_StopTransfer(kind, 1), -17);
    EXPECT_EQ(vexo_GetCurrentSector(kind), 0u);
  }
  // Answered by the transport itself, without touching a device (no adapter
  // is installed here: touching the port would end the process).
  uint32_t size = 0;
  EXPECT_EQ(vexo_GetVersion(VEXO_PORT_PARALLEL, 1), 0);
  EXPECT_EQ(vexo_GetVersion(VEXO_PORT_ROS, 1), 1);
  EXPECT_EQ(vexo_SearchSecondCard(VEXO_PORT_PARALLEL, 1, 1, &size, 2), -21);
  EXPECT_EQ(vexo_SearchSecondCard(VEXO_PORT_ROS, 1, 1, &size, 2), -21);
  EXPECT_EQ(vexo_GetCurrentSector(VEXO_PORT_ROS), 0u);
  EXPECT_EQ(vexo_GetTransferRate(VEXO_PORT_ROS), 0.0f);
}

TEST(SharedRoutines, SectorArithmetic) {
  EXPECT_EQ(BytesToSectors(0), 0u);
  EXPECT_EQ(BytesToSectors(1), 1u);
  EXPECT_EQ(BytesToSectors(512), 1u);
  EXPECT_EQ(BytesToSectors(513), 2u);
  EXPECT_EQ(BytesToSectors(4000000), 7813u);
  EXPECT_EQ(BytesToSectors(0xFFFFFFFFu), 8388608u);
  EXPECT_EQ(PowerOfTwo(0), 1u);
  EXPECT_EQ(PowerOfTwo(9), 512u);
  EXPECT_EQ(PowerOfTwo(32), 0x100000000ull);
  EXPECT_EQ(vexo_BytesOfSector(0, 2, 1000), 512u);
  EXPECT_EQ(vexo_BytesOfSector(1, 2, 1000), 488u);
  EXPECT_EQ(vexo_BytesOfSector(1, 2, 1024), 512u);
}

TEST(SharedRoutines, HostFileSize) {
  vexo_test::TempDir dir;
  EXPECT_EQ(GetMP3FileSize(dir.File("missing").c_str()), 0u);
  EXPECT_EQ(GetMP3FileSize(dir.path().c_str()), 0u);
  EXPECT_EQ(GetMP3FileSize(nullptr), 0u);
  vexo_test::WriteFile(dir.File("a"), vexo_test::Pattern(1234));
  EXPECT_EQ(GetMP3FileSize(dir.File("a").c_str()), 1234u);
  // Sparse files: no disk space is used.
  const std::string big = dir.File("big");
  for (const off_t length : {off_t{0xFFFFFFFF}, off_t{0x100000000}, off_t{0x100000200}}) {
    FILE* file = std::fopen(big.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(ftruncate(fileno(file), length), 0);
    std::fclose(file);
    EXPECT_EQ(GetMP3FileSize(big.c_str()), 0xFFFFFFFFu) << length;
  }
  std::remove(big.c_str());
}

TEST(SharedRoutines, ProgressLineAndPercent) {
  testing::internal::CaptureStdout();
  for (uint32_t i = 0; i < 30; i += 10) vexo_PrintProgress(i, 30);
  vexo_PrintProgress(20, 25);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " 0 / 30 (0%) \r 10 / 30 (33%) \r 20 / 30 (66%) \r 20 / 25 (80%) \r");
  EXPECT_EQ(vexo_ProgressPercent(0, 0), 0);
  EXPECT_EQ(vexo_ProgressPercent(20, 30), 66);
  EXPECT_EQ(vexo_ProgressPercent(29, 30), 96);
  EXPECT_EQ(vexo_ProgressPercent(30, 30), 100);
  EXPECT_EQ(vexo_ProgressPercent(0xFFFFFFFEu, 0xFFFFFFFFu), 99);
}

TEST(SharedRoutines, TransferRate) {
  EXPECT_EQ(vexo_TransferRate(10, 0, false), 40960.0f);  // under a second counts as one
  EXPECT_EQ(vexo_TransferRate(10, 0, true), 0.0f);
  EXPECT_EQ(vexo_TransferRate(10, 4, false), 10240.0f);
  EXPECT_EQ(vexo_TransferRate(10, 4, true), 10240.0f);
  EXPECT_EQ(vexo_TransferRate(0, 3, false), 0.0f);
  // A card of 512 MiB or more: the bit count does not fit 32 bits.
  EXPECT_EQ(vexo_TransferRate(1048576, 1, false), 4294967296.0f);
  EXPECT_EQ(vexo_TransferRate(8388608, 2, false), 17179869184.0f);
}

TEST(SharedRoutines, HostBlocksArePaddedWithZeros) {
  vexo_test::TempDir dir;
  const std::string path = dir.File("h");
  const std::vector<uint8_t> content = vexo_test::Pattern(700);
  vexo_test::WriteFile(path, content);
  FILE* file = nullptr;
  uint32_t length = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(vexo_OpenHostSource(path.c_str(), 600, 1, VEXO_TRUNCATION_LINE_PLAIN, &file, &length), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "- File size truncated to card space left -\n ");
  EXPECT_EQ(length, 600u);
  uint8_t block[SECTOR_SIZE];
  EXPECT_TRUE(vexo_ReadHostBlock(file, block, 512));
  std::fill(block, block + SECTOR_SIZE, 0xAA);
  EXPECT_TRUE(vexo_ReadHostBlock(file, block, 88));
  EXPECT_TRUE(std::equal(block, block + 188, content.begin() + 512));
  EXPECT_TRUE(std::all_of(block + 188, block + SECTOR_SIZE, [](uint8_t b) { return b == 0; }));
  std::fclose(file);
  EXPECT_EQ(vexo_OpenHostSource(dir.File("none").c_str(), 600, 1, "", &file, &length), -6);
}

TEST(SharedRoutines, HostReadErrorIsReportedNotTurnedIntoZeros) {
  vexo_test::TempDir dir;
  // A stream open for writing only fails every read, as a failing disk does.
  FILE* file = std::fopen(dir.File("w").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  uint8_t block[SECTOR_SIZE];
  std::fill(block, block + SECTOR_SIZE, 0xAA);
  EXPECT_FALSE(vexo_ReadHostBlock(file, block, 0));
  std::fclose(file);
}

}  // namespace
