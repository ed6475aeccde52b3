// Runs of sectors through the player: the multi-sector write of the header
// writer and the file copies in both directions (serial.h declares them),
// each a first sector by request and the rest streamed, a failed sector
// re-sent by request after a resynchronisation. Owns the serial transfer
// counters (sector index, byte length, total sectors, current card sector),
// the rate of the last copy and the stop flag.
#pragma once

#include "drivers/serial/serial.h"

// Zeroes the sector index, byte length and total sectors (at every open).
void ser_ResetTransferCounters();
