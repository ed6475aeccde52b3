// Resume maps of long copies. From the card: the copy goes into FILE.part, and beside it
// a small text map FILE.part.map says how many sectors of it are done and
// which card they came from (its size, the copy's length and a checksum of
// its header sector and table sectors). The map is rewritten only after the data it claims is on
// the disk (written, flushed with fdatasync), through a temporary file
// renamed over it, so a cut at any moment leaves a map that claims no more
// than the part file holds. To the card: FILE.write.map beside the host file
// says up to which sector the card holds the file's bytes, and which file and
// card that was (their sizes, the file's modification time, a checksum of
// its header area); the drivers report each sector the card took, and the
// map is rewritten every few hundred of them, claiming only the sectors
// before the last one reported. Deciding whether a map fits the card is the
// caller's; reading the card is not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/vexo_types.h"

struct VexoCopyMap {
  uint32_t done = 0;       // sectors of the part file that are on the disk
  uint32_t length = 0;     // bytes of the whole copy
  uint32_t cardSize = 0;   // bytes of the card
  uint64_t headerSum = 0;  // checksum of the card's header sector and table sectors
};

std::string vexo_PartPath(const char* path);  // FILE.part
std::string vexo_MapPath(const char* path);   // FILE.part.map

// The map beside a copy into `path`: true when it is there, well formed, and
// its part file holds at least the sectors it claims.
bool vexo_LoadCopyMap(const char* path, VexoCopyMap* map);

// True when a copy into `path` can resume: it names a regular file or none.
bool vexo_CanResumeInto(const char* path);

// The next vexo_CreateHostTarget(path) of a regular (or new) file opens
// FILE.part instead, keeps its first map.done sectors, writes `prefill`
// (the card's first bytes, already read) from there on, and carries on after
// them; while it is open the map is rewritten after every `checkpoint` bytes.
// Its close renames FILE.part to FILE and removes the map after a complete
// copy, and otherwise writes the map of what is done. Disarmed by that close
// or by vexo_DisarmResumableTarget.
void vexo_ArmResumableTarget(const char* path, const VexoCopyMap& map, const uint8_t* prefill,
                             std::size_t prefillBytes, std::size_t checkpoint = 1u << 20);
void vexo_DisarmResumableTarget();

// For host_files.cpp, which routes the armed target here.
bool vexo_ResumableArmedFor(const char* path);
VexoResult vexo_OpenResumableTarget(FILE** file);
bool vexo_IsResumableTarget(const FILE* file);
void vexo_NoteResumableWrite(std::size_t count);
VexoResult vexo_CloseResumableTarget(FILE* file, VexoResult result);

// ---- Copies to the card ------------------------------------------------------

struct VexoWriteMap {
  uint32_t done = 0;       // card sectors below this hold the file's bytes
  uint32_t length = 0;     // bytes of the whole copy
  uint32_t cardSize = 0;   // bytes of the card
  uint64_t fileSize = 0;   // the host file as it was
  int64_t fileTime = 0;    // its modification time, ns
  uint64_t headerSum = 0;  // checksum of the file's header area
};

std::string vexo_WriteMapPath(const char* path);  // FILE.write.map

// FNV-1a over bytes: the checksum of the header areas in both maps.
uint64_t vexo_MapChecksum(const uint8_t* bytes, std::size_t count);

// Fills fileSize and fileTime from the host file; false when it cannot be
// measured.
bool vexo_StampWriteMap(const char* path, VexoWriteMap* map);
// The map beside `path`: true when it is there and well formed.
bool vexo_LoadWriteMap(const char* path, VexoWriteMap* map);
// Written atomically (flushed, then renamed over the old one); false when
// it could not be.
bool vexo_SaveWriteMap(const char* path, const VexoWriteMap& map);
void vexo_RemoveWriteMap(const char* path);

// While armed, every sector a driver reports moves the map on, and the map
// is saved after each `checkpoint` sectors. Disarming saves what was
// reported since the last save and returns the map.
void vexo_ArmWriteMap(const char* path, const VexoWriteMap& map, uint32_t checkpoint = 256);
VexoWriteMap vexo_DisarmWriteMap();
bool vexo_WriteMapArmed();
// For the drivers: the card took card sector `sector` of a copy to the card
// (acknowledged it; the card reader: flushed it). Nothing unless armed.
void vexo_NoteSectorOnCard(uint32_t sector);
