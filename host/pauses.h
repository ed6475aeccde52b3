// Pauses and stop requests: every fixed pause of the program (vexo_Delay and
// the hook that shortens it in tests), the stop request a signal sets, and the
// shielded steps that keep their pauses at full length. Host files, progress
// and port kinds are not here.
#pragma once

#include <cstdint>

#include "base/vexo_types.h"

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

// Runs `step` (a header write, a file copy) as a shielded step, and only while
// no stop was requested: -TRANSFER_STOPPED without running it otherwise. A
// copy's driver ends it at a sector boundary when a stop comes during it.
template <typename Step>
int32_t vexo_RunShielded(Step step) {
  if (vexo_StopRequested()) return -VEXO_ERROR_TRANSFER_STOPPED;
  vexo_BeginShieldedStep();
  const int32_t result = step();
  vexo_EndShieldedStep();
  return result;
}
