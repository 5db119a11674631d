// Port I/O seam.
//
// Everything the tools do to the machine's I/O space goes through these five
// calls.  The real programs link portio_direct (ioperm/inb/outb/inw/outw of
// x86 Linux); the simulators and the tests link the bench's implementation.
// The choice is made at link time, so the tool code is the same in both.
//
// Note the argument order: port first, value second, for every output call
// (the C library's outb/outw take the value first; the direct layer swaps).
#ifndef PORTIO_H
#define PORTIO_H

// Ask for (turn_on != 0) or give up (turn_on == 0) access to the num ports
// starting at from.  Returns 0 on success, -1 with errno set on refusal, as
// ioperm(2) does.
int port_permission(unsigned long from, unsigned long num, int turn_on);

unsigned char port_inb(unsigned short port);
void port_outb(unsigned short port, unsigned char value);

unsigned short port_inw(unsigned short port);
void port_outw(unsigned short port, unsigned short value);

#endif
