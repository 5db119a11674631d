/*
 * rtl_layer: RTLinux 3.1's module interface over a plain Linux 2.4 kernel.
 * What the parts of the layer share.  See README.md.
 */
#ifndef RTL_LAYER_H
#define RTL_LAYER_H

#include <linux/types.h>

/* RTLinux's time: signed 64-bit nanoseconds. */
typedef long long hrtime_t;

#define LAYER_NEVER 0x7fffffffffffffffLL

/* layer_clock.c */
int layer_clock_init(void);
void layer_clock_cleanup(void);
hrtime_t gethrtime(void);

/* layer_irq.c */
void layer_irq_cleanup(void);

/* layer_fifo.c */
int layer_fifo_init(void);
void layer_fifo_cleanup(void);

/* layer_sched.c */
void layer_sched_cleanup(void);

#endif
