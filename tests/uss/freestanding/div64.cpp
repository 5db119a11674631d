// A module routine that divides a 64-bit value with '/': on i386 that is a
// call to libgcc's __udivdi3, which a 2.4 kernel does not export.  The
// freestanding check must reject it.
extern "C" {
#include <linux/module.h>
#include <rtl_time.h>
}

extern "C" unsigned int elapsed_ms(hrtime_t start, hrtime_t end)
{
    return (unsigned int)((unsigned long long)(end - start) / 1000000u);
}

extern "C" int init_module(void) { return 0; }
extern "C" void cleanup_module(void) {}
