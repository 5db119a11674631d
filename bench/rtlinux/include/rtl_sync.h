/*
 * RTLinux 3.1 hard interrupt masking.
 *
 * rtl_no_interrupts(flags) saves the processor's interrupt flag in flags and
 * masks every interrupt, the real-time ones included: on the lab PC's single
 * processor nothing else runs until rtl_restore_interrupts(flags) puts the
 * saved flag back.  Usable from Linux-side code, real-time threads and
 * handlers alike.
 */
#ifndef __RTL_SYNC_H__
#define __RTL_SYNC_H__

typedef unsigned long rtl_irqstate_t;

#ifdef RTLSIM
rtl_irqstate_t rtlsim_irq_save(void);
void rtlsim_irq_restore(rtl_irqstate_t flags);
#define rtl_no_interrupts(flags) ((flags) = rtlsim_irq_save())
#define rtl_restore_interrupts(flags) rtlsim_irq_restore(flags)
#else
#define rtl_no_interrupts(flags) \
    __asm__ __volatile__("pushfl\n\tpopl %0\n\tcli" : "=g"(flags) : : "memory")
#define rtl_restore_interrupts(flags) \
    __asm__ __volatile__("pushl %0\n\tpopfl" : : "g"(flags) : "memory", "cc")
#endif

#endif
