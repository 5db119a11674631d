/* RTLinux 3.1 high-resolution clock. */
#ifndef __RTL_TIME_H__
#define __RTL_TIME_H__

/* Time in nanoseconds, signed 64-bit. */
typedef long long hrtime_t;

#define NSECS_PER_SEC 1000000000

/* The current reading of the platform's high-resolution clock. */
hrtime_t gethrtime(void);

#endif
