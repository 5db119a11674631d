/* The kernel the module is built for: Linux 2.4.18 with the RTLinux 3.1 patch. */
#ifndef _LINUX_VERSION_H
#define _LINUX_VERSION_H

#define UTS_RELEASE "2.4.18-rtl3.1"
#define LINUX_VERSION_CODE 132114          /* KERNEL_VERSION(2,4,18) */
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))

#endif
