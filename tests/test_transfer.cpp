// The file-transfer contract all three drivers share, run once per driver
// through the transport: a stop asked before a copy, a file larger than the
// space refused by the driver before a byte is written, an exact-length and
// an empty copy from the card, and host targets that fail. The progress
// lines and the zero-padded last sector are checked by the commands on every
// port (test_commands.cpp).
#include <gtest/gtest.h>

#include <string>

#include "drivers/serial/ser_port.h"
#include "support/test_support.h"
#include "transport/transport.h"

namespace {

using namespace vexo_test;

class Transfer : public testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    card = std::make_unique<vexo_test::CardOnPort>(GetParam(), dir.Write("card", Pattern(300 * 512, 9)));
    ASSERT_TRUE(card->ready);
    ASSERT_EQ(card->Open(), 0);
  }
  void TearDown() override { card.reset(); }
  // Finds the card again, as every command does before a copy (the adapter
  // leaves a copy to the card open).
  void Find() {
    uint32_t size = 0;
    ASSERT_EQ(vexo_Search(GetParam(), 1, 1, &size, 5), 0);
  }
  // A copy to or from the card with progress lines; returns its result and output.
  std::pair<VexoResult, std::string> Copy(bool toCard, uint32_t sector, const std::string& path, uint32_t n) {
    Find();
    testing::internal::CaptureStdout();
    const VexoResult result = toCard ? vexo_WriteFile(GetParam(), 1, 1, sector, path.c_str(), n, 1, 0)
                                     : vexo_ReadFile(GetParam(), 1, 1, sector, n, path.c_str(), 1);
    return {result, testing::internal::GetCapturedStdout()};
  }
  auto Write(uint32_t sector, const std::string& path, uint32_t space) { return Copy(true, sector, path, space); }
  auto Read(uint32_t sector, uint32_t length, const std::string& path) { return Copy(false, sector, path, length); }
  vexo_test::TempDir dir;
  std::unique_ptr<vexo_test::CardOnPort> card;
};

TEST_P(Transfer, CopyToTheCardGoesOnAfterAnEarlierStopAndRefusesWhatDoesNotFit) {
  const Bytes small = Pattern(1000, 1);
  vexo_StopTransfer(GetParam(), 1);  // a stop asked before a copy does not end it
  EXPECT_EQ(Write(200, dir.Write("small", small), 100000).first, 0);
  EXPECT_EQ(Slice(card->Sectors(200, 2), 0, 1000), small);

  const Bytes before = card->Sectors(240, 25);
  EXPECT_EQ(Write(240, dir.Write("big", Pattern(1001, 2)), 1000),
            std::make_pair(-VEXO_ERROR_CARD_FULL, std::string()));
  EXPECT_EQ(card->Sectors(240, 25), before) << "nothing of a file one byte too large";
  EXPECT_EQ(Write(240, dir.Write("fits", Pattern(1000, 3)), 1000).first, 0);
}

TEST_P(Transfer, CopyFromTheCardGivesExactlyTheLength) {
  const Bytes card0 = card->Sectors(0, 300);
  EXPECT_EQ(Read(10, 1000, dir.File("out")).first, 0);
  EXPECT_EQ(ReadFile(dir.File("out")), Slice(card0, 10 * 512, 1000));

  EXPECT_EQ(Read(10, 0, dir.File("none")).first, 0);
  EXPECT_TRUE(vexo_test::FileExists(dir.File("none")));
  EXPECT_TRUE(ReadFile(dir.File("none")).empty());
  EXPECT_EQ(Read(10, 1000, dir.File("no/such/dir")).first, -VEXO_ERROR_FILE_CREATE);
  // A host that takes no bytes: the copy fails, never reports success.
  EXPECT_EQ(Read(10, 1000, "/dev/full").first, -VEXO_ERROR_FILE_WRITE);
  EXPECT_EQ(Read(10, 30 * 512, "/dev/full").first, -VEXO_ERROR_FILE_WRITE);
  EXPECT_EQ(ReadFile(dir.File("card")), card0) << "reading leaves the card unchanged";
}

// Raw bytes go to the player's line alone; nothing behind the other ports
// is opened as a serial line (a slip would find no device in an empty folder).
TEST(SendRaw, OnlyThePlayersLineTakesRawBytes) {
  vexo_test::TempDir dir;
  ser_SetDeviceFolderOverride(dir.path().c_str());
  const uint8_t byte = 'o';
  for (const int32_t kind : {VEXO_PORT_ROS, VEXO_PORT_READER, VEXO_PORT_PARALLEL}) {
    EXPECT_EQ(vexo_SendRaw(kind, 1, 115200, &byte, 1), -VEXO_ERROR_NOT_SUPPORTED) << kind;
  }
  ser_SetDeviceFolderOverride(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Drivers, Transfer, testing::ValuesIn(vexo_test::kAllKinds),
                         [](const auto& info) { return std::string(vexo_test::KindName(info.param)); });

}  // namespace
