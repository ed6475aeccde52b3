// Real port access through x86 I/O instructions after ioperm (needs root),
// or through the ppdev driver's device file (needs the group lp).
#include <fcntl.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "drivers/ppa/port_io.h"

int portio_RequestAccess(uint16_t base, unsigned count) {
  return ioperm(base, count, 1) == -1 ? -1 : 0;
}

void portio_Out(uint16_t port, uint8_t value) { outb(value, port); }

uint8_t portio_In(uint16_t port) { return inb(port); }

int portio_PpdevOpen(const char* path) { return open(path, O_RDWR | O_CLOEXEC | O_NOCTTY); }

int portio_PpdevIoctl(int fd, unsigned long request, uint8_t* value) {
  return ioctl(fd, request, value) == -1 ? -1 : 0;
}

void portio_PpdevClose(int fd) { close(fd); }
