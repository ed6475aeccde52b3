// Folder drivers/serial/: the serial link to the player (vexo_serial_*,
// ser_*): the line (ser_port.h), the byte protocol (ser_protocol.h), the
// transfers with their retries, pauses and searches (ser_transfer.h). May
// include: base/ and host/; never another driver or anything above.
//
// Entry points of the serial link to the player, the operations that the
// transport layer dispatches to for VEXO_PORT_SERIAL and that the header
// writer calls directly. Sector buffers are SectorBuffer (516 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

// The family of serial devices the port numbers name: "ttyS" (the PC's own
// lines, the default), "ttyUSB" or "ttyACM" (USB serial adapters). False,
// and no change, for any other name. Chosen once per run by the command line.
bool vexo_serial_SetLineName(const char* name);
VexoResult vexo_serial_Open(int32_t port, int32_t baud);
VexoResult vexo_serial_Close(int32_t port);
// Puts the saved settings back on the open line with async-signal-safe calls
// only, for a signal handler that ends the process at once.
void ser_RestoreLineFromSignal();
int32_t ser_Search(int32_t port, int32_t slot);  // card size, or a negated code
VexoResult ser_MultiSearch(int32_t port, int32_t slot, uint32_t* cardSize, int tries);
VexoResult ser_ReadSectorRtr(int32_t port, int32_t slot, uint32_t sector, SectorBuffer& buffer,
                             int mode, int tries);
VexoResult ser_WriteSectorFirstRtr(int32_t port, int32_t slot, uint32_t sector,
                                   SectorBuffer& buffer, int tries);
VexoResult ser_WriteSectorNextRtr(int32_t port, int32_t slot, uint32_t sector,
                                  SectorBuffer& buffer, int tries);
// Writes sectors first..end-1 of a card image held in memory from sector 0 on
// (image.size() must cover end x 512 bytes).
VexoResult ser_WriteMultiSectorsRtr(int32_t port, int32_t slot, uint32_t first, uint32_t end,
                                    const std::vector<uint8_t>& image);
// A header write's sector list (host/sector_writes.h): the player needs a
// quiet line (1.5 s) and a fresh search first; a failed search ends it.
VexoResult ser_WriteSectors(int32_t port, int32_t slot, const std::vector<SectorWrite>& writes);
VexoResult ser_WriteFile(int32_t port, int32_t slot, uint32_t startSector, const char* path,
                         uint32_t space, int progress, int sameOffset);
VexoResult ser_ReadFile(int32_t port, int32_t slot, uint32_t startSector, uint32_t length,
                        const char* path, int progress);
float ser_GetTransferRate();
int ser_GetProgress();
int ser_StopTransfer();
uint32_t ser_GetCurrentSector();
int32_t ser_GetVersion(int32_t port);
VexoResult ser_SendRaw(int32_t port, const uint8_t* bytes, std::size_t count);
