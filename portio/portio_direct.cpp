// Direct port access for x86 Linux: the process executes the in/out
// instructions itself once the kernel has granted the range with ioperm().
// Without the privilege (root or CAP_SYS_RAWIO) ioperm() fails and no port is
// touched; an in/out on a port that was not granted kills the process with
// SIGSEGV, so callers must ask first.
#include "portio.h"

#include <sys/io.h>

int port_permission(unsigned long from, unsigned long num, int turn_on)
{
    return ioperm(from, num, turn_on);
}

unsigned char port_inb(unsigned short port)
{
    return inb(port);
}

void port_outb(unsigned short port, unsigned char value)
{
    outb(value, port);  // glibc order: value, then port
}

unsigned short port_inw(unsigned short port)
{
    return inw(port);
}

void port_outw(unsigned short port, unsigned short value)
{
    outw(value, port);  // glibc order: value, then port
}
