#include "host/pauses.h"

#include <time.h>

#include <atomic>
#include <cerrno>

namespace {

VexoDelayHook g_delayHook = nullptr;
uint64_t g_delayUnitsTotal = 0;
// Lock-free atomics: a signal handler sets the request.
std::atomic<bool> g_stopRequested{false};
std::atomic<int> g_shieldedSteps{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Pieces of a pause: a stop request ends it after at most one piece (a
// signal also cuts the piece in hand short).
constexpr uint64_t kDelayPieceMicros = 50000;

}  // namespace

void vexo_Delay(uint32_t units) {
  g_delayUnitsTotal += units;
  if (vexo_StopNow()) return;
  if (g_delayHook != nullptr) {
    g_delayHook(units);
    return;
  }
  uint64_t micros = static_cast<uint64_t>(units) * 10000u;
  while (micros > 0 && !vexo_StopNow()) {
    const uint64_t step = micros > kDelayPieceMicros ? kDelayPieceMicros : micros;
    vexo_SleepMicros(step);
    micros -= step;
  }
}

void vexo_DelayOutsideWrite(uint32_t units) {
  const int shielded = g_shieldedSteps.exchange(0);
  vexo_Delay(units);
  g_shieldedSteps += shielded;
}

void vexo_SleepMicros(uint64_t micros) {
  timespec left{static_cast<time_t>(micros / 1000000u), static_cast<long>(micros % 1000000u) * 1000};
  // A signal cuts nanosleep short; the pause goes on unless the run is to stop.
  while (nanosleep(&left, &left) != 0 && errno == EINTR && !vexo_StopNow()) {
  }
}

void vexo_SetDelayHook(VexoDelayHook hook) { g_delayHook = hook; }
uint64_t vexo_DelayUnitsTotal() { return g_delayUnitsTotal; }
void vexo_ResetDelayUnitsTotal() { g_delayUnitsTotal = 0; }

void vexo_RequestStop() { g_stopRequested = true; }
bool vexo_StopRequested() { return g_stopRequested; }
bool vexo_StopNow() { return g_stopRequested && g_shieldedSteps == 0; }
void vexo_ClearStopRequest() { g_stopRequested = false; }
void vexo_BeginShieldedStep() { ++g_shieldedSteps; }
void vexo_EndShieldedStep() { --g_shieldedSteps; }
bool vexo_ShieldedStepRunning() { return g_shieldedSteps != 0; }
