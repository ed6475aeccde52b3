// Entry points of the parallel-port adapter driver, the operations that the
// transport layer dispatches to for VEXO_PORT_PARALLEL and that the header
// writer calls directly. Sector buffers are SectorBuffer (516 bytes).
#pragma once

#include <cstdint>

#include "transport/vexo_types.h"

VexoResult ppa_Open(int32_t lpIndex);
void ppa_Close();
VexoResult ppa_Search(uint32_t* cardSize, int tries);
int32_t ppa_InitCard();  // capacity in bytes, or a negated code
VexoResult ppa_ReadSectorRtr(int32_t port, uint32_t sector, SectorBuffer& buffer, int tries);
VexoResult ppa_WriteSectorFirstRtr(int32_t port, uint32_t sector, const SectorBuffer& buffer, int tries);
VexoResult ppa_WriteSectorNextRtr(int32_t port, uint32_t sector, const SectorBuffer& buffer, int tries);
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
