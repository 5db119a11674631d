/*
 * RTLinux port I/O for real-time modules (i386): rtl_outb(data, port), the
 * value first, as Linux's outb.  The argument types are RTLinux's own (char
 * and short; a port above 0x7fff does not fit, the board's do).
 *
 * On the lab PC this is the processor's OUT instruction, inline, so a module
 * needs no symbol for it.  Built for the emulated platform (RTLSIM), the byte
 * goes to the emulated I/O bus instead.  The module uses RTLinux's port
 * output rather than Linux's <asm/io.h>, which pulls in linux/sched.h, whose
 * C does not compile as C++.
 */
#ifndef __RTL_IO_H__
#define __RTL_IO_H__

#ifdef RTLSIM
void rtlsim_outb(unsigned char value, unsigned short port);
static inline void rtl_outb(char data, short port)
{
    rtlsim_outb((unsigned char)data, (unsigned short)port);
}
#else
static inline void rtl_outb(char data, short port)
{
    __asm__ __volatile__("outb %b0, %w1\n\t" : : "a"(data), "Nd"(port));
}
#endif

#endif
