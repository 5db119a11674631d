/*
 * gethrtime: nanoseconds since the layer was loaded, from a free-running
 * hardware counter that needs no interrupt to advance:
 *
 *  1. the ACPI power-management timer of a PIIX4 chipset (3.579545 MHz,
 *     24 bits), where there is one (QEMU's pc machine has one).  Its 24
 *     bits wrap every 4.7 s; the layer extends them to 64 bits at every
 *     reading, and a kernel timer reads it once a second so that no wrap
 *     goes unseen however long nobody asks for the time;
 *  2. otherwise the processor's time-stamp counter, scaled by the kernel's
 *     measure of the processor clock (cpu_khz, taken at boot);
 *  3. without either, the time of day.
 *
 * Not do_gettimeofday first: the time of day moves in whole timer ticks
 * (2 ms at this kernel's HZ of 512), which are lost when interrupts stay
 * masked or the machine is not scheduled, and an echo is timed over a few
 * milliseconds.  The PM timer before the TSC: under QEMU the PM timer is
 * worked out from QEMU's virtual clock (the host's monotonic clock, the one
 * the board program times its echoes with), while the guest's TSC is the
 * host's, whose rate against that clock was seen to vary by several per
 * cent on a virtual host (boot-time calibrations 2376 and 2427 MHz; 1 m
 * measured as 933 mm).
 */
#include <linux/config.h>
#define __NO_VERSION__
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/time.h>
#include <linux/timer.h>
#include <linux/pci.h>
#include <linux/spinlock.h>
#include <asm/bitops.h>
#include <asm/io.h>
#include <asm/msr.h>
#include <asm/div64.h>
#include <asm/processor.h>

#include "layer.h"

extern unsigned long cpu_khz;

#define PM_TIMER_HZ 3579545UL
#define PIIX4_PMBA 0x40         /* PCI config: PM I/O base */
#define PIIX4_PMREGMISC 0x80    /* bit 0: PM I/O space enabled */
#define PM_TMR 0x08             /* the timer, from the PM base */

enum source { FROM_TIME_OF_DAY, FROM_TSC, FROM_PM_TIMER };
static enum source source;

/* Counter cycles to nanoseconds: ns = cycles * scale / 2^22.  For any
 * counter from 1 MHz up the scale fits in 32 bits; its rounding is under
 * one part in a million. */
#define SCALE_SHIFT 22
static unsigned long scale;

static unsigned long long tsc_at_load;
static struct timeval tv_at_load;

static unsigned int pm_port;
static unsigned long pm_last;           /* last 24-bit reading */
static unsigned long long pm_count;     /* cycles since load */
static spinlock_t pm_lock = SPIN_LOCK_UNLOCKED;
static struct timer_list pm_keeper;

static unsigned long long tsc_read(void)
{
    unsigned long lo, hi;
    rdtsc(lo, hi);
    return ((unsigned long long)hi << 32) | lo;
}

static unsigned long long pm_read(void)
{
    unsigned long flags, now;
    unsigned long long count;

    spin_lock_irqsave(&pm_lock, flags);
    now = inl(pm_port) & 0xffffff;
    pm_count += (now - pm_last) & 0xffffff;
    pm_last = now;
    count = pm_count;
    spin_unlock_irqrestore(&pm_lock, flags);
    return count;
}

static void pm_keep(unsigned long unused)
{
    (void)pm_read();
    mod_timer(&pm_keeper, jiffies + HZ);
}

static unsigned long scale_for(unsigned long hz)
{
    unsigned long long s = 1000000000ULL << SCALE_SHIFT;
    do_div(s, hz);
    return (unsigned long)s;
}

static unsigned long long to_ns(unsigned long long c)
{
    unsigned long long low = (unsigned long long)(unsigned long)c * scale;
    unsigned long long high = (unsigned long long)(unsigned long)(c >> 32) * scale;
    return (high << (32 - SCALE_SHIFT)) + (low >> SCALE_SHIFT);
}

/* The PIIX4's PM timer: its I/O base, when the BIOS has turned it on and
 * the timer is seen to run. */
static unsigned int pm_timer_find(void)
{
    struct pci_dev *dev = pci_find_device(PCI_VENDOR_ID_INTEL, PCI_DEVICE_ID_INTEL_82371AB_3, NULL);
    unsigned int base, port;
    unsigned char misc;
    unsigned long a, b;
    int i;

    if (!dev)
        return 0;
    if (pci_read_config_dword(dev, PIIX4_PMBA, &base) || pci_read_config_byte(dev, PIIX4_PMREGMISC, &misc))
        return 0;
    base &= 0xffc0;
    if (!(misc & 1) || base == 0)
        return 0;
    port = base + PM_TMR;
    a = inl(port) & 0xffffff;
    for (i = 0; i < 1000000; ++i) {
        b = inl(port) & 0xffffff;
        if (b != a)
            return port;
    }
    return 0;
}

int layer_clock_init(void)
{
    pm_port = pm_timer_find();
    if (pm_port) {
        source = FROM_PM_TIMER;
        scale = scale_for(PM_TIMER_HZ);
        pm_last = inl(pm_port) & 0xffffff;
        pm_count = 0;
        init_timer(&pm_keeper);
        pm_keeper.function = pm_keep;
        pm_keeper.expires = jiffies + HZ;
        add_timer(&pm_keeper);
        printk(KERN_INFO "rtl_layer: gethrtime from the ACPI PM timer at 0x%x\n", pm_port);
    } else if (cpu_has_tsc && cpu_khz >= 1000) {
        source = FROM_TSC;
        scale = scale_for(cpu_khz * 1000UL);
        tsc_at_load = tsc_read();
        printk(KERN_INFO "rtl_layer: gethrtime from the time-stamp counter, %lu kHz\n", cpu_khz);
    } else {
        source = FROM_TIME_OF_DAY;
        do_gettimeofday(&tv_at_load);
        printk(KERN_INFO "rtl_layer: gethrtime from the time of day\n");
    }
    return 0;
}

void layer_clock_cleanup(void)
{
    if (source == FROM_PM_TIMER)
        del_timer_sync(&pm_keeper);
}

hrtime_t gethrtime(void)
{
    struct timeval tv;

    switch (source) {
    case FROM_PM_TIMER:
        return (hrtime_t)to_ns(pm_read());
    case FROM_TSC:
        return (hrtime_t)to_ns(tsc_read() - tsc_at_load);
    default:
        do_gettimeofday(&tv);
        return ((hrtime_t)tv.tv_sec - tv_at_load.tv_sec) * 1000000000LL +
               ((hrtime_t)tv.tv_usec - tv_at_load.tv_usec) * 1000LL;
    }
}

EXPORT_SYMBOL(gethrtime);
