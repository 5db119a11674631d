/*
 * RTLinux's hard interrupts over Linux's request_irq.
 *
 * RTLinux masks a line when its interrupt comes and leaves it masked until
 * the handler's module calls rtl_hard_enable_irq; a handler that wants the
 * next interrupt unmasks the line itself.  Here:
 *   - rtl_request_global_irq installs the handler with request_irq
 *     (SA_INTERRUPT: the handler runs with interrupts off, as RTLinux's
 *     do) and leaves the line masked until the first rtl_hard_enable_irq
 *     (an interrupt pending from before the load is not taken for an
 *     answer to a shot that was never fired);
 *     a line that another driver holds gives -EBUSY;
 *   - each interrupt masks the line (disable_irq_nosync: it stays masked
 *     after Linux's end-of-interrupt) before the handler runs;
 *   - rtl_hard_enable_irq / rtl_hard_disable_irq unmask and mask it.
 *
 * RTLinux's mask is a state, not a count: two disables are undone by one
 * enable.  Linux's enable_irq/disable_irq count, so the layer keeps the
 * state of each line and calls Linux only when it changes.
 *
 * The state is changed from the module's shot (Linux side or its thread,
 * possibly with interrupts masked by rtl_no_interrupts), from the handler
 * and from load and unload; a one-processor kernel, so masking interrupts
 * locally is the lock.
 */
#include <linux/config.h>
#define __NO_VERSION__
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/interrupt.h>
#include <asm/irq.h>
#include <asm/system.h>

#include "layer.h"

#define LAYER_IRQS 16

typedef unsigned int (*rtl_irq_handler_t)(unsigned int irq, struct pt_regs *regs);

struct layer_irq {
    int installed;              /* request_irq made for this line */
    rtl_irq_handler_t handler;  /* the module's; null while installing */
    int masked;                 /* masked by the layer (one disable_irq) */
};

static struct layer_irq lines[LAYER_IRQS];

static void line_mask(unsigned int irq)
{
    if (!lines[irq].masked) {
        lines[irq].masked = 1;
        disable_irq_nosync(irq);
    }
}

static void line_unmask(unsigned int irq)
{
    if (lines[irq].masked) {
        lines[irq].masked = 0;
        enable_irq(irq);
    }
}

static void trampoline(int irq, void *dev_id, struct pt_regs *regs)
{
    struct layer_irq *l = dev_id;

    line_mask(irq);
    if (l->handler)
        l->handler(irq, regs);
}

int rtl_request_global_irq(unsigned int irq, rtl_irq_handler_t handler)
{
    unsigned long flags;

    if (irq >= LAYER_IRQS || !handler)
        return -EINVAL;
    if (lines[irq].installed)
        return -EBUSY;
    /* request_irq may sleep, so it runs with interrupts on; an interrupt
     * in between finds no handler yet and is only masked. */
    lines[irq].masked = 0;
    lines[irq].handler = 0;
    if (request_irq(irq, trampoline, SA_INTERRUPT, "rtl_layer", &lines[irq]) != 0)
        return -EBUSY;
    lines[irq].installed = 1;
    /* Masked from the start: only rtl_hard_enable_irq lets interrupts in. */
    save_flags(flags);
    cli();
    line_mask(irq);
    lines[irq].handler = handler;
    restore_flags(flags);
    return 0;
}

int rtl_free_global_irq(unsigned int irq)
{
    if (irq >= LAYER_IRQS || !lines[irq].installed)
        return -EINVAL;
    /* free_irq shuts the line down; a new request_irq starts it afresh
     * (depth 0), so a mask left here needs no enable. */
    lines[irq].handler = 0;
    free_irq(irq, &lines[irq]);
    lines[irq].installed = 0;
    lines[irq].masked = 0;
    return 0;
}

void rtl_hard_enable_irq(unsigned int irq)
{
    unsigned long flags;

    if (irq >= LAYER_IRQS || !lines[irq].installed)
        return;
    save_flags(flags);
    cli();
    line_unmask(irq);
    restore_flags(flags);
}

void rtl_hard_disable_irq(unsigned int irq)
{
    unsigned long flags;

    if (irq >= LAYER_IRQS || !lines[irq].installed)
        return;
    save_flags(flags);
    cli();
    line_mask(irq);
    restore_flags(flags);
}

/* A module unloaded with its interrupt still installed cannot be called
 * any more; the layer is only unloaded after its users, so this finds
 * nothing unless a module forgot its rtl_free_global_irq. */
void layer_irq_cleanup(void)
{
    unsigned int irq;

    for (irq = 0; irq < LAYER_IRQS; ++irq)
        if (lines[irq].installed) {
            printk(KERN_WARNING "rtl_layer: IRQ %u was still installed\n", irq);
            rtl_free_global_irq(irq);
        }
}

EXPORT_SYMBOL(rtl_request_global_irq);
EXPORT_SYMBOL(rtl_free_global_irq);
EXPORT_SYMBOL(rtl_hard_enable_irq);
EXPORT_SYMBOL(rtl_hard_disable_irq);
