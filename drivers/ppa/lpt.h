// The adapter's parallel-port registers: port selection and I/O permission,
// the three register accesses, the one-clock primitives every bus frame is
// built from, and the card's power sequence. This is the only place that
// knows the registers see the complement of the driver's logical levels;
// everything above works with logical values. Nothing here knows MMC frames.
#pragma once

#include <cstdint>

// Logical data byte (the data register receives its complement, 8 bits).
constexpr uint8_t CMD_OUT_BIT = 0x01;   // pin 2: host level on CMD, 1 = high/released
constexpr uint8_t DAT_OUT_BIT = 0x02;   // pin 3: host level on DAT, 1 = high/released
constexpr uint8_t CMD_MODE_BIT = 0x04;  // pin 4: 0 while a command frame is clocked out
constexpr uint8_t CLK_BIT = 0x80;       // pin 9: the bus clock

// Logical status byte (the complement of the status register).
constexpr uint8_t CMD_IN_BIT = 0x10;  // status bit 4 (select), inverted: CMD level
constexpr uint8_t DAT_IN_BIT = 0x20;  // status bit 5 (paper end), inverted: DAT level

// Clock-low halves of the logical bytes that occur; the clock-high half is
// the same byte with CLK_BIT set.
constexpr uint8_t LPT_IDLE_LOW = 0x7F;      // CMD and DAT released
constexpr uint8_t LPT_COMMAND_LOW = 0x7A;   // plus the command bit on CMD
constexpr uint8_t LPT_DATA_LOW = 0x7D;      // plus twice the data bit on DAT
constexpr uint8_t LPT_BOTH_LOW = 0x7C;      // plus twice the data bit plus the command bit
constexpr uint8_t LPT_LINES_LOW = 0x7C;     // power operation: clock, CMD and DAT low

// Logical control values.
constexpr uint8_t LPT_CONTROL_SUPPLY_OFF = 255;  // register 0x0
constexpr uint8_t LPT_CONTROL_POWER_UP = 251;    // register 0x4

// Copies lp index 0..4's three addresses into the current ports and asks for
// access to them. On refusal prints the two permission lines on stderr and
// ends the process with status 255. The index is not checked beyond 0..4
// (out of range uses lp0's row).
void lpt_SelectPort(int32_t lpIndex);

// Opens /dev/parport<number> (ppdev), asks for it exclusively (PPEXCL) and
// claims it (PPCLAIM); from then on the three register accesses go through
// it (PPWDATA, PPRSTATUS, PPWCONTROL) with the same raw values. On refusal
// prints two lines on stderr, naming the device and the group lp, and ends
// the process with status 255. lpt_ReleaseParport gives it back (PPRELEASE,
// close); nothing when none is open.
void lpt_SelectParport(int32_t number);
void lpt_ReleaseParport();

// The data port address of lp index 0..4 (lp0's for any other), without
// selecting it.
uint16_t lpt_DataPortOf(int32_t lpIndex);

uint16_t lpt_DataPort();
uint16_t lpt_StatusPort();
uint16_t lpt_ControlPort();

void lpt_WriteData(uint8_t logical);
// Reads the status register in pairs until both readings of a pair agree;
// stores the logical (complemented) value.
void lpt_ReadStatus(uint8_t* status);
void lpt_WriteControl(uint8_t logical);

// One bus clock: lowHalf, then lowHalf | CLK_BIT.
void lpt_Clock(uint8_t lowHalf);
// One clock with CMD and DAT released, the status sampled in its low half.
void lpt_ClockSample(uint8_t* status);
// n idle clocks; nothing for n <= 0.
void lpt_Clocks(int32_t n);
