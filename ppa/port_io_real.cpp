// Real port access through x86 I/O instructions after ioperm. Needs root.
#include <sys/io.h>

#include "ppa/port_io.h"

int portio_RequestAccess(uint16_t base, unsigned count) {
  return ioperm(base, count, 1) == -1 ? -1 : 0;
}

void portio_Out(uint16_t port, uint8_t value) { outb(value, port); }

uint8_t portio_In(uint16_t port) { return inb(port); }
