/*
 * rtl_layer: RTLinux 3.1's module interface over a plain Linux 2.4 kernel,
 * so that a module written for the lab PC's RTLinux loads and runs,
 * unchanged and unrebuilt, in a stock 2.4 kernel: real-time FIFOs as the
 * character devices /dev/rtfN (major 150), interrupts through request_irq,
 * threads as kernel threads of the SCHED_FIFO class, and gethrtime from a
 * free-running hardware counter (layer_clock.c).  It is NOT hard real time: the "real-time" contexts
 * are ordinary Linux interrupt handlers and kernel threads, with Linux's
 * latencies (see README.md).
 *
 * Load parameter:
 *   release=STRING   the kernel release that uname() reports while the layer
 *                    is loaded, e.g. release=2.4.18-rtl3.1 (the lab PC's).
 *                    The original release comes back when the layer is
 *                    unloaded.  Without it the release is left alone.
 *
 * insmod checks a module's kernel_version against uname()'s release.  The
 * lab PC's modules say 2.4.18-rtl3.1, the release of its RTLinux-patched
 * kernel; the stock kernel this layer runs in has another.  Reporting the
 * lab PC's release while the layer stands in for RTLinux lets insmod make
 * its real check (no -f, which would also let through a module with no or
 * a wrong kernel_version) and keeps the module object exactly as the lab
 * PC builds it.
 */
#include <linux/config.h>
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/utsname.h>

#include "layer.h"

MODULE_DESCRIPTION("RTLinux 3.1 module interface over Linux 2.4 (not hard real time)");
MODULE_LICENSE("GPL");

/* Not static: insmod sets it in the loaded image, and gcc would take an
 * unassigned static for a constant null. */
char *release;
MODULE_PARM(release, "s");
MODULE_PARM_DESC(release, "kernel release to report while loaded (the lab PC's: 2.4.18-rtl3.1)");

/* Compilers from gcc 3.1 on drop the unreferenced .modinfo strings that
 * linux/module.h defines; insmod needs kernel_version, and the licence
 * keeps the kernel untainted. */
static const char *const modinfo_kept[] __attribute__((used)) = {
    __module_kernel_version, __module_license
};

static char saved_release[sizeof system_utsname.release];
static int release_changed;

int init_module(void)
{
    int err;

    err = layer_clock_init();
    if (err)
        return err;
    err = layer_fifo_init();
    if (err) {
        layer_clock_cleanup();
        return err;
    }

    if (release && *release) {
        if (strlen(release) >= sizeof system_utsname.release) {
            layer_fifo_cleanup();
            layer_clock_cleanup();
            printk(KERN_ERR "rtl_layer: release= too long\n");
            return -EINVAL;
        }
        down_write(&uts_sem);
        memcpy(saved_release, system_utsname.release, sizeof saved_release);
        strcpy(system_utsname.release, release);
        up_write(&uts_sem);
        release_changed = 1;
    }
    printk(KERN_INFO "rtl_layer: RTLinux services over Linux %s (not hard real time)%s%s\n",
           release_changed ? saved_release : system_utsname.release,
           release_changed ? ", reporting release " : "", release_changed ? release : "");
    return 0;
}

void cleanup_module(void)
{
    layer_sched_cleanup();
    layer_irq_cleanup();
    layer_fifo_cleanup();
    layer_clock_cleanup();
    if (release_changed) {
        down_write(&uts_sem);
        memcpy(system_utsname.release, saved_release, sizeof saved_release);
        up_write(&uts_sem);
    }
    printk(KERN_INFO "rtl_layer: unloaded\n");
}
