/* RTLinux 3.1 hard interrupts. */
#ifndef __RTL_CORE_H__
#define __RTL_CORE_H__

struct pt_regs;

/* Installs a real-time handler for the line; 0 when installed, -EBUSY when
 * the line is already taken.  The line stays masked until
 * rtl_hard_enable_irq. */
int rtl_request_global_irq(unsigned int irq,
                           unsigned int (*handler)(unsigned int irq, struct pt_regs *regs));
int rtl_free_global_irq(unsigned int irq);

/* Unmasks / masks the line at the interrupt controller. */
void rtl_hard_enable_irq(unsigned int irq);
void rtl_hard_disable_irq(unsigned int irq);

/* The lab PC has one processor (no CONFIG_SMP: smp_processor_id() is 0). */
#define rtl_getcpuid() 0

#endif
