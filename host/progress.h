// Progress and rates of a file transfer: the progress line, the truncation
// notices and the transfer rate. Only these texts are printed here; reading
// and writing the host files is not here.
//
// The progress line is " %ld / %ld (%d%%) \r". When standard output is a
// terminal it also carries the average rate and the time left of the copy
// under way, and is printed at most four times a second; anything else
// (a pipe, a file) gets every line exactly as it stands. A quiet run prints
// no progress lines at all.
#pragma once

#include <cstdint>
#include <cstddef>
#include <ctime>

// The transfer progress line for sector index `index` of `total`, flushed at
// once. A line whose index is lower than the last one, or whose total
// differs, begins a new copy (its rate and time left are measured afresh).
void vexo_PrintProgress(uint32_t index, uint32_t total);

// Before the line that ends a copy (" Done." and its blanks): on a terminal,
// blanks out a progress line longer than that line. Nothing on other output.
void vexo_EndProgressLine();

// No progress lines at all while set (the command line's --quiet).
void vexo_SetProgressQuiet(bool quiet);
bool vexo_ProgressQuiet();

// The seconds clock of the rate on a terminal; nullptr puts back the steady
// clock. For tests only: the product never calls it.
void vexo_SetProgressClock(double (*clock)());

// The terminal form of the progress line: the plain line, then the average
// rate of the sectors done since `firstIndex` over `elapsed` seconds and the
// time left at that rate, once both can be measured.
struct VexoProgressLine {
  uint32_t index = 0;
  uint32_t total = 0;
  uint32_t firstIndex = 0;
  double elapsed = 0;
};
int vexo_FormatTerminalProgress(const VexoProgressLine& line, char* text, std::size_t size);

// A time in whole seconds, rounded: "1:02:03", or "2:03" below an hour.
void vexo_FormatDuration(double seconds, char* text, std::size_t size);

// total x 4096 bits over the elapsed whole seconds. With zeroBelowOneSecond
// an elapsed time of 0 or less gives 0, otherwise it counts as 1 second.
float vexo_TransferRate(uint32_t total, std::time_t elapsed, bool zeroBelowOneSecond);

// total x 4096 bits over the elapsed time measured with a fine clock; a
// time too short to measure counts as one microsecond.
float vexo_TransferRateFine(uint32_t total, double elapsedSeconds);

// trunc(index / total x 100), 0 when total is 0.
int vexo_ProgressPercent(uint32_t index, uint32_t total);
