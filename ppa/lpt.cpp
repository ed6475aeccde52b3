#include "ppa/lpt.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "ppa/port_io.h"
#include "ppa/ppa.h"

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

}  // namespace

uint16_t lpt_DataPortOf(int32_t lpIndex) { return RowOf(lpIndex).data; }

void lpt_SelectPort(int32_t lpIndex) {
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

void lpt_WriteData(uint8_t logical) { portio_Out(g_port.data, static_cast<uint8_t>(~logical)); }

void lpt_ReadStatus(uint8_t* status) {
  uint8_t first = 0;
  uint8_t second = 0;
  do {
    first = static_cast<uint8_t>(~portio_In(g_port.status));
    second = static_cast<uint8_t>(~portio_In(g_port.status));
  } while (first != second);
  *status = first;
}

void lpt_WriteControl(uint8_t logical) {
  portio_Out(g_port.control, static_cast<uint8_t>(~logical & 0x0Fu));
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
