/*
 * i386 port output.  outb(value, port): value first, as in the Linux kernel.
 *
 * On the lab PC this is the processor's OUT instruction, inline, so a module
 * needs no symbol for it.  Built for the emulated platform (RTLSIM), the byte
 * goes to the emulated I/O bus instead.
 */
#ifndef _ASM_IO_H
#define _ASM_IO_H

#ifdef RTLSIM
void rtlsim_outb(unsigned char value, unsigned short port);
static inline void outb(unsigned char value, unsigned short port)
{
    rtlsim_outb(value, port);
}
#else
static inline void outb(unsigned char value, unsigned short port)
{
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}
#endif

#endif
