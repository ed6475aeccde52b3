// Folder host/: the services of the host system: host files (here), locks
// (port_lock.h), pauses and stop requests (pauses.h), progress lines and
// rates (progress.h), the trace hook (trace.h), block copies between a host
// file and a card held as a file (block_copy.h), and a header write's sector
// list run by run (sector_writes.h). Knows no port kind and no card layout.
// May include: base/.
//
// Host files: the checks that open a host file without blocking, the sizes of
// host sources, the files protected as open cards, the blocks read from a
// source, and the temporary output that a copy from the card renames over its
// target only once complete. Pauses, progress and port kinds are not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/vexo_types.h"

// Size of a host file in bytes, 0 when it cannot be opened or measured or is
// not a regular file; files of 4 GiB or more give 0xFFFFFFFF. Never blocks.
uint32_t GetMP3FileSize(const char* path);

// Opens a host file that must be a regular file, never blocking (a FIFO is
// refused, not waited on). A path that names a folder, FIFO, socket or device
// gives -NOT_REGULAR_FILE and is not opened with the given flags at all; any
// other failure to open gives openFailure. On success *fd is open (blocking
// again, close-on-exec).
VexoResult vexo_OpenRegularFile(const char* path, int flags, VexoResult openFailure, int* fd);

// Measures a host source: 0 with *size (0 when it is empty; 0xFFFFFFFF from
// 4 GiB on), -FILE_NOT_EXIST when it is missing or cannot be opened, or
// -NOT_REGULAR_FILE.
VexoResult vexo_MeasureHostFile(const char* path, uint32_t* size);

// The files a driver holds open as a card (an image file, a simulated card's
// storage): no copy from the card may write into one of them. A file is
// known by its device and inode, whatever path names it.
void vexo_ProtectHostFile(int fd);
void vexo_UnprotectHostFile(int fd);

// Steps 2 to 4 of a copy to the card: measure the host file (missing gives
// -FILE_NOT_EXIST, empty -FILE_SIZE_ZERO, anything but a regular file
// -NOT_REGULAR_FILE), refuse a file larger than the space (-CARD_FULL: a
// cut copy would be a broken song or image), open it "rb" (failure gives
// -FILE_NOT_EXIST). On success *file is open and *length holds the bytes to
// transfer.
VexoResult vexo_OpenHostSource(const char* path, uint32_t space, FILE** file, uint32_t* length);

// The next vexo_OpenHostSource cuts its source to the space instead of
// refusing it: the caller chose to copy only the first part of the file.
void vexo_ExpectHostSourceCut();

// Positions an open host source at a byte offset (the 1:1 image copy) and
// reduces *length by it; an offset past the length leaves 0 bytes to copy.
void vexo_SkipHostSource(FILE* file, uint64_t offset, uint32_t* length);

// Reads the next block of up to 512 bytes of a host source into block[0..511];
// the bytes past the host file's end are zero, never stale data. False when
// the host file could not be read or yielded fewer than `wanted` bytes (it
// shrank after it was measured): the copy then ends with -FILE_READ rather
// than putting zeros on the card in place of the file's bytes.
bool vexo_ReadHostBlock(FILE* file, uint8_t* block, uint32_t wanted);
// The same for the next `count` blocks at once (count x 512 bytes), `wanted`
// counting the bytes of all of them.
bool vexo_ReadHostBlocks(FILE* file, uint8_t* blocks, uint32_t count, uint32_t wanted);

// Opens the host target of a copy from the card ("w+b"): a temporary file
// beside a regular (or new) target, which vexo_CloseHostTarget renames over
// the target only after a complete copy; a FIFO or device is written
// directly. Failure gives -FILE_CREATE, a target that is a protected file
// (the open image) -SAME_FILE, before anything is touched.
VexoResult vexo_CreateHostTarget(const char* path, FILE** file);

// Appends bytes to a host target; false when the host refused them.
bool vexo_WriteHostBytes(FILE* file, const uint8_t* bytes, std::size_t count);

// Closes a host target. A result of 0 becomes -FILE_WRITE when the close (the
// final flush) or the rename over the target fails; any other result is
// returned unchanged. Only a result of 0 puts the copy in the target's place;
// otherwise the temporary file is removed and an earlier target stays as it
// was.
VexoResult vexo_CloseHostTarget(FILE* file, VexoResult result);

// Removes the temporary file of the copy under way, from a signal handler
// that is about to end the process (async-signal-safe).
void vexo_DiscardHostTargetFromSignal();

// Reads `count` bytes of a regular host file from `offset` into `bytes`
// (fewer where the file ends): false when it cannot be opened or read.
bool vexo_ReadHostRange(const char* path, uint64_t offset, std::size_t count,
                        std::vector<uint8_t>* bytes);
