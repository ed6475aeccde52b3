// Routines every layer shares: pauses, sector arithmetic, host file size, the
// silent trace hook, and the pieces of the file-transfer contract that all
// three drivers follow (progress line, truncation notice, host-file blocks,
// transfer rate). Drivers build their WriteFile/ReadFile from these so that
// the contract lives in one place. Nothing here knows a port kind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "transport/vexo_types.h"

// ---- Pauses -------------------------------------------------------------

// Pauses n x 10 ms. Every fixed pause of the program goes through here.
void vexo_Delay(uint32_t units);
// A pause at which no write is under way (before a copy begins, or after the
// card or player has taken a write in whole): nothing would be left half
// done, so a stop request ends it at once, even inside a shielded step.
void vexo_DelayOutsideWrite(uint32_t units);

// Sleeps this long; a signal does not shorten it, only a stop request does.
void vexo_SleepMicros(uint64_t micros);

// Tests and the simulator program may replace the sleep behind vexo_Delay
// (to shorten the long fixed pauses). nullptr restores the real sleep.
// The product never calls this.
using VexoDelayHook = void (*)(uint32_t units);
void vexo_SetDelayHook(VexoDelayHook hook);

// Total of all units passed to vexo_Delay since the last reset (for tests
// that check a pause happened, whether or not it was shortened).
uint64_t vexo_DelayUnitsTotal();
void vexo_ResetDelayUnitsTotal();

// ---- Stop request of the run ----------------------------------------------

// Set from a signal handler (async-signal-safe): the run is to end. File
// copies end after the sector in hand, no copy or header write begins, and,
// outside shielded steps, pauses return at once and the serial polls give up.
void vexo_RequestStop();
bool vexo_StopRequested();
// True when a stop was requested and no shielded step runs: what pauses and
// polls ask before they wait.
bool vexo_StopNow();
void vexo_ClearStopRequest();  // for tests and a new run in the same process
// A shielded step (a header write, a file copy) keeps its pauses and polls at
// full length, so that a header is never left half written and a copy always
// completes the sector in hand. Steps may nest.
void vexo_BeginShieldedStep();
void vexo_EndShieldedStep();
bool vexo_ShieldedStepRunning();

// ---- Arithmetic and host files ---------------------------------------------

// n / 512, plus 1 when n is not a multiple of 512.
uint32_t BytesToSectors(uint32_t bytes);

// 1 doubled n times (0 gives 1); 64-bit so that no doubling overflows for
// any exponent a card register can hold (n up to 63).
uint64_t PowerOfTwo(uint32_t n);

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

// ---- Trace hook ------------------------------------------------------------

// printf-style trace texts of the drivers and the card layer; silent unless
// code that links the library installs a sink.
void vexo_Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
using VexoTraceSink = void (*)(const char* text);
void vexo_SetTraceSink(VexoTraceSink sink);

// ---- File-transfer contract ------------------------------------------------

// The transfer progress line " %ld / %ld (%d%%) \r", flushed at once.
void vexo_PrintProgress(uint32_t index, uint32_t total);

// The truncation notices of the copy to the card.
extern const char* const VEXO_TRUNCATION_LINE_PARALLEL;  // leading space
extern const char* const VEXO_TRUNCATION_LINE_PLAIN;     // serial, image file
void vexo_PrintText(const char* text);                   // printed and flushed

// Steps 2 to 4 of a copy to the card: measure the host file (missing gives
// -FILE_NOT_EXIST, empty -FILE_SIZE_ZERO, anything but a regular file
// -NOT_REGULAR_FILE), cut the length to the space (printing the truncation
// line when progress is set), open it "rb" (failure gives -FILE_NOT_EXIST).
// On success *file is open and *length holds the bytes to transfer.
VexoResult vexo_OpenHostSource(const char* path, uint32_t space, int progress,
                               const char* truncationLine, FILE** file,
                               uint32_t* length);

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

// Bytes of the last sector of a copy from the card: 512, or length mod 512
// for the last sector when that is not 0.
uint32_t vexo_BytesOfSector(uint32_t index, uint32_t total, uint32_t length);

// total x 4096 bits over the elapsed whole seconds. With zeroBelowOneSecond
// an elapsed time of 0 or less gives 0, otherwise it counts as 1 second.
float vexo_TransferRate(uint32_t total, std::time_t elapsed, bool zeroBelowOneSecond);

// total x 4096 bits over the elapsed time measured with a fine clock; a
// time too short to measure counts as one microsecond.
float vexo_TransferRateFine(uint32_t total, double elapsedSeconds);

// trunc(index / total x 100), 0 when total is 0.
int vexo_ProgressPercent(uint32_t index, uint32_t total);
