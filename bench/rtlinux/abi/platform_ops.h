// The platform operations: what the module's calls (printk, rtf_put, outb,
// pthread_wait_np, ...) do on the emulated machine, each taking its
// simulated time and switching contexts as the call would on the lab PC.
//
// One interface, and only abi/ is handed it: the machine implements it
// privately and binds it (platform_binding.h) while the module's code runs,
// so the C entry points (platform.cpp, platform_calls.cpp) reach the machine
// whose module is running, and nothing else calls these operations.
#ifndef RTLSIM_ABI_PLATFORM_OPS_H
#define RTLSIM_ABI_PLATFORM_OPS_H

#include <cstdarg>

#include "rtlinux/abi/platform_api.h"
#include "rtlinux/observer.h"

namespace rtlsim {

// What a thread was created with.
struct ThreadInfo {
    int stack_size;
    int use_fp;
    int priority;
    int cpu;
};

class PlatformOps {
public:
    // For telling each call to the observer: who calls, when, and to whom.
    // Asked at every call, so not virtual: views of the implementation's
    // own state (set_views).
    Context context() const { return *context_; }
    bench::Nanos now() const { return clock_->now(); }
    MachineObserver *observer() const { return *observer_; }

    virtual int vlog(const char *fmt, va_list ap) = 0;
    virtual int region_check(unsigned long start, unsigned long n) = 0;
    virtual void *region_request(unsigned long start, unsigned long n, const char *name) = 0;
    virtual void region_release(unsigned long start, unsigned long n) = 0;
    virtual void port_out(unsigned port, unsigned value) = 0;
    // creator: the module whose use count an open takes (none when null).
    virtual int fifo_create(unsigned fifo, int size, const struct module *creator) = 0;
    virtual int fifo_destroy(unsigned fifo) = 0;
    virtual int fifo_set_handler(unsigned fifo, api::FifoHandler handler) = 0;
    virtual int fifo_get(unsigned fifo, void *buf, int count) = 0;
    virtual int fifo_put(unsigned fifo, const void *buf, int count) = 0;
    virtual int irq_request(unsigned irq, api::IrqHandler handler) = 0;
    virtual int irq_free(unsigned irq) = 0;
    virtual void irq_enable(unsigned irq) = 0;
    virtual void irq_disable(unsigned irq) = 0;
    virtual unsigned long irq_save() = 0;
    virtual void irq_restore(unsigned long flags) = 0;
    // gethrtime: a platform call, with its time and its switch point.
    virtual bench::Nanos clock() = 0;
    virtual int thread_create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body,
                              void *arg) = 0;
    virtual int thread_make_periodic(rtl_thread_struct *thread, bench::Nanos start, bench::Nanos period) = 0;
    virtual int thread_wakeup(rtl_thread_struct *thread) = 0;
    virtual int thread_suspend(rtl_thread_struct *thread) = 0;
    virtual int thread_wait() = 0;
    virtual int thread_delete(rtl_thread_struct *thread) = 0;

protected:
    ~PlatformOps() = default;
    void set_views(const Context *context, MachineObserver *const *observer, const bench::SimClock *clock)
    {
        context_ = context;
        observer_ = observer;
        clock_ = clock;
    }

private:
    const Context *context_ = nullptr;
    MachineObserver *const *observer_ = nullptr;
    const bench::SimClock *clock_ = nullptr;
};

}  // namespace rtlsim

#endif
