// Folder transport/: the dispatch alone. May include: base/, host/ and the
// drivers' main headers; holds no state and no logic of its own.
//
// The card operations the rest of the program uses, one plain switch on the
// port kind each, passing the call on to the serial link, the parallel-port
// adapter, the image file or the card reader. No state here; unrecognised kinds give
// -PORT_NOT_EXIST. Driver codes are passed up unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

VexoResult vexo_Open(int32_t kind, int32_t port, int32_t speed, const char* imagePath);
VexoResult vexo_Close(int32_t kind, int32_t port);
VexoResult vexo_Search(int32_t kind, int32_t port, int32_t slot, uint32_t* cardSize, int tries);
VexoResult vexo_SearchSecondCard(int32_t kind, int32_t port, int32_t slot, uint32_t* cardSize,
                                 int tries);
VexoResult vexo_ResetCard(int32_t kind, int32_t port, int32_t slot);
VexoResult vexo_ReadSector(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                           SectorBuffer& buffer, int addressed, int tries);
VexoResult vexo_WriteSectorFirst(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                                 SectorBuffer& buffer, int tries);
VexoResult vexo_WriteSectorNext(int32_t kind, int32_t port, int32_t slot, uint32_t sector,
                                SectorBuffer& buffer, int tries);
// Writes the sectors in the order given, each run of consecutive ascending
// sectors as one multi-sector write; the first failure ends it (the sectors
// before it are written). It begins only while no stop is requested and runs
// shielded (host/sector_writes.h); the serial driver first pauses and finds
// the card again.
VexoResult vexo_WriteSectors(int32_t kind, int32_t port, int32_t slot,
                             const std::vector<SectorWrite>& writes);
VexoResult vexo_WriteFile(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                          const char* path, uint32_t space, int progress, int sameOffset);
VexoResult vexo_ReadFile(int32_t kind, int32_t port, int32_t slot, uint32_t startSector,
                         uint32_t length, const char* path, int progress);
float vexo_GetTransferRate(int32_t kind);
int32_t vexo_GetVersion(int32_t kind, int32_t port);
int vexo_GetProgress(int32_t kind);
VexoResult vexo_StopTransfer(int32_t kind, int32_t port);
uint32_t vexo_GetCurrentSector(int32_t kind);
void vexo_SettleDelay(int32_t kind);
void vexo_SetPower(int32_t kind, int on);
void vexo_WriteControl(int32_t kind);
void vexo_ResetProgress(int32_t kind);
// Puts the serial line's saved settings back (async-signal-safe; nothing when
// no line is open), for a signal handler that ends the process at once.
void vexo_RestoreLineFromSignal();
VexoResult vexo_SendRaw(int32_t kind, int32_t port, int32_t speed, const uint8_t* bytes,
                        std::size_t count);
