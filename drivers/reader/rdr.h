// Folder drivers/reader/: the card-reader driver (rdr_*). May include: base/
// and host/; never another driver or anything above.
//
// The card in a host card reader ("vexo card /dev/sdb"): the kernel shows it
// as a block device holding the card's sectors from byte 0, as an image file
// holds them. Owns the process's one open device, the size the device
// reports, and the counters of its file copies. Knows nothing of the card
// layout.
//
// Safety first, because a wrong device name names one of the user's disks:
// only a block device is taken, opened exclusively (a mounted or otherwise
// busy device is refused), and a device of 2 GiB or more is refused as no
// card of this player. Written data has reached the device (fsync) and has
// been read back from it and compared before a write returns success
// (-VERIFY_FAILED when it differs). File copies use direct I/O (O_DIRECT,
// 1 MiB blocks) where the device allows it.
#pragma once

#include <cstdint>
#include <vector>

#include "base/vexo_types.h"

// Devices of this size or more are refused with -CARD_TOO_LARGE.
constexpr uint64_t RDR_MAX_CARD_BYTES = 0x80000000ull;

// 0; -FILE_NOT_EXIST (missing), -COM_OPEN (not permitted), -NOT_BLOCK_DEVICE,
// -PORT_IN_USE (busy, mounted, or locked by another vexo), -NO_CARD (no
// medium, or too small to hold a card's header area), -CARD_TOO_LARGE.
VexoResult rdr_Open(const char* path);
VexoResult rdr_Close();  // always 0
VexoResult rdr_Search(uint32_t* cardSize);  // the device's size; -FILE_NOT_OPEN when closed
// One sector into buffer[0..511]; sectors past the card's end fail (-ROS_READ).
VexoResult rdr_ReadSector(uint32_t sector, uint8_t* buffer);
// One sector, not yet flushed to the device (rdr_WriteMultiSectors flushes).
VexoResult rdr_WriteSector(uint32_t sector, const uint8_t* data);
// One sector, flushed to the device and read back (the single writes of the transport).
VexoResult rdr_WriteSectorFirst(uint32_t sector, const SectorBuffer& buffer);
VexoResult rdr_WriteSectorNext(uint32_t sector, const SectorBuffer& buffer);
// Sectors first..end-1 of a card image held from sector 0 on, one by one in
// ascending order, then flushed to the device and read back.
VexoResult rdr_WriteMultiSectors(uint32_t first, uint32_t end, const std::vector<uint8_t>& image);
// A header write's sector list (host/sector_writes.h) made of such runs.
VexoResult rdr_WriteSectors(const std::vector<SectorWrite>& writes);
// The file copies of the transport contract, in 1 MiB blocks; progress lines
// at most ten a second; the rate measured with a fine clock.
VexoResult rdr_WriteFile(uint32_t startSector, const char* path, uint32_t space, int progress,
                         int sameOffset);
VexoResult rdr_ReadFile(uint32_t startSector, uint32_t length, const char* path, int progress);
float rdr_GetTransferRate();
int rdr_GetProgress();
int rdr_StopTransfer();

// Lets rdr_Open take a regular file as the device (its size as the card's),
// so that tests run without a block device. For tests only.
void rdr_AllowRegularFile(bool allow);
