/* RTLinux 3.1 POSIX threads, for real-time modules. */
#ifndef __RTL_PTHREAD_H__
#define __RTL_PTHREAD_H__

#include "rtl_sched.h"

#endif
