#include "drivers/ppa/lpt.h"

#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "drivers/ppa/port_io.h"
#include "drivers/ppa/ppa.h"

namespace {

struct PortRow {
  uint16_t data;
  uint16_t status;
  uint16_t control;
};

// lp0 and lp1 name the same port.
constexpr std::array<PortRow, 5> kPortTable = {{
    {0x378, 0x379, 0x37A},
    {0x378, 0x379, 0x37A},
    {0x278, 0x279, 0x27A},
    {0x3BC, 0x3BD, 0x3BE},
    {0x2BC, 0x2BD, 0x2BE},
}};

PortRow g_port = kPortTable[1];
int g_ppdevFd = -1;  // >= 0: registers reached through /dev/parport<n>
PpaPowerUpWaitHook g_powerUpWait = nullptr;

// The card's supply settles during 125000 ticks of processor time.
void ClockTicksWait() {
  const std::clock_t start = std::clock();
  while (start + 125000 > std::clock()) {
  }
}

const PortRow& RowOf(int32_t lpIndex) {
  return kPortTable[(lpIndex >= 0 && lpIndex < 5) ? static_cast<std::size_t>(lpIndex) : 0];
}

[[noreturn]] void RefuseParport(const char* path) {
  std::fprintf(stderr, "Could not open %s\n", path);
  std::fprintf(stderr, "Either the port is in use or I am not in the group lp...\n");
  std::exit(-1);
}

// The raw register accesses, through ppdev when a device is claimed.
void WriteRegister(uint16_t port, unsigned long request, uint8_t raw) {
  if (g_ppdevFd < 0) {
    portio_Out(port, raw);
  } else {
    portio_PpdevIoctl(g_ppdevFd, request, &raw);
  }
}

uint8_t ReadStatusRegister() {
  if (g_ppdevFd < 0) return portio_In(g_port.status);
  uint8_t raw = 0xFF;
  portio_PpdevIoctl(g_ppdevFd, PPRSTATUS, &raw);
  return raw;
}

}  // namespace

void lpt_SelectParport(int32_t number) {
  lpt_ReleaseParport();
  char path[32];
  std::snprintf(path, sizeof path, "/dev/parport%d", static_cast<int>(number));
  const int fd = portio_PpdevOpen(path);
  if (fd < 0) RefuseParport(path);
  // Exclusive before the claim: no printer driver or other user shares it.
  if (portio_PpdevIoctl(fd, PPEXCL, nullptr) != 0 || portio_PpdevIoctl(fd, PPCLAIM, nullptr) != 0) {
    portio_PpdevClose(fd);
    RefuseParport(path);
  }
  g_ppdevFd = fd;
}

void lpt_ReleaseParport() {
  if (g_ppdevFd < 0) return;
  portio_PpdevIoctl(g_ppdevFd, PPRELEASE, nullptr);
  portio_PpdevClose(g_ppdevFd);
  g_ppdevFd = -1;
}

uint16_t lpt_DataPortOf(int32_t lpIndex) { return RowOf(lpIndex).data; }

void lpt_SelectPort(int32_t lpIndex) {
  lpt_ReleaseParport();
  g_port = RowOf(lpIndex);
  if (portio_RequestAccess(g_port.data, 3) == -1) {
    std::fprintf(stderr, "Could not get permission for parport 0x%x\n", g_port.data);
    std::fprintf(stderr, "Either the port is in use or I am not running as root...\n");
    std::exit(-1);
  }
}

uint16_t lpt_DataPort() { return g_port.data; }
uint16_t lpt_StatusPort() { return g_port.status; }
uint16_t lpt_ControlPort() { return g_port.control; }

void lpt_WriteData(uint8_t logical) {
  WriteRegister(g_port.data, PPWDATA, static_cast<uint8_t>(~logical));
}

void lpt_ReadStatus(uint8_t* status) {
  uint8_t first = 0;
  uint8_t second = 0;
  do {
    first = static_cast<uint8_t>(~ReadStatusRegister());
    second = static_cast<uint8_t>(~ReadStatusRegister());
  } while (first != second);
  *status = first;
}

void lpt_WriteControl(uint8_t logical) {
  WriteRegister(g_port.control, PPWCONTROL, static_cast<uint8_t>(~logical & 0x0Fu));
}

void lpt_Clock(uint8_t lowHalf) {
  lpt_WriteData(lowHalf);
  lpt_WriteData(static_cast<uint8_t>(lowHalf | CLK_BIT));
}

void lpt_ClockSample(uint8_t* status) {
  lpt_WriteData(LPT_IDLE_LOW);
  lpt_ReadStatus(status);
  lpt_WriteData(static_cast<uint8_t>(LPT_IDLE_LOW | CLK_BIT));
}

void lpt_Clocks(int32_t n) {
  for (int32_t i = 0; i < n; ++i) lpt_Clock(LPT_IDLE_LOW);
}

int ppa_Power(uint8_t on) {
  lpt_WriteData(LPT_LINES_LOW);
  if (on != 1) return 0;
  if (g_powerUpWait != nullptr) {
    g_powerUpWait();
  } else {
    ClockTicksWait();
  }
  lpt_WriteControl(LPT_CONTROL_POWER_UP);
  lpt_Clocks(10000);
  return 0;
}

void ppa_SetPowerUpWaitHook(PpaPowerUpWaitHook hook) { g_powerUpWait = hook; }
