// Signals of one run: SIGINT, SIGTERM and SIGHUP ask the running command to
// stop. The handler only sets flags: the run's stop request and the running
// driver's stop flag; the command then ends on its normal path (closing the
// port, which puts the serial line's settings back). A second signal ends the
// process at once, after putting the serial line's settings back from the
// handler itself. Signals that were ignored when the run began stay ignored.
#pragma once

#include <cstdint>

// Installs the handlers for a run on this port kind, clearing any earlier
// stop request and caught signal.
void vexo_WatchSignals(int32_t kind);
// Puts back the actions that were in place before vexo_WatchSignals.
void vexo_UnwatchSignals();
// The first signal caught since vexo_WatchSignals, or 0.
int vexo_CaughtSignal();
// For main(), after the clean-up: when a signal stopped the run, ends the
// process the way that signal does by default (status 130 for SIGINT in the
// shell); otherwise returns.
void vexo_EndIfSignalled();
