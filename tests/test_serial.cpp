// The serial driver: the line on a pseudo-terminal, then the player protocol and
// transfers against the simulated player: bytes on the wire, failures, retries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "drivers/serial/ser_port.h"
#include "drivers/serial/ser_protocol.h"
#include "drivers/serial/ser_transfer.h"
#include "sim/player_sim_session.h"
#include "support/test_support.h"

namespace {

using namespace vexo_test;

// ---- The line ---------------------------------------------------------------------

// A pty pair: the driver opens the slave through the path redirect, the test plays the master.
class PtyLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    ser_SetDevicePathOverride(ttyname(slave_));
    vexo_test::UseNoDelay();
  }
  void TearDown() override {
    vexo_serial_Close(1);
    ser_SetDevicePathOverride(nullptr);
    vexo_SetDelayHook(nullptr);
    close(master_);
    close(slave_);
  }
  termios Settings() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
  }
  void Feed(const Bytes& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    for (int i = 0; i < 2000; ++i) {  // the pty hands bytes over asynchronously
      pollfd entry{slave_, POLLIN, 0};
      if (poll(&entry, 1, 1) > 0) return;
    }
  }
  int master_ = -1;
  int slave_ = -1;
};

TEST_F(PtyLine, OpenMakesTheLineRaw8N1AtTheAskedSpeedAndCloseRestoresIt) {
  termios before = Settings();
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  before.c_iflag |= ICRNL | IXON;
  before.c_oflag |= OPOST | ONLCR;
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
  before.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  before = Settings();
  for (const auto& [baud, speed] : {std::pair{115200, B115200}, std::pair{57600, B57600}}) {
    ASSERT_EQ(vexo_serial_Open(1, baud), 0);
    const termios now = Settings();
    EXPECT_EQ(now.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(now.c_oflag, 0u);
    EXPECT_EQ(now.c_lflag, 0u);
    EXPECT_EQ(now.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_NE(now.c_cflag & CRTSCTS, 0u) << "hardware flow control as it was";
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(speed)) << baud;
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(speed)) << baud;
    EXPECT_NE(fcntl(ser_Handle(), F_GETFL) & O_NONBLOCK, 0);
    // A second open of the line is refused and leaves its settings alone.
    EXPECT_EQ(ser_OpenDevice(ttyname(slave_), 9600), -VEXO_ERROR_PORT_IN_USE);
    const termios again = Settings();
    EXPECT_EQ(std::memcmp(&again, &now, sizeof now), 0);

    EXPECT_EQ(vexo_serial_Close(1), 4);
    EXPECT_EQ(ser_Handle(), -1);
    const termios after = Settings();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0) << "every setting as it was";
  }
}

TEST_F(PtyLine, PortsAndDevicesThatAreNoSerialLineAreRefused) {
  termios before = Settings();
  before.c_lflag |= ECHO;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  EXPECT_EQ(vexo_serial_Open(33, 115200), -VEXO_ERROR_COM_OPEN);
  EXPECT_EQ(vexo_serial_Open(0, 115200), -VEXO_ERROR_COM_OPEN);
  EXPECT_NE(Settings().c_lflag & ECHO, 0u) << "the redirected line was not opened";
  EXPECT_EQ(vexo_serial_Close(33), -VEXO_ERROR_COM_CLOSE);
  EXPECT_EQ(vexo_serial_Open(32, 115200), 0);
  for (const char* path : {"/nonexistent/tty", "/dev/null"}) {
    ser_SetDevicePathOverride(path);
    EXPECT_EQ(vexo_serial_Open(1, 115200), -VEXO_ERROR_COM_OPEN) << path;
    EXPECT_EQ(ser_Handle(), -1);
  }
  ser_SetDevicePathOverride(nullptr);
  EXPECT_EQ(ser_DevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(ser_DevicePath(32), "/dev/ttyS31");
  // Without a line every operation fails cleanly.
  const uint8_t byte = 1;
  uint8_t buffer[2] = {};
  EXPECT_EQ(ser_Write(&byte, 1), 0);
  EXPECT_EQ(ser_ReadOnce(buffer, 1), -1);
  EXPECT_EQ(ser_ReadTimeout(buffer, 2, 1), -1);
}

// The far end answers from the empty-poll hook, after the n-th silent wait.
int g_silentWaits = 0, g_answerAfter = 0, g_farEnd = -1, g_nearEnd = -1;
void AnswerAfterSilentWaits() {
  if (++g_silentWaits != g_answerAfter) return;
  const uint8_t refused = 'E';
  (void)!write(g_farEnd, &refused, 1);
  pollfd handed{g_nearEnd, POLLIN, 0};  // the pty hands it over
  poll(&handed, 1, 2000);
}

TEST_F(PtyLine, ReadTimeoutCountsSilentPolls) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  Feed({1, 2, 3, 4, 5, 6});
  uint8_t buffer[5] = {};
  EXPECT_EQ(ser_ReadTimeout(buffer, 5, 10), 5);
  EXPECT_EQ(buffer[4], 5);
  EXPECT_EQ(ser_ReadTimeout(buffer, 1, 1), 1) << "a limit of 1: no poll came back empty";
  EXPECT_EQ(buffer[0], 6);
  EXPECT_EQ(ser_ReadTimeout(buffer, 1, 1), -1);
  Feed({7, 8, 9});
  std::fill(buffer, buffer + 5, 0);
  EXPECT_EQ(ser_ReadTimeout(buffer, 5, 10), -1) << "silence before the count";
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{7, 8, 9, 0}));
  // A byte that comes while it waits is taken, also in the last wait; none is a time-out.
  g_farEnd = master_;
  g_nearEnd = slave_;
  ser_SetEmptyPollHook(AnswerAfterSilentWaits);
  for (const auto& [limit, answerAfter, result] : {std::tuple{10, 3, 1}, {1, 1, 1}, {4, 0, -1}}) {
    g_silentWaits = 0;
    g_answerAfter = answerAfter;
    EXPECT_EQ(ser_ReadTimeout(buffer, 1, limit), result) << limit << " " << answerAfter;
  }
  ser_SetEmptyPollHook(nullptr);
}

// A hang-up ends a read at once, without spinning, and every later read and write.
TEST_F(PtyLine, AHangUpLosesTheLineAtOnce) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  close(master_);
  master_ = -1;
  uint8_t buffer[4] = {};
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  EXPECT_EQ(ser_ReadTimeout(buffer, 4, 500), SER_LINE_LOST);
  EXPECT_EQ(ser_ReadTimeout(buffer, 4, 500), SER_LINE_LOST);
  EXPECT_EQ(ser_Write(buffer, 1), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 10);
  EXPECT_TRUE(ser_LineLost());
}

TEST_F(PtyLine, WriteCompletesWhileTheFarEndReadsAndFailsWhenItStops) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  const Bytes bytes = Pattern(256 * 1024, 7);
  Bytes received;
  std::thread reader([&] {
    uint8_t chunk[4096];
    while (received.size() < bytes.size()) {
      pollfd entry{master_, POLLIN, 0};
      if (poll(&entry, 1, 3000) <= 0) break;
      const ssize_t got = read(master_, chunk, sizeof chunk);
      if (got <= 0) break;
      received.insert(received.end(), chunk, chunk + got);
    }
  });
  EXPECT_EQ(ser_Write(bytes.data(), bytes.size()), 1);
  reader.join();
  EXPECT_EQ(received, bytes);
  const Bytes lots(1024 * 1024, 0x55);  // nobody reads now: the line stops taking bytes
  EXPECT_EQ(ser_Write(lots.data(), lots.size()), 0);
}

// ---- The player protocol ------------------------------------------------------------

// A player with a patterned card in slot 1, the line open at 115200, the card found.
class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    vexo_test::WriteFile(Card(), Pattern(300 * SECTOR_SIZE, 3));
    Restart();
    playersim_ClearLog();
    playersim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
  }
  // A new player session with the line open; the card found unless `find` is false.
  void Restart(uint32_t cardSize = kCardSize, bool find = true) {
    session_.reset();
    PlayerSimConfig config;
    config.logBytes = true;
    config.slots[0].imagePath = Card();
    config.slots[0].cardSize = cardSize;
    session_ = std::make_unique<PlayerSimSession>(config);
    ASSERT_TRUE(session_->started);
    ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
    ASSERT_TRUE(!find || ser_MultiSearch(1, 1, nullptr, 5) == 0) << "the card was not found";
  }
  void TearDown() override { session_.reset(); }
  std::string Card() const { return dir_.File("card1.ros"); }
  Bytes CardSectors(uint32_t sector, uint32_t count = 1) const {
    return vexo_test::ImageSectors(Card(), sector, count);
  }
  static Bytes PcBytes() { return playersim_LoggedBytes(true); }
  // Card sectors named in requests of this command on the wire, in order.
  static std::vector<uint32_t> RequestedSectors(uint8_t command) {
    const Bytes bytes = PcBytes();
    std::vector<uint32_t> sectors;
    for (std::size_t i = 0; i + 7 <= bytes.size(); ++i) {
      if (bytes[i] != command || bytes[i + 5] != 'm' || bytes[i + 6] != ser_Xor(&bytes[i + 1], 5)) continue;
      sectors.push_back(vexo_test::Le32(bytes, i + 1) / SECTOR_SIZE);
    }
    return sectors;
  }
  vexo_test::TempDir dir_;
  std::unique_ptr<PlayerSimSession> session_;
};

TEST_F(Player, SearchAnswers) {
  EXPECT_EQ(ser_Search(1, 1), static_cast<int32_t>(kCardSize));
  EXPECT_EQ(PcBytes(), Bytes{'1'});
  EXPECT_EQ(ser_Search(1, 2), -VEXO_ERROR_TALVARO_NOT_FOUND) << "an empty slot answers, not 'H'";
  playersim_SetFaults({.dropSendAt = 4});  // the answer's last byte never comes
  EXPECT_EQ(ser_Search(1, 1), -VEXO_ERROR_TALVARO_NOT_FOUND);
  playersim_ClearLog();
  uint32_t size = 77;
  for (int slot : {0, 3}) {
    EXPECT_EQ(ser_Search(1, slot), -VEXO_ERROR_MAX_CARD);
    EXPECT_EQ(ser_MultiSearch(1, slot, &size, 3), -VEXO_ERROR_MAX_CARD);
  }
  EXPECT_TRUE(PcBytes().empty()) << "no slot 0 or 3 to ask for";
  playersim_SetFaults({.silent = true});
  vexo_ResetDelayUnitsTotal();
  const uint64_t written = ser_BytesWrittenTotal();
  EXPECT_EQ(ser_MultiSearch(1, 1, &size, 3), -VEXO_ERROR_TALVARO_NOT_FOUND);
  EXPECT_EQ(ser_BytesWrittenTotal() - written, 3u) << "one search digit a try";
  EXPECT_EQ(vexo_DelayUnitsTotal(), 3u * (1 + 5));  // 10 ms before, 50 ms after each
  EXPECT_EQ(size, 77u);
  // A size the player cannot hold is a failed search.
  for (uint32_t impossible : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    Restart(impossible, false);
    EXPECT_EQ(ser_MultiSearch(1, 1, &size, 1), -VEXO_ERROR_TALVARO_NOT_FOUND) << impossible;
    EXPECT_EQ(size, 77u);
  }
  Restart(0x7FFFFFFFu, false);
  EXPECT_EQ(ser_Search(1, 1), 0x7FFFFFFF);
}

// A failed read sends no 'n' and the next read works; a failed write leaves the sector.
TEST_F(Player, SectorFaults) {
  const struct { const char* what; bool write; PlayerFaults faults; uint32_t cardSize; VexoResult result; } cases[] = {
      {"wrong check byte", false, {.corruptSendAt = 1 + 100}, kCardSize, -VEXO_ERROR_DATA_RECEIVE_CRC},
      {"refused", false, {.refuseReads = 1}, kCardSize, -VEXO_ERROR_MSG_CRC_ERROR},
      {"request corrupted on the line", false, {.corruptReceiveAt = 6}, kCardSize, -VEXO_ERROR_MSG_CRC_ERROR},
      {"outside the card", false, {}, 5 * SECTOR_SIZE, -VEXO_ERROR_MSG_CRC_ERROR},
      {"silent player", false, {.silent = true}, kCardSize, -VEXO_ERROR_DATA_RECEIVE_TIMEOUT},
      {"verify failed", true, {.failVerifies = 1}, kCardSize, -VEXO_ERROR_DATA_WRITE_VERIFY},
      {"block corrupted on the line", true, {.corruptReceiveAt = 7 + 300}, kCardSize, -VEXO_ERROR_DATA_WRITE_VERIFY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Restart(c.cardSize);
    playersim_ClearLog();
    const Bytes before = CardSectors(20);
    playersim_SetFaults(c.faults);
    SectorBuffer buffer = ToSector(Pattern(512, 9));
    EXPECT_EQ(c.write ? ser_WriteSector(1, 20, buffer) : ser_ReadSector(1, 5, buffer, 1), c.result);
    playersim_SetFaults({});
    EXPECT_EQ(CardSectors(20), before);
    if (c.write) continue;
    EXPECT_EQ(PcBytes().size(), 7u) << "the request, and no 'n'";
    EXPECT_EQ(ser_ReadSector(1, 4, buffer, 1), 0);
  }
  SectorBuffer buffer{};
  EXPECT_EQ(ser_ReadSector(1, SER_MAX_SECTOR + 1, buffer, 1), -VEXO_ERROR_CMD_READ);
  EXPECT_EQ(ser_WriteSector(1, SER_MAX_SECTOR + 1, buffer), -VEXO_ERROR_CMD_WRITE);
  playersim_SetFaults({.silent = true});
  EXPECT_EQ(ser_WriteNextSector(1, buffer), -VEXO_ERROR_DATA_WRITE_TIMEOUT);
}

// A read asked for right behind another: the block that the first read's
// 'n' brought is no answer to it, so it needs no retry.
TEST_F(Player, AReadByRequestRightAfterAReadIsAnsweredAtOnce) {
  SectorBuffer buffer{};
  ASSERT_EQ(ser_ReadSector(1, 7, buffer, 1), 0);
  EXPECT_EQ(ser_ReadSector(1, 40, buffer, 1), 0);
  EXPECT_EQ(DataOf(buffer), CardSectors(40));
  EXPECT_EQ(playersim_Counters().streamedReads, 2u) << "sectors 8 and 41, each after a read's 'n'";
  EXPECT_EQ(playersim_Counters().readRequests, 2u);
}

// The retry wrappers: attempts, what comes between them, and a retry by request.
TEST_F(Player, RetriesResyncAndAskByRequest) {
  SectorBuffer buffer = ToSector(Pattern(512, 6));
  const Bytes image = Pattern(83 * 512, 6);  // sectors by their card position
  const struct {
    const char* what;
    PlayerFaults faults;
    std::function<VexoResult()> run;
    VexoResult result;
    uint32_t searches, readRequests, writeRequests;  // read requests answered or refused
  } cases[] = {
      // Inside the streamed block of 61 that the 'n' after sector 60 brings.
      {"streamed read corrupted", {.corruptSendAt = 1 + 513 + 20},
       [&] { ser_ReadSector(1, 60, buffer, 1); return ser_ReadSectorRtr(1, 1, 61, buffer, 0, 4); }, 0, 1, 2, 0},
      {"read refused always", {.refuseReads = 100}, [&] { return ser_ReadSectorRtr(1, 1, 61, buffer, 1, 4); },
       -VEXO_ERROR_MSG_CRC_ERROR, 3, 4, 0},
      {"resync fails", {.refuseReads = 1, .emptySlot = 1, .emptyAfterSectors = 0},
       [&] { return ser_ReadSectorRtr(1, 1, 61, buffer, 1, 3); }, -VEXO_ERROR_TALVARO_NOT_FOUND, 10, 1, 0},
      {"first of a run fails twice", {.failVerifies = 2},
       [&] { return ser_WriteMultiSectorsRtr(1, 1, 70, 71, image); }, 0, 2, 0, 3},
      {"first of a run fails always", {.failVerifies = 10},
       [&] { return ser_WriteMultiSectorsRtr(1, 1, 72, 73, image); }, -VEXO_ERROR_DATA_WRITE_VERIFY, 4, 0, 4},
      {"streamed one fails once", {},
       [&] {
         playersim_SetFaults({.corruptReceiveAt = 7 + 515 + 40});  // inside the streamed block
         return ser_WriteMultiSectorsRtr(1, 1, 80, 82, image);
       },
       0, 1, 0, 2},
  };
  for (const auto& c : cases) {
    playersim_SetFaults(c.faults);
    playersim_ResetCounters();
    vexo_ResetDelayUnitsTotal();
    EXPECT_EQ(c.run(), c.result) << c.what;
    const PlayerCounters counters = playersim_Counters();
    // At least these: on a loaded machine a search may go unanswered in time.
    EXPECT_GE(counters.searches[0], c.searches) << c.what;
    EXPECT_GE(counters.readRequests + counters.refusals, c.readRequests) << c.what;
    EXPECT_GE(counters.writeRequests, c.writeRequests) << c.what;
    EXPECT_GE(vexo_DelayUnitsTotal(), 150u * std::min(c.searches, 1u)) << c.what;
    playersim_SetFaults({});
    playersim_SetSlotImage(1, Card());
    ASSERT_EQ(ser_MultiSearch(1, 1, nullptr, 5), 0);  // as a resync: a streamed block may still come
  }
  EXPECT_EQ(CardSectors(70), vexo_test::Slice(image, 70 * 512, 512));
  EXPECT_EQ(CardSectors(80, 2), vexo_test::Slice(image, 80 * 512, 1024));
}

// ---- Serial transfers ----------------------------------------------------------------

TEST_F(Player, HeaderSectorsGoFirstByRequestTheRestStreamed) {
  const Bytes image = Pattern(4 * SECTOR_SIZE, 30);
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 1, 3, image), 0);
  ASSERT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 1, image), 0);
  EXPECT_EQ(CardSectors(0, 3), vexo_test::Slice(image, 0, 3 * 512));
  EXPECT_EQ(CardSectors(3), vexo_test::Slice(Pattern(300 * 512, 3), 3 * 512, 512));
  EXPECT_EQ(RequestedSectors('w'), std::vector<uint32_t>({1, 0}));
  EXPECT_EQ(playersim_Counters().streamedWrites, 1u);
  EXPECT_GE(vexo_DelayUnitsTotal(), 2u * 150u) << "the closing pauses";
  playersim_ClearLog();
  EXPECT_EQ(ser_WriteMultiSectorsRtr(1, 1, 0, 5, image), -VEXO_ERROR_CMD_WRITE) << "image too short";
  EXPECT_EQ(ser_WriteMultiSectorsRtr(1, 1, 2, 2, image), 0);
  EXPECT_TRUE(PcBytes().empty());
}

// A player that sends byte by byte at the line's pace is read without a re-request.
TEST(PacedPlayer, ByteAtATimeAt57600IsReadWithoutAReRequest) {
  vexo_test::TempDir dir;
  const auto card = Pattern(16 * 512, 9);
  PlayerSimConfig config;
  config.slots[0].imagePath = dir.Write("card.ros", card);
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

// ---- USB serial adapters ---------------------------------------------------------------

TEST(UsbSerial, PortWordsReachTheirDevices) {
  for (const char* word : {"ttyUSB3", "ttyACM0"}) {
    TempDir dir;
    CardOnPort card(VEXO_PORT_SERIAL, dir.File("slot1.ros"));
    ASSERT_TRUE(card.ready);
    ser_SetDevicePathOverride(nullptr);
    ser_SetDeviceFolderOverride(dir.path().c_str());
    ASSERT_EQ(symlink(playersim_DevicePath().c_str(), dir.File(word).c_str()), 0);
    RunVexo({word, "--add", dir.Write("s.mp3", Pattern(3000, 6)), "Usb"});
    EXPECT_NE(RunVexo({word, "--slow", "--get"}).out.find("    1.      3000  Usb\n"), std::string::npos) << word;
    ser_SetDeviceFolderOverride(nullptr);
    ser_SetDevicePathOverride(playersim_DevicePath().c_str());
  }
}

}  // namespace
