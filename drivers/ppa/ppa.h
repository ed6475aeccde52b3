// Folder drivers/ppa/: the parallel-port MMC adapter (ppa_*, lpt_*, mmc_*):
// the registers (lpt.h) behind the port-access seam (port_io.h), the bus
// framing (mmc_bus.h), the commands (mmc_cmd.h), and here the driver with its
// retries. May include: base/ and host/; never another driver or anything
// above.
//
// Entry points of the parallel-port adapter driver, the operations that the
// transport layer dispatches to for VEXO_PORT_PARALLEL and that the header
// writer calls directly. Sector buffers are SectorBuffer (516 bytes). Owns
// the driver's transfer state (counters, rate, stop flag) and the card
// bring-up; the registers live in lpt.h, the bus framing in mmc_bus.h, the
// commands in mmc_cmd.h.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "base/vexo_types.h"

// lpIndex 0..4 names an adapter address, VEXO_PARPORT_FIRST + n the device
// /dev/parport<n> (see lpt.h for both). 0, or -PORT_IN_USE when another
// vexo holds the port's lock; a refused port ends the process (lpt.h).
VexoResult ppa_Open(int32_t lpIndex);
void ppa_Close();  // lines low, a ppdev device released, the lock given back
VexoResult ppa_Search(uint32_t* cardSize, int tries);
int32_t ppa_InitCard();  // capacity in bytes, or a negated code
VexoResult ppa_ReadSectorRtr(int32_t port, uint32_t sector, SectorBuffer& buffer, int tries);
VexoResult ppa_WriteSectorFirstRtr(int32_t port, uint32_t sector, const SectorBuffer& buffer, int tries);
VexoResult ppa_WriteSectorNextRtr(int32_t port, uint32_t sector, const SectorBuffer& buffer, int tries);
// Sectors first..end-1 of an image held from sector 0 on, as one
// multiple-block write (four tries a sector), and a header write's sector
// list (host/sector_writes.h) made of such runs.
VexoResult ppa_WriteMultiSectorsRtr(int32_t port, uint32_t first, uint32_t end,
                                    const std::vector<uint8_t>& image);
VexoResult ppa_WriteSectors(int32_t port, const std::vector<SectorWrite>& writes);
VexoResult ppa_WriteFile(int32_t port, uint32_t startSector, const char* path, uint32_t space,
                         int progress, int sameOffset);
VexoResult ppa_ReadFile(int32_t port, uint32_t startSector, uint32_t length, const char* path,
                        int progress);
float ppa_GetTransferRate();
int ppa_GetProgress();
int ppa_StopTransfer();
void ppa_ResetProgress();
uint32_t ppa_GetCurrentSector();

// Power operation: 1 runs the power-up sequence, anything else drives the bus
// lines low. Returns 0.
int ppa_Power(uint8_t on);
// Writes a logical control value (the register gets its complement, 4 bits).
void lpt_WriteControl(uint8_t value);

// ---- Beyond the transport's entry points ----------------------------------

// One attempt of a sector read (CMD18, one block, CMD12) and of a sector
// write (with withCommand 1 a new CMD25 at the sector, else the block goes to
// the multiple-block write already open).
VexoResult ppa_ReadSector(uint32_t sector, SectorBuffer& buffer);
VexoResult ppa_WriteSector(uint32_t sector, const SectorBuffer& buffer, int withCommand);

// Card identification image of the last bring-up (136-bit response layout).
const std::array<uint8_t, 17>& ppa_CardId();

// Code that links the library (tests, the simulator program) may replace the
// 125000-tick processor-time wait of the power-up sequence; nullptr restores
// it. The product never calls this.
using PpaPowerUpWaitHook = void (*)();
void ppa_SetPowerUpWaitHook(PpaPowerUpWaitHook hook);

// Likewise for the wall clock behind the transfer rate (nullptr: time()).
using PpaTimeSource = std::time_t (*)();
void ppa_SetTimeSource(PpaTimeSource source);
