// File copies between a host file and a card held as a file descriptor (the
// image file, the card reader's device) in large blocks: one system call
// moves up to 1 MiB at an explicit offset, so no seek and no per-sector call
// is made. The drivers set the policy (progress lines every tenth sector or
// at most ten a second, reads past the end as zeros or as a failure, which
// codes a failure gives) and keep their own counters; the host-file checks
// come from host_files.h and the progress line from progress.h. A copy to the
// card can be read back and compared with its host file. Blocks sit in buffers
// aligned for direct I/O (O_DIRECT). Also owns the write-failure seam of these drivers' sector
// writes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/vexo_types.h"

// Sectors moved by one system call.
constexpr uint32_t VEXO_COPY_BLOCK_SECTORS = 2048;  // 1 MiB

struct VexoBlockCopy {
  int fd = -1;                   // the card's sectors from byte 0
  uint64_t cardBytes = 0;        // sectors past this end fail; 0: no end (image file)
  uint32_t startSector = 0;
  uint32_t length = 0;           // bytes of the copy
  int progress = 0;              // print progress lines
  bool throttled = false;        // lines at block starts, at most ten a second
  const volatile int* stop = nullptr;  // checked after each block
  uint32_t* index = nullptr;     // the driver's sector index, kept up to date
  VexoResult readError = -VEXO_ERROR_ROS_READ;    // result of a failed card read
  VexoResult writeError = -VEXO_ERROR_ROS_WRITE;  // result of a failed card write
};

// Host file (open, positioned) to the card. Result 0, -FILE_READ, the write
// error, or -TRANSFER_STOPPED; the sectors before a failure are written.
VexoResult vexo_CopyHostToCard(const VexoBlockCopy& copy, FILE* host);
// Card to a host file (open, empty), exactly copy.length bytes. Result 0,
// the read error, -FILE_WRITE or -TRANSFER_STOPPED; the host file is not
// closed here.
VexoResult vexo_CopyCardToHost(const VexoBlockCopy& copy, FILE* host);

// After a copy to the card: reads its sectors back from the card and compares
// them with the host file (positioned where the copy began). 0,
// -VERIFY_FAILED, the read error, -FILE_READ or -TRANSFER_STOPPED.
VexoResult vexo_CompareHostWithCard(const VexoBlockCopy& copy, FILE* host);
// Reads `count` sectors from `sector` on through fd and compares them with
// `expected`: 0, -VERIFY_FAILED, or -ROS_READ when they cannot be read.
VexoResult vexo_ReadBackSectors(int fd, uint32_t sector, uint32_t count, const uint8_t* expected);

// Write-failure seam for the image file and the card reader: from the k-th
// sector write on (counting from 1, from this call on) every sector write
// fails; 0 ends it. With `lost`, those writes report success but the card
// reader keeps none of them (a reader that drops writes). For tests only:
// the product never calls it.
void vexo_SetSectorWriteFailure(uint32_t k, bool lost = false);
// Read-failure seam of the same drivers' file copies: from the k-th sector
// read on (counting from 1, from this call on) every sector read fails, as
// from a card pulled out; 0 ends it. For tests only.
void vexo_SetSectorReadFailure(uint32_t k);
// How many of the next n sector writes may go through (all of them unless
// the seam is set); counts those it allows.
uint32_t vexo_SectorWritesAllowed(uint32_t n);
// How many of n sector writes that went through the card keeps (the first
// ones; all of them unless the seam loses writes).
uint32_t vexo_SectorWritesKept(uint32_t n);
