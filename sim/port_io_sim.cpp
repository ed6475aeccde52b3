// The port-access seam for tests and the simulator program: every access
// goes to the simulated adapter of mmc_sim.cpp.
#include "ppa/port_io.h"
#include "sim/mmc_sim.h"

namespace {
// Before main: even a run that fails before installing a card never takes
// the system's lock on a real port address.
const bool g_ownLockFolder = (mmcsim_UseOwnLockFolder(), true);
}  // namespace

int portio_RequestAccess(uint16_t base, unsigned count) {
  return mmcsim_RequestAccess(base, count);
}

void portio_Out(uint16_t port, uint8_t value) { mmcsim_Out(port, value); }

uint8_t portio_In(uint16_t port) { return mmcsim_In(port); }

// Referenced by the simulator's install calls, so that every program that
// installs a simulated card also links this seam (static libraries are
// searched in order, and the library that needs the seam comes later).
int mmcsim_SeamLinked() { return 1; }
