// RTLinux's real-time scheduler (rtl_sched.h): threads as coroutines,
// created, made periodic, woken, suspended, waiting for their next release
// and deleted.
#include "rtlinux/kernel/rtl_thread.h"
#include "rtlinux/abi/platform_binding.h"

#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define RTLSIM_ASAN 1
#endif

#ifdef RTLSIM_OWN_SWITCH
extern "C" void rtlsim_switch_stack(void **save_sp, void *load_sp);
__asm__(
    ".text\n"
    ".p2align 4\n"
    ".globl rtlsim_switch_stack\n"
    ".hidden rtlsim_switch_stack\n"
    ".type rtlsim_switch_stack, @function\n"
    "rtlsim_switch_stack:\n"
    "    pushq %rbp\n"
    "    pushq %rbx\n"
    "    pushq %r12\n"
    "    pushq %r13\n"
    "    pushq %r14\n"
    "    pushq %r15\n"
    "    movq %rsp, (%rdi)\n"
    "    movq %rsi, %rsp\n"
    "    popq %r15\n"
    "    popq %r14\n"
    "    popq %r13\n"
    "    popq %r12\n"
    "    popq %rbx\n"
    "    popq %rbp\n"
    "    ret\n"
    ".size rtlsim_switch_stack, .-rtlsim_switch_stack\n");
#endif

namespace rtlsim {

using namespace lx;

namespace {

// The module asks for a 20480-byte stack; the emulation's own code (and the
// sanitizers) run on the thread's stack during platform calls, so the
// coroutine gets more.  The requested size is recorded in ThreadInfo.
constexpr size_t kCoroutineStack = 256 * 1024;

// The scheduler whose thread is starting (switch_to): a thread's first
// instructions find their scheduler here.
Scheduler *starting = nullptr;

}  // namespace

Scheduler::Scheduler(Processor &cpu) : cpu_(cpu), linux_(std::make_unique<LinuxContext>()) {}

Scheduler::~Scheduler()
{
    remove_all();
}

void Scheduler::remove_all()
{
    for (auto &t : threads_)
        release(t.get());
    threads_.clear();
}

void Scheduler::set_end(hrtime end)
{
    end_ = end;
    if (end > cpu_.now())
        for (auto &t : threads_)
            t->held = false;
}

bool Scheduler::thread_stopped_at_end() const
{
    return std::any_of(threads_.begin(), threads_.end(), [](const auto &t) { return t->held; });
}

// The running thread has passed the end of the run inside its work: it
// stops here, ready, as if the Linux side had got the processor, and goes
// on from here if the end moves on.  Its interrupt flag is its own: the
// Linux side gets the processor with interrupts on.
void Scheduler::hold_running_at_end()
{
    rtl_thread_struct *thread = running_;
    bool flag = cpu_.if_on;
    thread->held = true;
    thread->state = ThreadState::ready;
    cpu_.if_on = true;
    switch_to_linux(thread);
    cpu_.if_on = flag;
}

// A waiting thread's next release is an event at release_at (none for
// kNever); when it falls due the thread is ready again.
void Scheduler::set_release(rtl_thread_struct *t, hrtime at)
{
    cpu_.events.cancel(t->release_event);
    t->release_event = bench::EventQueue::kNoEvent;
    t->release_at = at;
    if (at == kNever)
        return;
    t->release_event = cpu_.events.schedule(at, [t] {
        t->release_event = bench::EventQueue::kNoEvent;
        if (t->state == ThreadState::waiting) {
            t->state = ThreadState::ready;
            t->last_release = t->release_at;
            t->release_at = kNever;
        }
    });
}

void thread_entry()
{
    Scheduler &m = *starting;
    rtl_thread_struct *self = m.running_;
#ifdef RTLSIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &m.linux_stack_bottom_, &m.linux_stack_size_);
#endif
    self->body(self->arg);
    m.exited(self);
}

void Scheduler::switch_to(rtl_thread_struct *thread)
{
    PlatformBinding bound(cpu_.ops);
    starting = this;
    running_ = thread;
    thread->state = ThreadState::running;
    cpu_.ctx = Context::rt_thread;
    ++thread->releases;
    if (cpu_.obs)
        cpu_.obs->thread(cpu_.now(), thread_number(thread), ThreadState::running);
#ifdef RTLSIM_ASAN
    void *fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, thread->stack.get(), thread->stack_bytes);
#endif
#ifdef RTLSIM_OWN_SWITCH
    rtlsim_switch_stack(&linux_->sp, thread->sp);
#else
    swapcontext(&linux_->uc, &thread->uc);
#endif
#ifdef RTLSIM_ASAN
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    running_ = nullptr;
    cpu_.ctx = Context::linux_side;
    if (cpu_.obs)
        cpu_.obs->thread(cpu_.now(), thread_number(thread), thread->state);
    if (!cpu_.if_on) {
        cpu_.violation("a real-time thread gave up the processor with interrupts masked");
        cpu_.if_on = true;
    }
}

// Back to the Linux side; returns when the thread is let run again.
void Scheduler::switch_to_linux(rtl_thread_struct *thread)
{
#ifdef RTLSIM_ASAN
    void *fake = nullptr;
    __sanitizer_start_switch_fiber(thread->state == ThreadState::exited ? nullptr : &fake,
                                   linux_stack_bottom_, linux_stack_size_);
#endif
#ifdef RTLSIM_OWN_SWITCH
    rtlsim_switch_stack(&thread->sp, linux_->sp);
#else
    swapcontext(&thread->uc, &linux_->uc);
#endif
#ifdef RTLSIM_ASAN
    __sanitizer_finish_switch_fiber(fake, &linux_stack_bottom_, &linux_stack_size_);
#endif
}

void Scheduler::exited(rtl_thread_struct *thread)
{
    thread->state = ThreadState::exited;
    switch_to_linux(thread);
    std::abort();  // an exited thread is never let run again
}

int Scheduler::create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body, void *arg)
{
    if (!handle || !body)
        return kEinval;
    auto t = std::make_unique<rtl_thread_struct>();
    t->info = info;
    t->body = body;
    t->arg = arg;
    t->stack_bytes = std::max(kCoroutineStack, static_cast<size_t>(std::max(info.stack_size, 0)));
    t->stack.reset(new char[t->stack_bytes]);
#ifdef RTLSIM_OWN_SWITCH
    // The first switch pops six callee-saved registers and returns into
    // thread_entry, which then sees the stack as after a call: 16-byte
    // aligned below a (never used) return address.
    auto top = reinterpret_cast<uintptr_t>(t->stack.get() + t->stack_bytes) & ~uintptr_t(15);
    auto *slot = reinterpret_cast<void **>(top);
    slot[-1] = nullptr;
    slot[-2] = reinterpret_cast<void *>(&thread_entry);
    for (int r = 3; r <= 8; ++r)
        slot[-r] = nullptr;
    t->sp = &slot[-8];
#else
    getcontext(&t->uc);
    t->uc.uc_stack.ss_sp = t->stack.get();
    t->uc.uc_stack.ss_size = t->stack_bytes;
    t->uc.uc_link = nullptr;
    makecontext(&t->uc, thread_entry, 0);
#endif
    t->state = ThreadState::ready;
    t->last_release = cpu_.now();
    *handle = t.get();
    threads_.push_back(std::move(t));
    return 0;  // it starts at once: the machine preempts
}

int Scheduler::thread_number(const rtl_thread_struct *thread) const
{
    for (size_t i = 0; i < threads_.size(); ++i)
        if (threads_[i].get() == thread)
            return static_cast<int>(i) + 1;
    return 0;
}

rtl_thread_struct *Scheduler::live_thread(rtl_thread_struct *thread, const char *op)
{
    if (!thread) {
        cpu_.violation("%s on a null thread handle (from the %s)", op, context_name(cpu_.ctx));
        return nullptr;
    }
    for (auto &t : threads_)
        if (t.get() == thread)
            return thread;
    cpu_.violation("%s on a thread that does not exist", op);
    return nullptr;
}

// The first instant of the thread's series after its last release; kNever
// without a series (or after the one release a period of 0 gives).
hrtime Scheduler::next_release(const rtl_thread_struct &t) const
{
    if (!t.has_series)
        return kNever;
    if (t.last_release < t.series_start)
        return t.series_start;
    if (t.period == 0)
        return kNever;
    hrtime k = (t.last_release - t.series_start) / t.period + 1;
    hrtime offset, next;
    if (__builtin_mul_overflow(k, t.period, &offset) ||
        __builtin_add_overflow(t.series_start, offset, &next))
        return kNever;
    return next;
}

int Scheduler::make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period)
{
    rtl_thread_struct *t = live_thread(thread, "pthread_make_periodic_np");
    if (!t)
        return kEsrch;
    if (period < 0)
        return kEinval;
    t->has_series = true;
    t->series_start = start;
    t->period = period;
    if (t->state == ThreadState::waiting)
        set_release(t, next_release(*t));
    // A first instant that is already due is taken at the next platform
    // call (or merged with a wake-up at the same moment).
    return 0;
}

// The thread is let run by the wake-up itself: a series instant due at this
// same moment is not a second release.
int Scheduler::wakeup(rtl_thread_struct *thread)
{
    rtl_thread_struct *t = live_thread(thread, "pthread_wakeup_np");
    if (!t)
        return kEsrch;
    if (t->state == ThreadState::waiting || t->state == ThreadState::suspended) {
        t->state = ThreadState::ready;
        t->last_release = cpu_.now();
        set_release(t, kNever);
    }
    return 0;  // the machine lets it run
}

int Scheduler::suspend(rtl_thread_struct *thread)
{
    rtl_thread_struct *t = live_thread(thread, "pthread_suspend_np");
    if (!t)
        return kEsrch;
    if (t == running_) {
        t->state = ThreadState::suspended;
        switch_to_linux(t);
        return 0;
    }
    if (t->state == ThreadState::waiting || t->state == ThreadState::ready) {
        t->state = ThreadState::suspended;
        set_release(t, kNever);
    }
    return 0;
}

int Scheduler::wait()
{
    rtl_thread_struct *t = running_;
    if (!t || cpu_.ctx != Context::rt_thread) {
        cpu_.violation("pthread_wait_np from the %s", context_name(cpu_.ctx));
        return kEinval;
    }
    hrtime at = next_release(*t);
    if (at <= cpu_.now()) {
        // Already due (an overrun: the work took longer than the period):
        // it runs on at once for that release, and its next wait looks at
        // the instant after it, so every instant that passed is taken in
        // turn.  A period's work that always overruns never waits again,
        // and the Linux side gets the processor no more.
        t->last_release = at;
        ++overruns_;
        if (cpu_.obs)
            cpu_.obs->overrun(cpu_.now(), thread_number(t), at);
        return 0;
    }
    t->state = ThreadState::waiting;
    set_release(t, at);
    switch_to_linux(t);
    return 0;
}

void Scheduler::release(rtl_thread_struct *t)
{
    cpu_.events.cancel(t->release_event);
    t->release_event = bench::EventQueue::kNoEvent;
#ifdef RTLSIM_ASAN
    // The coroutine's frames leave poisoned red zones in the stack's shadow.
    ASAN_UNPOISON_MEMORY_REGION(t->stack.get(), t->stack_bytes);
#endif
    t->stack.reset();
}

int Scheduler::remove(rtl_thread_struct *thread)
{
    rtl_thread_struct *t = live_thread(thread, "pthread_delete_np");
    if (!t)
        return kEsrch;
    if (t == running_) {
        cpu_.violation("pthread_delete_np on the calling thread itself");
        return kEinval;
    }
    release(t);
    threads_.erase(std::find_if(threads_.begin(), threads_.end(),
                                [t](const auto &p) { return p.get() == t; }));
    return 0;
}

ThreadState Scheduler::thread_state() const
{
    return threads_.empty() ? ThreadState::exited : threads_.front()->state;
}

ThreadInfo Scheduler::thread_info() const
{
    return threads_.empty() ? ThreadInfo{} : threads_.front()->info;
}

long Scheduler::thread_releases() const
{
    return threads_.empty() ? 0 : threads_.front()->releases;
}

}  // namespace rtlsim
