/*
 * ioholder: a Linux 2.4 module that holds one I/O port and/or one
 * interrupt line while it is loaded, as another driver on the lab PC
 * might: the range-finder module's load must then fail cleanly.
 *
 *   insmod ioholder.o port=0x131      holds port 0x131 ("ioholder")
 *   insmod ioholder.o irq=11          holds IRQ 11 (not shared)
 *
 * Built like linux24_layer against the test kernel's headers.
 */
#include <linux/config.h>
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/ioport.h>

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("holds an I/O port or an IRQ line (tests)");

/* Not static: insmod sets them in the loaded image, and gcc would fold a
 * static that the source never assigns into a constant. */
int port;        /* 0: none */
int irq = -1;    /* -1: none */
MODULE_PARM(port, "i");
MODULE_PARM(irq, "i");
EXPORT_NO_SYMBOLS;

static const char *const modinfo_kept[] __attribute__((used)) = {
    __module_kernel_version, __module_license
};

static void quiet_handler(int line, void *dev_id, struct pt_regs *regs)
{
}

int init_module(void)
{
    if (port && !request_region(port, 1, "ioholder")) {
        printk(KERN_INFO "ioholder: port 0x%x is taken\n", port);
        return -EBUSY;
    }
    if (irq >= 0 && request_irq(irq, quiet_handler, 0, "ioholder", &port) != 0) {
        printk(KERN_INFO "ioholder: IRQ %d is taken\n", irq);
        if (port)
            release_region(port, 1);
        return -EBUSY;
    }
    printk(KERN_INFO "ioholder: holding port 0x%x, IRQ %d\n", port, irq);
    return 0;
}

void cleanup_module(void)
{
    if (irq >= 0)
        free_irq(irq, &port);
    if (port)
        release_region(port, 1);
}
