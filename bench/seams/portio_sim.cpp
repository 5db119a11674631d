// The port seam routed to the bench's I/O bus.
#include "portio.h"

#include "bus/io_bus.h"

int port_permission(unsigned long from, unsigned long num, int turn_on)
{
    return bench::io().permission(from, num, turn_on);
}

unsigned char port_inb(unsigned short port)
{
    return bench::io().in8(port);
}

void port_outb(unsigned short port, unsigned char value)
{
    bench::io().out8(port, value);
}

unsigned short port_inw(unsigned short port)
{
    return bench::io().in16(port);
}

void port_outw(unsigned short port, unsigned short value)
{
    bench::io().out16(port, value);
}
