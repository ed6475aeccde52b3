// The port-access seam of the parallel-port adapter: the permission request
// and the raw register accesses, and the same through the kernel's ppdev
// driver (a /dev/parport<n> device and its ioctls), nothing else. The product
// links the real access (port_io_real.cpp: ioperm, outb, inb; open, ioctl,
// close); tests and vexo-sim link the simulated adapter (sim/), which answers
// these calls with a simulated card.
// Register values here are raw: the driver's complement convention is applied
// above this seam, in lpt.cpp.
#pragma once

#include <cstdint>

// Asks for access to `count` consecutive I/O ports from `base`;
// 0 when granted, -1 when refused.
int portio_RequestAccess(uint16_t base, unsigned count);
void portio_Out(uint16_t port, uint8_t value);
uint8_t portio_In(uint16_t port);

// ppdev: opens the device (read-write); a descriptor, or -1 with errno set.
int portio_PpdevOpen(const char* path);
// One ioctl on it (PPEXCL, PPCLAIM, PPRELEASE take no value; PPWDATA,
// PPWCONTROL and PPRSTATUS one raw register byte); 0, or -1 with errno set.
int portio_PpdevIoctl(int fd, unsigned long request, uint8_t* value);
void portio_PpdevClose(int fd);
