// RTLinux's real-time scheduler: the threads (coroutines on stacks of their
// own), their periodic series and releases, and the switch between a thread
// and the Linux side.  Which context gets the processor, and when, is the
// machine's preemption (machine.cpp): it asks ready_thread() and hands the
// processor over with switch_to().  Releases of waiting threads are events
// on the processor's queue.
//
// The thread calls (create, make_periodic, wakeup, suspend, wait, remove)
// are the pthread calls' work once the machine has taken the call's time;
// their results are POSIX-style (0 or an error number).
#ifndef RTLSIM_KERNEL_RTL_SCHED_H
#define RTLSIM_KERNEL_RTL_SCHED_H

#include <cstddef>
#include <memory>
#include <vector>

#include "rtlinux/abi/platform_ops.h"
#include "rtlinux/kernel/processor.h"

namespace rtlsim {

class Scheduler {
public:
    explicit Scheduler(Processor &cpu);
    ~Scheduler();
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    // ---- the pthread calls ----
    int create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body, void *arg);
    int make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period);
    int wakeup(rtl_thread_struct *thread);
    int suspend(rtl_thread_struct *thread);
    int wait();
    int remove(rtl_thread_struct *thread);

    // ---- for the machine's preemption and its end of the run ----

    // The ready thread of the highest priority that may run, or null.
    rtl_thread_struct *ready_thread() const;
    // Runs the thread until it gives the processor back.
    void switch_to(rtl_thread_struct *thread);
    // Which context has the processor now.
    Context context() const { return cpu_.ctx; }
    // The running thread, or null on the Linux side.
    rtl_thread_struct *running() const { return running_; }
    // Stops the running thread here at the end of the run (set_end).
    void hold_running_at_end();
    void set_end(hrtime end);
    hrtime end() const { return end_; }
    // Every thread is taken away (an unload, a failed load, the machine's end).
    void remove_all();

    // ---- observation ----

    size_t thread_count() const { return threads_.size(); }
    // The first live thread's state / creation record / releases (tests
    // have one).
    ThreadState thread_state() const;
    ThreadInfo thread_info() const;
    long thread_releases() const;
    // Whether a thread was stopped by the end (it had the processor then).
    bool thread_stopped_at_end() const;
    // Releases that came while the thread was still at work on an earlier
    // one (its work overran the period), counted over the run.
    long overruns() const { return overruns_; }

private:
    struct LinuxContext;
    friend void thread_entry();

    void switch_to_linux(rtl_thread_struct *thread);
    void exited(rtl_thread_struct *thread);
    hrtime next_release(const rtl_thread_struct &thread) const;
    void set_release(rtl_thread_struct *thread, hrtime at);
    rtl_thread_struct *live_thread(rtl_thread_struct *thread, const char *op);
    // 1 for the first live thread, ... (0: none); for observers.
    int thread_number(const rtl_thread_struct *thread) const;
    void release(rtl_thread_struct *thread);

    Processor &cpu_;
    std::vector<std::unique_ptr<rtl_thread_struct>> threads_;
    rtl_thread_struct *running_ = nullptr;
    std::unique_ptr<LinuxContext> linux_;
    const void *linux_stack_bottom_ = nullptr;
    size_t linux_stack_size_ = 0;
    hrtime end_ = kNever;
    long overruns_ = 0;
};

}  // namespace rtlsim

#endif
