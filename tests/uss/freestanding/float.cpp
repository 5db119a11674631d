// An echo handler that works the distance out in floating point: in
// interrupt context that would clobber the interrupted code's FPU state.
// The freestanding check must reject it.
extern "C" {
#include <linux/module.h>
#include <rtl_time.h>
#include <rtl_fifo.h>
}

static hrtime_t s_time;
static int data;

extern "C" unsigned int intr_handler(unsigned int, struct pt_regs *)
{
    data = (int)((double)(gethrtime() - s_time) * 343.7 / 2000000.0);
    rtf_put(2, &data, sizeof data);
    return 0;
}

extern "C" int init_module(void) { return 0; }
extern "C" void cleanup_module(void) {}
