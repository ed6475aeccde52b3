// Progress and rates of a file transfer: the progress line, the truncation
// notices and the transfer rate. Only these texts are printed here; reading
// and writing the host files is not here.
#pragma once

#include <cstdint>
#include <ctime>

// The transfer progress line " %ld / %ld (%d%%) \r", flushed at once.
void vexo_PrintProgress(uint32_t index, uint32_t total);

// The truncation notices of the copy to the card.
extern const char* const VEXO_TRUNCATION_LINE_PARALLEL;  // leading space
extern const char* const VEXO_TRUNCATION_LINE_PLAIN;     // serial, image file
void vexo_PrintText(const char* text);                   // printed and flushed

// total x 4096 bits over the elapsed whole seconds. With zeroBelowOneSecond
// an elapsed time of 0 or less gives 0, otherwise it counts as 1 second.
float vexo_TransferRate(uint32_t total, std::time_t elapsed, bool zeroBelowOneSecond);

// total x 4096 bits over the elapsed time measured with a fine clock; a
// time too short to measure counts as one microsecond.
float vexo_TransferRateFine(uint32_t total, double elapsedSeconds);

// trunc(index / total x 100), 0 when total is 0.
int vexo_ProgressPercent(uint32_t index, uint32_t total);
