// Folder drivers/image/: the image-file driver (ros_*). May include: base/
// and host/; never another driver or anything above.
//
// The card image file ("ROS file"): a flat host file of 512-byte sectors that
// stands in for a card. Owns the one open image stream of the process and the
// counters of its file copies; knows nothing of the card layout inside it.
#pragma once

#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

// Fixed size reported for every image: 259,584 sectors.
constexpr uint32_t ROS_CARD_SIZE = 0x7EC0000u;
// A freshly formatted image: sectors 0..127 of 0xFF.
constexpr uint32_t ROS_FORMAT_SECTORS = 128;

VexoResult ros_Open(const char* path);  // creates and formats a missing or empty file
VexoResult ros_Close();
VexoResult ros_Search(uint32_t* cardSize);
VexoResult ros_ResetCard();
// Reads sector data into buffer[0..511]; bytes past the image's end read as 0.
VexoResult ros_ReadSector(uint32_t sector, uint8_t* buffer);
// Sector writes, single and in copies, obey the write-failure seam
// (vexo_SetSectorWriteFailure, host/block_copy.h).
VexoResult ros_WriteSector(uint32_t sector, const uint8_t* data);
VexoResult ros_WriteSectorFirst(uint32_t sector, const SectorBuffer& buffer);
VexoResult ros_WriteSectorNext(uint32_t sector, const SectorBuffer& buffer);
// Writes sectors first..end-1 from a card image held from sector 0 on.
VexoResult ros_WriteMultiSectors(uint32_t first, uint32_t end, const std::vector<uint8_t>& image);
// A header write's sector list (host/sector_writes.h) made of such runs.
VexoResult ros_WriteSectors(const std::vector<SectorWrite>& writes);
VexoResult ros_WriteFile(uint32_t startSector, const char* path, uint32_t limit, int progress);
VexoResult ros_ReadFile(uint32_t startSector, uint32_t length, const char* path, int progress);
float ros_GetTransferRate();
int ros_GetProgress();
int ros_StopTransfer();

