// Placeholder until the adapter driver lands: every operation fails clearly.
#include "ppa/ppa.h"

VexoResult ppa_Open(int32_t) { return -VEXO_ERROR_NOT_SUPPORTED; }
void ppa_Close() {}
VexoResult ppa_Search(uint32_t*, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
int32_t ppa_InitCard() { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ppa_ReadSectorRtr(int32_t, uint32_t, SectorBuffer&, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ppa_WriteSectorFirstRtr(int32_t, uint32_t, const SectorBuffer&, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ppa_WriteSectorNextRtr(int32_t, uint32_t, const SectorBuffer&, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ppa_WriteFile(int32_t, uint32_t, const char*, uint32_t, int, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
VexoResult ppa_ReadFile(int32_t, uint32_t, uint32_t, const char*, int) { return -VEXO_ERROR_NOT_SUPPORTED; }
float ppa_GetTransferRate() { return 0.0f; }
int ppa_GetProgress() { return 0; }
int ppa_StopTransfer() { return 0; }
void ppa_ResetProgress() {}
uint32_t ppa_GetCurrentSector() { return 0; }
int ppa_Power(uint8_t) { return 0; }
void lpt_WriteControl(uint8_t) {}
