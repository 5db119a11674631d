/*
 * do_div(n, base): divides the unsigned 64-bit lvalue n in place by the
 * 32-bit base and yields the remainder (unsigned long).  A macro, as in
 * Linux (there a statement expression; here a function on n's address, the
 * same contract).
 *
 * A 2.4 kernel does not export libgcc's 64-bit division helpers (__udivdi3,
 * __divdi3, ...), so on i386 a plain 64-bit '/' in a module does not load.
 * do_div divides with two 32-bit DIVL instructions instead: first the high
 * word, then the remainder of that together with the low word.
 */
#ifndef _ASM_DIV64_H
#define _ASM_DIV64_H

#if defined(__i386__)
static inline unsigned long __do_div64(unsigned long long *n, unsigned long base)
{
    unsigned int low = (unsigned int)*n;
    unsigned int high = (unsigned int)(*n >> 32);
    unsigned int upper = high;
    unsigned int rem;

    if (high) {
        upper = high % base;
        high = high / base;
    }
    __asm__("divl %2" : "=a"(low), "=d"(rem) : "rm"(base), "0"(low), "1"(upper));
    *n = ((unsigned long long)high << 32) | low;
    return rem;
}
#else
/* Hosts with native 64-bit division (the emulated platform on x86-64). */
static inline unsigned long __do_div64(unsigned long long *n, unsigned long base)
{
    unsigned long rem = (unsigned long)(*n % base);
    *n = *n / base;
    return rem;
}
#endif

#define do_div(n, base) __do_div64(&(n), (base))

#endif
