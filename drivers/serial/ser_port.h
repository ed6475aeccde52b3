// The serial line beneath the player protocol. Owns the process's one serial
// handle and the terminal settings the line had before it was opened: opens
// a /dev/ttyS (or ttyUSB, ttyACM) device raw at 8N1 without modem control (non-blocking, VMIN and
// VTIME 0), restores the earlier settings at close, and moves bytes: write
// everything, discard pending input, read a fixed count with a time-out that
// runs against a monotonic deadline, and tells a lost line (hung up or
// failing) from a silent one. Knows nothing of the protocol's bytes.
//
// The device path can be redirected (to the slave of a pseudo-terminal) only
// by code that links the library: tests and the simulator program.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "drivers/serial/serial.h"

// Highest port number accepted; port p stands for /dev/ttyS(p-1), or
// /dev/ttyUSB(p-1) or /dev/ttyACM(p-1) for a USB serial adapter.
// vexo_serial_Open (serial.h) opens ports 1..32 (0 or -COM_OPEN);
// vexo_serial_Close gives 4, or -COM_CLOSE for a port number above 32.
constexpr int32_t SER_MAX_PORT = 32;

// Locks the line (a lock on the descriptor and exclusive mode) and opens it
// raw at the given speed, keeping its earlier settings for ser_CloseDevice.
// Returns the handle, -PORT_IN_USE when another program has the line (its
// settings untouched), or -1 (also for a non-terminal).
int ser_OpenDevice(const char* path, int32_t baud);
// Puts the saved settings back on an open handle, ends exclusive mode and
// closes it (which releases the lock).
void ser_CloseDevice(int handle);
// Terminal speed constant for a requested speed in baud.
speed_t ser_BaudToSpeed(int32_t baud);
// Discards received, unread input; nothing while no line is open.
void ser_FlushInput();
// Writes all bytes, waiting (bounded) while the line accepts no more.
// 1 when every byte went out, 0 otherwise.
int ser_Write(const uint8_t* bytes, std::size_t count);
// One read call of up to count bytes: bytes read, 0 when none, or -1.
long ser_ReadOnce(uint8_t* buffer, std::size_t count);
// ser_ReadTimeout's result when the line is lost.
constexpr int SER_LINE_LOST = -2;
// Reads exactly count bytes, waiting up to emptyPollLimit x 5 ms in all
// (measured against a monotonic clock): count when they came in time, -1
// on time-out (the bytes that came stay in buffer), SER_LINE_LOST when the
// line is lost.
int ser_ReadTimeout(uint8_t* buffer, std::size_t count, int emptyPollLimit);
// True once the line is lost: its other end hung up (poll reports a hang-up
// or an error, or input that reads as nothing), or a read or write failed
// with an error no retry cures. Every read and write then fails at once,
// until the next open. Also looks at the line without waiting.
bool ser_LineLost();
// Called after every wait of ser_ReadTimeout that stayed silent:
// a simulated peer uses it to finish answering before the poll counts as
// silent, so that tests stay deterministic on a loaded machine. nullptr (the
// product's setting) calls nothing. For tests and the simulator program only.
using SerEmptyPollHook = void (*)();
void ser_SetEmptyPollHook(SerEmptyPollHook hook);
// Pauses n x 100 microseconds.
void ser_DelayShort(uint32_t n);

// The device vexo_serial_Open opens for a port: "/dev/<line name><port-1>"
// (line name from vexo_serial_SetLineName), or the override when one is set.
std::string ser_DevicePath(int32_t port);
// Redirects vexo_serial_Open to this path for every port (nullptr or "" ends
// the redirect). For tests and the simulator program only.
void ser_SetDevicePathOverride(const char* path);
// Looks for the line's device in this folder instead of /dev (nullptr or ""
// ends the redirect). For tests and the simulator program only.
void ser_SetDeviceFolderOverride(const char* folder);

// The open handle, or -1.
int ser_Handle();

// Bytes the driver has written to and read from the line since the program
// started (never reset): the simulated player uses them to tell when it has
// seen everything the driver sent.
uint64_t ser_BytesWrittenTotal();
uint64_t ser_BytesReadTotal();
