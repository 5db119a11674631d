/* Linux 2.4 error numbers used by the range-finder module and its platform. */
#ifndef _LINUX_ERRNO_H
#define _LINUX_ERRNO_H

#define ESRCH   3   /* no such thread */
#define EBUSY  16   /* I/O region or interrupt line already taken */
#define ENODEV 19   /* no such device: a failed module load, an unknown FIFO */
#define EINVAL 22   /* invalid argument */
#define ENOSPC 28   /* no room left in a real-time FIFO */

#endif
