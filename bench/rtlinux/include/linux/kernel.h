/* Linux 2.4 kernel log. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#define KERN_ERR     "<3>"
#define KERN_WARNING "<4>"
#define KERN_INFO    "<6>"

/* Appends the formatted text to the kernel log (dmesg, syslog).  Linux
 * declares it asmlinkage: C linkage and, on i386, every argument on the
 * stack (regparm(0)); the x86-64 emulation has no regparm. */
#ifdef __cplusplus
extern "C"
#endif
int printk(const char *fmt, ...)
#if defined(__i386__)
    __attribute__((regparm(0)))
#endif
    __attribute__((format(printf, 1, 2)));

#endif
