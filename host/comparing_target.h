// A copy from the card that compares instead of writing: while armed for a
// path, the next vexo_CreateHostTarget(path) opens that existing host file
// for reading, every vexo_WriteHostBytes compares the bytes the driver hands
// it with the file's bytes at the same offset (nothing is written anywhere),
// and vexo_CloseHostTarget ends the comparison. So a verification runs
// through each driver's own copy loop, at the port's speed, with its progress
// lines, stop request and rate. The card layout and the ports are not here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "base/vexo_types.h"

// What one comparison found: the bytes compared, the 512-byte sectors of the
// copy (counted from its first byte) that differ, the first `listed` of them.
struct VexoComparison {
  uint64_t bytes = 0;
  uint32_t differing = 0;
  std::vector<uint32_t> first;
};

// The next vexo_CreateHostTarget(path) compares with `path`; the first
// `listed` differing sectors are kept. Disarmed by that target's close or by
// vexo_DisarmComparingTarget, which also returns what was found.
void vexo_ArmComparingTarget(const char* path, uint32_t listed);
VexoComparison vexo_DisarmComparingTarget();

// For host_files.cpp, which routes the armed target here.
bool vexo_ComparingArmedFor(const char* path);
VexoResult vexo_OpenComparingTarget(FILE** file);
bool vexo_IsComparingTarget(const FILE* file);
// Compares the next `count` bytes; false only when the host file could not
// be read there (it shrank): the copy then ends.
bool vexo_CompareHostBytes(const uint8_t* bytes, std::size_t count);
// A result of 0 becomes -CARD_DIFFERS when a sector differed and -FILE_READ
// when the file could not be read; any other result is returned unchanged.
VexoResult vexo_CloseComparingTarget(FILE* file, VexoResult result);
