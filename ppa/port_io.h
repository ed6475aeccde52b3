// The port-access seam of the parallel-port adapter: the permission request
// and the raw register accesses, nothing else. The product links the real
// access (port_io_real.cpp: ioperm, outb, inb); tests and vexo-sim link the
// simulated adapter (sim/), which answers these calls with a simulated card.
// Register values here are raw: the driver's complement convention is applied
// above this seam, in lpt.cpp.
#pragma once

#include <cstdint>

// Asks for access to `count` consecutive I/O ports from `base`;
// 0 when granted, -1 when refused.
int portio_RequestAccess(uint16_t base, unsigned count);
void portio_Out(uint16_t port, uint8_t value);
uint8_t portio_In(uint16_t port);
