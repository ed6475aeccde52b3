// Resumable copies from the card: the copy goes into FILE.part, and beside it
// a small text map FILE.part.map says how many sectors of it are done and
// which card they came from (its size, the copy's length and a checksum of
// its header area). The map is rewritten only after the data it claims is on
// the disk (written, flushed with fdatasync), through a temporary file
// renamed over it, so a cut at any moment leaves a map that claims no more
// than the part file holds. Deciding whether a map fits the card is the
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
  uint64_t headerSum = 0;  // checksum of the card's header area
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
