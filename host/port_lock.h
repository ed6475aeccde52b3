// Exclusive locks that keep a second user off a port: every driver's open
// takes one before it touches anything, and its close releases it. Two kinds:
// a lock on an open descriptor (an image file, a serial line, a device), and
// a named lock file in the system's lock folder for ports that have no file of
// their own (the parallel adapter's I/O address). The locks are flock locks,
// so they also end with the process. Knows nothing of port kinds.
#pragma once

#include "base/vexo_types.h"

// Takes an exclusive lock on an open descriptor without waiting:
// 0, or -PORT_IN_USE when another open of the same file holds it.
VexoResult vexo_LockDescriptor(int fd);

// Locks the lock file `name` in the lock folder (/run/lock, or /tmp when the
// file cannot be made there), creating it when missing. 0 with *lockFd set,
// or -PORT_IN_USE when another holder has it. When no folder can hold the
// file, 0 with *lockFd -1: a system without a usable lock folder works as
// before, unlocked.
VexoResult vexo_LockNamed(const char* name, int* lockFd);

// Releases a lock taken by vexo_LockNamed (or a descriptor that only carries
// a lock) and sets *lockFd to -1; nothing for -1. The lock file stays, so
// that a waiting user never locks a file that is being removed.
void vexo_ReleaseNamed(int* lockFd);

// Replaces the first lock folder (nullptr restores /run/lock); /tmp stays the
// fallback. For tests and the simulator program only.
void vexo_SetLockFolder(const char* folder);
