/* Linux 2.4 kernel log. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#define KERN_ERR     "<3>"
#define KERN_WARNING "<4>"
#define KERN_INFO    "<6>"

/* Appends the formatted text to the kernel log (dmesg, syslog). */
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
