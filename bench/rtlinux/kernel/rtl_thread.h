// The real-time scheduler's records (rtl_sched.h): the platform's thread
// record, which pthread_t points to, and where the Linux side is parked
// while a thread runs.
//
// Real-time threads are coroutines on stacks of their own.  On x86-64 the
// switch is a few instructions of our own (callee-saved registers and the
// stack pointer; no signal mask system call, and nothing for AddressSanitizer
// to warn about, as it does for swapcontext); elsewhere ucontext does it.
#ifndef RTLSIM_KERNEL_RTL_THREAD_H
#define RTLSIM_KERNEL_RTL_THREAD_H

#include "rtlinux/kernel/rtl_sched.h"
#include "time/event_queue.h"

#include <cstddef>
#include <memory>

#if defined(__x86_64__)
#define RTLSIM_OWN_SWITCH 1
#else
#include <ucontext.h>
#endif

// The platform's thread record; pthread_t points to it.
struct rtl_thread_struct {
    rtlsim::ThreadState state = rtlsim::ThreadState::ready;
    rtlsim::ThreadInfo info{};
    rtlsim::api::ThreadBody body = nullptr;
    void *arg = nullptr;
#ifdef RTLSIM_OWN_SWITCH
    void *sp = nullptr;
#else
    ucontext_t uc;
#endif
    std::unique_ptr<char[]> stack;
    size_t stack_bytes = 0;
    bool has_series = false;
    rtlsim::hrtime series_start = 0;
    rtlsim::hrtime period = 0;
    rtlsim::hrtime last_release = 0;  // the instant the thread was last let run
    rtlsim::hrtime release_at = rtlsim::kNever;
    long releases = 0;
    // Stopped inside a platform call at the end of the run (Scheduler::set_end):
    // not let run again until the end moves on.
    bool held = false;
    bench::EventQueue::Id release_event = bench::EventQueue::kNoEvent;  // at release_at
};


// Asked at every switch point: inline, here where the record is whole.
inline rtl_thread_struct *rtlsim::Scheduler::ready_thread() const
{
    rtl_thread_struct *next = nullptr;
    for (auto &t : threads_) {
        if (t->state == ThreadState::ready && !t->held && (!next || t->info.priority > next->info.priority))
            next = t.get();
    }
    return next;
}

// Where the Linux side (the caller's stack) is parked while a thread runs.
struct rtlsim::Scheduler::LinuxContext {
#ifdef RTLSIM_OWN_SWITCH
    void *sp = nullptr;
#else
    ucontext_t uc;
#endif
};

#endif
