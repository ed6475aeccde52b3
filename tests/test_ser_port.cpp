// The serial line on a real pseudo-terminal: raw 8N1 settings applied and
// put back, the port range, the speed table, reads counted in silent polls,
// writes that complete or fail, discarded input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "serial/ser_port.h"
#include "transport/shared.h"

namespace {

void NoDelay(uint32_t) {}

// A pty pair whose slave the driver opens through the path redirect; the
// test plays the far end on the master.
class PtyLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    ser_SetDevicePathOverride(ttyname(slave_));
    vexo_SetDelayHook(NoDelay);
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
  void Feed(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    // The pty hands bytes to the slave asynchronously; wait until they are there.
    for (int i = 0; i < 2000; ++i) {
      pollfd entry{slave_, POLLIN, 0};
      if (poll(&entry, 1, 1) > 0) return;
    }
  }
  int master_ = -1;
  int slave_ = -1;
};

TEST_F(PtyLine, OpenMakesTheLineRaw8N1WithoutWaitingReads) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  const termios now = Settings();
  EXPECT_EQ(now.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(now.c_oflag, 0u);
  EXPECT_EQ(now.c_lflag, 0u);
  EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(now.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(now.c_cc[VMIN], 0);
  EXPECT_EQ(now.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B115200));
  EXPECT_NE(fcntl(ser_Handle(), F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(PtyLine, SlowSpeedAndOtherControlBitsKept) {
  termios before = Settings();
  before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  ASSERT_EQ(vexo_serial_Open(1, 57600), 0);
  const termios now = Settings();
  EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B57600));
  EXPECT_NE(now.c_cflag & CRTSCTS, 0u);  // hardware flow control as it was
  EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB), 0u);
}

TEST_F(PtyLine, CloseRestoresTheEarlierSettings) {
  termios before = Settings();
  cfsetospeed(&before, B9600);
  cfsetispeed(&before, B9600);
  before.c_iflag |= ICRNL | IXON;
  before.c_oflag |= OPOST | ONLCR;
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_cc[VMIN] = 1;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  before = Settings();

  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  EXPECT_EQ(Settings().c_lflag, 0u);
  EXPECT_EQ(vexo_serial_Close(1), 4);
  EXPECT_EQ(ser_Handle(), -1);
  const termios after = Settings();
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], 1);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

TEST_F(PtyLine, CloseWithoutOpenLineOnlyPauses) {
  vexo_ResetDelayUnitsTotal();
  EXPECT_EQ(vexo_serial_Close(5), 4);
  EXPECT_EQ(vexo_DelayUnitsTotal(), 1u);
}

TEST_F(PtyLine, PortsOutsideOneToThirtyTwoAreRefusedWithoutTouchingTheLine) {
  termios before = Settings();
  before.c_lflag |= ECHO;
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);
  EXPECT_EQ(vexo_serial_Open(33, 115200), -VEXO_ERROR_COM_OPEN);
  EXPECT_EQ(vexo_serial_Open(0, 115200), -VEXO_ERROR_COM_OPEN);
  EXPECT_EQ(ser_Handle(), -1);
  EXPECT_NE(Settings().c_lflag & ECHO, 0u);  // the redirected line was not opened
  EXPECT_EQ(vexo_serial_Close(33), -VEXO_ERROR_COM_CLOSE);
  EXPECT_EQ(vexo_serial_Open(32, 115200), 0);
}

TEST(SerialPath, PortNumbersNameTtySDevices) {
  ser_SetDevicePathOverride(nullptr);
  EXPECT_EQ(ser_DevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(ser_DevicePath(32), "/dev/ttyS31");
  ser_SetDevicePathOverride("/tmp/elsewhere");
  EXPECT_EQ(ser_DevicePath(7), "/tmp/elsewhere");
  ser_SetDevicePathOverride("");
  EXPECT_EQ(ser_DevicePath(7), "/dev/ttyS6");
}

TEST(SerialPath, MissingDeviceAndNonTerminalAreOpenFailures) {
  ser_SetDevicePathOverride("/nonexistent/tty");
  EXPECT_EQ(vexo_serial_Open(1, 115200), -VEXO_ERROR_COM_OPEN);
  ser_SetDevicePathOverride("/dev/null");
  EXPECT_EQ(vexo_serial_Open(1, 115200), -VEXO_ERROR_COM_OPEN);
  EXPECT_EQ(ser_Handle(), -1);
  ser_SetDevicePathOverride(nullptr);
}

// Each requested speed maps to the nearest standard one at or above it.
TEST(SerialSpeed, TableOfRequestedSpeeds) {
  const struct {
    int baud;
    speed_t speed;
  } cases[] = {{-5, B0},        {0, B0},         {1, B4800},       {7200, B4800},
               {7201, B9600},   {14400, B9600},  {14401, B19200},  {28800, B19200},
               {28801, B38400}, {48000, B38400}, {48001, B57600},  {57600, B57600},
               {57601, B115200}, {115200, B115200}};
  for (const auto& c : cases) EXPECT_EQ(ser_BaudToSpeed(c.baud), c.speed) << "baud " << c.baud;
}

TEST_F(PtyLine, ReadTimeoutReturnsTheCountWhenTheBytesAreThere) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  Feed({1, 2, 3, 4, 5, 6});
  uint8_t buffer[5] = {};
  EXPECT_EQ(ser_ReadTimeout(buffer, 5, 10), 5);
  EXPECT_EQ(buffer[4], 5);
  // A limit of 1 succeeds only when no poll comes back empty.
  EXPECT_EQ(ser_ReadTimeout(buffer, 1, 1), 1);
  EXPECT_EQ(buffer[0], 6);
  EXPECT_EQ(ser_ReadTimeout(buffer, 1, 1), -1);
}

TEST_F(PtyLine, ReadTimeoutFailsOnSilenceAndKeepsWhatCame) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  Feed({7, 8, 9});
  uint8_t buffer[5] = {};
  EXPECT_EQ(ser_ReadTimeout(buffer, 5, 10), -1);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(buffer[2], 9);
  EXPECT_EQ(buffer[3], 0);
  EXPECT_EQ(ser_ReadTimeout(buffer, 1, 10), -1);
}

TEST_F(PtyLine, ReadTimeoutTakesBytesThatArriveWhileItWaits) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  std::thread sender([this] {
    usleep(30000);
    const uint8_t bytes[3] = {0x11, 0x22, 0x33};
    (void)!write(master_, bytes, 3);
  });
  uint8_t buffer[3] = {};
  EXPECT_EQ(ser_ReadTimeout(buffer, 3, 500), 3);
  sender.join();
  EXPECT_EQ(buffer[2], 0x33);
}

TEST_F(PtyLine, ReadOnceOnASilentLineGivesZero) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  uint8_t byte = 0;
  EXPECT_EQ(ser_ReadOnce(&byte, 1), 0);
  Feed({0x42});
  EXPECT_EQ(ser_ReadOnce(&byte, 1), 1);
  EXPECT_EQ(byte, 0x42);
}

TEST_F(PtyLine, FlushDiscardsPendingInput) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  Feed({1, 2, 3});
  ser_FlushInput();
  uint8_t byte = 0;
  EXPECT_EQ(ser_ReadOnce(&byte, 1), 0);
}

TEST_F(PtyLine, OpenDiscardsInputThatWaitedBefore) {
  termios raw = Settings();
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &raw), 0);
  Feed({1, 2, 3});
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  uint8_t byte = 0;
  EXPECT_EQ(ser_ReadOnce(&byte, 1), 0);
}

TEST_F(PtyLine, WriteCompletesALongWriteWhileTheFarEndReads) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  std::vector<uint8_t> bytes(256 * 1024);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> received;
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
}

TEST_F(PtyLine, WriteThatCannotCompleteIsAFailure) {
  ASSERT_EQ(vexo_serial_Open(1, 115200), 0);
  // Nobody reads the master: the line stops taking bytes part-way.
  std::vector<uint8_t> bytes(1024 * 1024, 0x55);
  EXPECT_EQ(ser_Write(bytes.data(), bytes.size()), 0);
}

TEST(SerialLineClosed, OperationsWithoutALineFailCleanly) {
  vexo_serial_Close(1);
  const uint8_t byte = 1;
  uint8_t buffer[2] = {};
  EXPECT_EQ(ser_Write(&byte, 1), 0);
  EXPECT_EQ(ser_ReadOnce(buffer, 1), -1);
  EXPECT_EQ(ser_ReadTimeout(buffer, 2, 1), -1);
  ser_FlushInput();
}

}  // namespace
