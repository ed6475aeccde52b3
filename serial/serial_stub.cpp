// Placeholder until the serial driver lands: every operation fails clearly.
#include "serial/serial.h"

VexoResult vexo_serial_Open(int32_t, int32_t) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult vexo_serial_Close(int32_t) { return 4; }
int32_t ser_Search(int32_t, int32_t) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_MultiSearch(int32_t, int32_t, uint32_t*, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_ReadSectorRtr(int32_t, int32_t, uint32_t, SectorBuffer&, int, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_WriteSectorFirstRtr(int32_t, int32_t, uint32_t, SectorBuffer&, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_WriteSectorNextRtr(int32_t, int32_t, uint32_t, SectorBuffer&, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_WriteMultiSectorsRtr(int32_t, int32_t, uint32_t, uint32_t, const std::vector<uint8_t>&) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_WriteFile(int32_t, int32_t, uint32_t, const char*, uint32_t, int, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ser_ReadFile(int32_t, int32_t, uint32_t, uint32_t, const char*, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
float ser_GetTransferRate() { return 0.0f; }
int ser_GetProgress() { return 0; }
int ser_StopTransfer() { return 0; }
uint32_t ser_GetCurrentSector() { return 0; }
int32_t ser_GetVersion(int32_t) { return -1; }
VexoResult ser_SendRaw(int32_t, const uint8_t*, std::size_t) { return -VEXO_ERROR_NOT_SUPPORTED; }
