// The port-access seam for tests and the simulator program: every access
// goes to the simulated adapter of mmc_sim.cpp. A simulated /dev/parport<n>
// (any n) leads to the same adapter, at 0x378: it opens while an adapter is
// installed and not refusing access, and grants its registers only once it
// was asked for exclusively (PPEXCL) and then claimed (PPCLAIM), as the
// driver must; a register ioctl outside a claim is a stray access.
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "drivers/ppa/port_io.h"
#include "sim/mmc_sim.h"

namespace {

constexpr int kPpdevFd = 1000;  // the one simulated ppdev descriptor
constexpr uint16_t kPpdevBase = 0x378;
bool g_ppdevOpen = false;
bool g_ppdevExclusive = false;
bool g_ppdevClaimed = false;

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

int portio_PpdevOpen(const char* /*path*/) {
  if (!mmcsim_Installed() || mmcsim_Faults()->refuseAccess) {
    errno = ENOENT;
    return -1;
  }
  if (g_ppdevOpen) {
    errno = EBUSY;
    return -1;
  }
  g_ppdevOpen = true;
  g_ppdevExclusive = false;
  g_ppdevClaimed = false;
  return kPpdevFd;
}

int portio_PpdevIoctl(int fd, unsigned long request, uint8_t* value) {
  if (fd != kPpdevFd || !g_ppdevOpen) {
    errno = EBADF;
    return -1;
  }
  // Outside a claim the accesses go nowhere the adapter grants: stray.
  const uint16_t base = g_ppdevClaimed ? kPpdevBase : 0;
  switch (request) {
    case PPEXCL: g_ppdevExclusive = !g_ppdevClaimed; return 0;
    case PPCLAIM:
      g_ppdevClaimed = g_ppdevExclusive && mmcsim_RequestAccess(kPpdevBase, 3) == 0;
      return 0;
    case PPRELEASE:
      g_ppdevClaimed = false;
      mmcsim_ReleaseAccess();
      return 0;
    case PPWDATA: mmcsim_Out(base, *value); return 0;
    case PPWCONTROL: mmcsim_Out(static_cast<uint16_t>(base + 2), *value); return 0;
    case PPRSTATUS: *value = mmcsim_In(static_cast<uint16_t>(base + 1)); return 0;
    default: errno = EINVAL; return -1;
  }
}

void portio_PpdevClose(int fd) {
  if (fd != kPpdevFd) return;
  if (g_ppdevClaimed) mmcsim_ReleaseAccess();
  g_ppdevOpen = false;
  g_ppdevClaimed = false;
}
