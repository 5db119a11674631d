/* RTLinux 3.1: the core services every real-time module includes first. */
#ifndef __RTL__
#define __RTL__

#include "rtl_core.h"
#include "rtl_sync.h"
#include "rtl_time.h"

#endif
