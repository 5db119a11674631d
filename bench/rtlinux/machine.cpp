// The emulated lab PC: see machine.h.
#include "rtlinux/machine.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define RTLSIM_ASAN 1
#endif

// Real-time threads are coroutines on stacks of their own.  On x86-64 the
// switch is a few instructions of our own (callee-saved registers and the
// stack pointer; no signal mask system call, and nothing for AddressSanitizer
// to warn about, as it does for swapcontext); elsewhere ucontext does it.
#if defined(__x86_64__)
#define RTLSIM_OWN_SWITCH 1
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
};

namespace rtlsim {

namespace {

// Linux's error numbers (the host's <cerrno> has the same values, but the
// module sees these).
constexpr int kEnodev = 19;
constexpr int kEbusy = 16;
constexpr int kEinval = 22;
constexpr int kEnospc = 28;
constexpr int kEsrch = 3;
constexpr int kEnoent = 2;
constexpr int kEintr = 4;
constexpr int kEbadf = 9;
constexpr int kEacces = 13;

// The module asks for a 20480-byte stack; the emulation's own code (and the
// sanitizers) run on the thread's stack during platform calls, so the
// coroutine gets more.  The requested size is recorded in ThreadInfo.
constexpr size_t kCoroutineStack = 256 * 1024;

const char *context_name(Context c)
{
    switch (c) {
    case Context::linux_side: return "Linux side";
    case Context::rt_thread: return "real-time thread";
    case Context::interrupt: return "interrupt handler";
    }
    return "?";
}

}  // namespace

Machine *Machine::current_ = nullptr;

// Where the Linux side (the caller's stack) is parked while a thread runs.
struct Machine::LinuxContext {
#ifdef RTLSIM_OWN_SWITCH
    void *sp = nullptr;
#else
    ucontext_t uc;
#endif
};

// ---------------------------------------------------------------- basics

Machine::Machine() : linux_(std::make_unique<LinuxContext>())
{
    if (current_) {
        std::fprintf(stderr, "rtlsim: only one Machine at a time\n");
        std::abort();
    }
    current_ = this;
}

Machine::~Machine()
{
    // The Linux processes end first: their FIFOs close, and the module can
    // go.
    while (!writes_.empty())
        linux_exit(writes_.front().pid);
    for (auto &f : fifos_)
        while (f.open_count > 0)
            linux_exit(f.opener);
    if (dl_)
        rmmod();
    for (auto &t : threads_)
        release_thread(t.get());
    threads_.clear();
    current_ = nullptr;
}

Machine &Machine::current()
{
    if (!current_) {
        std::fprintf(stderr, "rtlsim: platform call with no Machine\n");
        std::abort();
    }
    return *current_;
}

std::string Machine::default_module_path()
{
#ifdef RTLSIM_DEFAULT_MODULE
    return RTLSIM_DEFAULT_MODULE;
#else
    return "echorange.so";
#endif
}

void Machine::violation(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    violations_.push_back(buf);
}

// Every platform call starts here: the call takes its (simulated) time,
// whatever fell due meanwhile is noticed, and a higher context that is ready
// gets the processor before the call goes on.
void Machine::platform_call(const char *name, bool switch_point)
{
    if (hook_ && hook_depth_ == 0) {
        ++hook_depth_;
        hook_(name);
        --hook_depth_;
    }
    if (call_cost_ > 0)
        now_ += call_cost_;
    if (switch_point) {
        collect_due();
        preempt();
    }
}

void Machine::collect_due()
{
    if (!echoes_.empty() || !strays_.empty()) {
        // Both lists are short (the echoes of the last few shots).
        for (size_t i = 0; i < echoes_.size();) {
            if (echoes_[i] <= now_) {
                echoes_.erase(echoes_.begin() + static_cast<long>(i));
                raise_irq(kBoardIrq);
            } else {
                ++i;
            }
        }
        for (size_t i = 0; i < strays_.size();) {
            if (strays_[i] <= now_) {
                strays_.erase(strays_.begin() + static_cast<long>(i));
                raise_irq(kBoardIrq);
            } else {
                ++i;
            }
        }
    }
    for (auto &t : threads_) {
        if (t->state == ThreadState::waiting && t->release_at <= now_) {
            t->state = ThreadState::ready;
            t->last_release = t->release_at;
            t->release_at = kNever;
        }
    }
}

// Interrupts first (they preempt everything), then, from the Linux side
// only, real-time threads.  Nothing switches while the interrupt flag is
// masked or inside a handler.
void Machine::preempt()
{
    for (;;) {
        if (!if_on_ || ctx_ == Context::interrupt)
            return;
        bool delivered = false;
        for (unsigned irq = 0; irq < kIrqCount; ++irq) {
            if (irqs_[irq].pending) {
                deliver_irq(irq);
                delivered = true;
            }
        }
        if (delivered)
            continue;
        if (ctx_ != Context::linux_side)
            return;
        rtl_thread_struct *next = nullptr;
        for (auto &t : threads_) {
            if (t->state == ThreadState::ready &&
                (!next || t->info.priority > next->info.priority))
                next = t.get();
        }
        if (!next)
            return;
        switch_to(next);
        collect_due();
    }
}

// ---------------------------------------------------------------- interrupts

// The board raises a line: taken when the line is unmasked, lost otherwise.
void Machine::raise_irq(unsigned irq)
{
    IrqLine &line = irqs_[irq];
    if (!line.enabled) {
        ++echoes_lost_;
        return;
    }
    if (!line.handler) {
        violation("IRQ %u raised while unmasked with no handler installed", irq);
        ++echoes_lost_;
        return;
    }
    line.pending = true;
    if (irq == kBoardIrq)
        board_.in_service = true;
}

void Machine::deliver_irq(unsigned irq)
{
    IrqLine &line = irqs_[irq];
    line.pending = false;
    if (!line.handler || !line.enabled)
        return;
    Context saved = ctx_;
    ctx_ = Context::interrupt;
    if_on_ = false;
    ++irq_delivered_;
    line.handler(irq, nullptr);
    if (irq == kBoardIrq) {
        if (board_.in_service) {
            violation("IRQ %u handler returned without acknowledging the board (2 to 0x132)", irq);
            board_.in_service = false;
        } else if (board_.acked) {
            violation("IRQ %u handler returned without re-arming the board (1 to 0x132)", irq);
            board_.acked = false;
        }
    }
    // A handler runs with interrupts masked; its return unmasks them.
    ctx_ = saved;
    if_on_ = true;
}

int Machine::irq_request(unsigned irq, api::IrqHandler handler)
{
    platform_call("rtl_request_global_irq");
    if (irq >= kIrqCount || !handler)
        return -kEinval;
    IrqLine &line = irqs_[irq];
    if (line.handler || line.other_driver)
        return -kEbusy;
    line.handler = handler;
    line.enabled = false;
    line.pending = false;
    return 0;
}

int Machine::irq_free(unsigned irq)
{
    platform_call("rtl_free_global_irq");
    if (irq >= kIrqCount || !irqs_[irq].handler) {
        violation("rtl_free_global_irq(%u): no handler installed", irq);
        return -kEinval;
    }
    // The line keeps its mask state: freeing does not mask it.
    irqs_[irq].handler = nullptr;
    irqs_[irq].pending = false;
    return 0;
}

void Machine::irq_enable(unsigned irq)
{
    platform_call("rtl_hard_enable_irq");
    if (irq >= kIrqCount)
        return;
    if (!irqs_[irq].handler)
        violation("rtl_hard_enable_irq(%u) with no handler installed", irq);
    irqs_[irq].enabled = true;
}

void Machine::irq_disable(unsigned irq)
{
    platform_call("rtl_hard_disable_irq");
    if (irq >= kIrqCount)
        return;
    IrqLine &line = irqs_[irq];
    line.enabled = false;
    if (line.pending) {
        // The request is dropped with the mask.
        line.pending = false;
        if (irq == kBoardIrq)
            board_.in_service = false;
        ++echoes_lost_;
    }
}

unsigned long Machine::irq_save()
{
    platform_call("rtl_no_interrupts");
    unsigned long flags = if_on_ ? 1 : 0;
    if_on_ = false;
    return flags;
}

void Machine::irq_restore(unsigned long flags)
{
    if_on_ = flags != 0;
    platform_call("rtl_restore_interrupts");
}

void Machine::occupy_irq(unsigned irq)
{
    if (irq < kIrqCount)
        irqs_[irq].other_driver = true;
}

bool Machine::irq_installed(unsigned irq) const
{
    return irq < kIrqCount && irqs_[irq].handler != nullptr;
}

bool Machine::irq_enabled(unsigned irq) const
{
    return irq < kIrqCount && irqs_[irq].enabled;
}

void Machine::raise_irq_at(hrtime when)
{
    strays_.push_back(when);
}

// ---------------------------------------------------------------- clock, log

hrtime Machine::clock()
{
    platform_call("gethrtime");
    return now_;
}

int Machine::vlog(const char *fmt, va_list ap)
{
    platform_call("printk");
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (n < 0)
        return 0;
    size_t len = std::min(static_cast<size_t>(n), sizeof buf - 1);
    klog_.append(buf, len);
    return static_cast<int>(len);
}

// ---------------------------------------------------------------- I/O regions

namespace {
bool overlaps(unsigned long a, unsigned long an, unsigned long b, unsigned long bn)
{
    return a < b + bn && b < a + an;
}
}  // namespace

int Machine::region_check(unsigned long start, unsigned long n)
{
    platform_call("check_region");
    return region_taken(start, n) ? -kEbusy : 0;
}

void *Machine::region_request(unsigned long start, unsigned long n, const char *name)
{
    platform_call("request_region");
    if (region_taken(start, n))
        return nullptr;
    regions_.push_back(Region{start, n, name ? name : "", false});
    region_tokens_.push_back(std::make_unique<Region>(regions_.back()));
    return region_tokens_.back().get();
}

void Machine::region_release(unsigned long start, unsigned long n)
{
    platform_call("release_region");
    for (auto it = regions_.begin(); it != regions_.end(); ++it) {
        if (it->start == start && it->n == n && !it->other_driver) {
            regions_.erase(it);
            return;
        }
    }
    violation("release_region(0x%lx, %lu): no such region registered", start, n);
}

void Machine::occupy_region(unsigned long start, unsigned long n, const std::string &name)
{
    regions_.push_back(Region{start, n, name, true});
}

bool Machine::region_taken(unsigned long start, unsigned long n) const
{
    for (const auto &r : regions_)
        if (overlaps(r.start, r.n, start, n))
            return true;
    return false;
}

std::string Machine::region_owner(unsigned long port) const
{
    for (const auto &r : regions_)
        if (overlaps(r.start, r.n, port, 1))
            return r.name;
    return "";
}

bool Machine::board_region_held(unsigned port) const
{
    for (const auto &r : regions_)
        if (!r.other_driver && r.start <= port && port < r.start + r.n)
            return true;
    return false;
}

// ---------------------------------------------------------------- the board

hrtime Machine::flight_for_mm(long long mm)
{
    // 2 * mm / 343.7 m/s = mm * 20000000 / 3437 ns, rounded up.
    return (mm * 20000000 + 3436) / 3437;
}

void Machine::set_target(int channel, hrtime flight)
{
    board_.targets[channel] = flight;
}

void Machine::clear_target(int channel)
{
    board_.targets.erase(channel);
}

void Machine::port_out(unsigned port, unsigned value)
{
    platform_call("outb");
    if (port_log_on_)
        port_log_.push_back(PortWrite{now_, port, value, ctx_});
    if (port >= kBoardBase && port < kBoardBase + kBoardExtent) {
        if (!board_region_held(port))
            violation("outb(0x%02x, 0x%x) from the %s without the I/O region 0x130-0x133 held",
                      value, port, context_name(ctx_));
        board_write(port, value);
    }
}

// The board: 1 to 0x132 arms it (and, after an acknowledgement, re-arms
// it), the channel byte to 0x130 fires the burst on that transducer, 2 to
// 0x132 acknowledges the echo interrupt.  0x131 and 0x133 are unused.
void Machine::board_write(unsigned port, unsigned value)
{
    switch (port) {
    case kBoardBase + 2:
        if (value == 1) {
            board_.acked = false;
            board_.armed = true;
        } else if (value == 2) {
            if (!board_.in_service)
                violation("acknowledge (2 to 0x132) with no interrupt raised");
            board_.in_service = false;
            board_.acked = true;
        } else {
            violation("0x%x to 0x132: the board takes 1 (arm) and 2 (acknowledge)", value);
        }
        break;
    case kBoardBase: {
        if (!board_.armed) {
            violation("channel byte 0x%02x to 0x130 without 1 to 0x132 first", value);
            break;
        }
        board_.armed = false;
        int channel = static_cast<int>(value & 0xff);
        ++board_.shots[channel];
        auto target = board_.targets.find(channel);
        if (target != board_.targets.end())
            echoes_.push_back(now_ + target->second);
        break;
    }
    default:
        violation("port 0x%x written: the board does not use it", port);
        break;
    }
}

long Machine::shots(int channel) const
{
    auto it = board_.shots.find(channel);
    return it == board_.shots.end() ? 0 : it->second;
}

long Machine::shots_total() const
{
    long n = 0;
    for (const auto &s : board_.shots)
        n += s.second;
    return n;
}

// ---------------------------------------------------------------- FIFOs

void Machine::Fifo::push(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        ring[(head + used + i) % ring.size()] = p[i];
    used += n;
}

size_t Machine::Fifo::pop(unsigned char *p, size_t n)
{
    n = std::min(n, used);
    for (size_t i = 0; i < n; ++i)
        p[i] = ring[(head + i) % ring.size()];
    head = (head + n) % ring.size();
    used -= n;
    return n;
}

int Machine::fifo_create(unsigned fifo, int size, const struct module *creator)
{
    platform_call("rtf_create");
    if (fifo >= kFifoCount)
        return -kEnodev;
    if (size <= 0)
        return -kEinval;
    Fifo &f = fifos_[fifo];
    if (f.exists)
        return -kEbusy;
    f = Fifo();
    f.exists = true;
    f.ring.assign(static_cast<size_t>(size), 0);
    f.creator = creator;
    return 0;
}

// A FIFO that a Linux process has open stays: rtf_destroy refuses it with
// -EINVAL, as RTLinux does.
int Machine::fifo_destroy(unsigned fifo)
{
    platform_call("rtf_destroy");
    if (fifo >= kFifoCount) {
        violation("rtf_destroy(%u): no such FIFO", fifo);
        return -kEnodev;
    }
    if (fifos_[fifo].open_count > 0)
        return -kEinval;
    if (!fifos_[fifo].exists) {
        violation("rtf_destroy(%u): no such FIFO", fifo);
        return -kEinval;
    }
    fifos_[fifo] = Fifo();
    return 0;
}

int Machine::fifo_set_handler(unsigned fifo, api::FifoHandler handler)
{
    platform_call("rtf_create_handler");
    if (fifo >= kFifoCount || !fifos_[fifo].exists || !handler) {
        violation("rtf_create_handler(%u): no such FIFO or no handler", fifo);
        return -kEinval;
    }
    fifos_[fifo].handler = handler;
    return 0;
}

int Machine::fifo_get(unsigned fifo, void *buf, int count)
{
    platform_call("rtf_get");
    if (fifo >= kFifoCount || !fifos_[fifo].exists) {
        violation("rtf_get(%u) on a FIFO that does not exist", fifo);
        return fifo >= kFifoCount ? -kEnodev : -kEinval;
    }
    if (count <= 0)
        return 0;
    return static_cast<int>(
        fifos_[fifo].pop(static_cast<unsigned char *>(buf), static_cast<size_t>(count)));
}

int Machine::fifo_put(unsigned fifo, const void *buf, int count)
{
    platform_call("rtf_put");
    if (fifo >= kFifoCount || !fifos_[fifo].exists) {
        violation("rtf_put(%u) from the %s on a FIFO that does not exist", fifo,
                  context_name(ctx_));
        return fifo >= kFifoCount ? -kEnodev : -kEinval;
    }
    Fifo &f = fifos_[fifo];
    if (count < 0)
        return -kEinval;
    if (f.room() < static_cast<size_t>(count)) {
        ++refused_[fifo];
        return -kEnospc;
    }
    f.push(static_cast<const unsigned char *>(buf), static_cast<size_t>(count));
    return count;
}

bool Machine::fifo_exists(unsigned fifo) const
{
    return fifo < kFifoCount && fifos_[fifo].exists;
}

bool Machine::fifo_has_handler(unsigned fifo) const
{
    return fifo_exists(fifo) && fifos_[fifo].handler != nullptr;
}

size_t Machine::fifo_used(unsigned fifo) const
{
    return fifo_exists(fifo) ? fifos_[fifo].used : 0;
}

int Machine::fifo_open_count(unsigned fifo) const
{
    return fifo_exists(fifo) ? fifos_[fifo].open_count : 0;
}

int Machine::fifo_opener(unsigned fifo) const
{
    return fifo_open_count(fifo) > 0 ? fifos_[fifo].opener : 0;
}

long Machine::fifo_refused(unsigned fifo) const
{
    return fifo < kFifoCount ? refused_[fifo] : 0;
}

// ---------------------------------------------------------------- threads

void thread_entry()
{
    Machine &m = Machine::current();
    rtl_thread_struct *self = m.running_;
#ifdef RTLSIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &m.linux_stack_bottom_, &m.linux_stack_size_);
#endif
    self->body(self->arg);
    m.thread_exited(self);
}

void Machine::switch_to(rtl_thread_struct *thread)
{
    running_ = thread;
    thread->state = ThreadState::running;
    ctx_ = Context::rt_thread;
    ++thread->releases;
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
    ctx_ = Context::linux_side;
    if (!if_on_) {
        violation("a real-time thread gave up the processor with interrupts masked");
        if_on_ = true;
    }
}

// Back to the Linux side; returns when the thread is let run again.
void Machine::switch_to_linux(rtl_thread_struct *thread)
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

void Machine::thread_exited(rtl_thread_struct *thread)
{
    thread->state = ThreadState::exited;
    switch_to_linux(thread);
    std::abort();  // an exited thread is never let run again
}

int Machine::thread_create(rtl_thread_struct **handle, const ThreadInfo &info,
                           api::ThreadBody body, void *arg)
{
    platform_call("pthread_create");
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
    t->last_release = now_;
    *handle = t.get();
    threads_.push_back(std::move(t));
    preempt();  // it starts at once
    return 0;
}

rtl_thread_struct *Machine::live_thread(rtl_thread_struct *thread, const char *op)
{
    if (!thread) {
        violation("%s on a null thread handle (from the %s)", op, context_name(ctx_));
        return nullptr;
    }
    for (auto &t : threads_)
        if (t.get() == thread)
            return thread;
    violation("%s on a thread that does not exist", op);
    return nullptr;
}

// The first instant of the thread's series after its last release; kNever
// without a series (or after the one release a period of 0 gives).
hrtime Machine::next_release(const rtl_thread_struct &t) const
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

int Machine::thread_make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period)
{
    platform_call("pthread_make_periodic_np");
    rtl_thread_struct *t = live_thread(thread, "pthread_make_periodic_np");
    if (!t)
        return kEsrch;
    if (period < 0)
        return kEinval;
    t->has_series = true;
    t->series_start = start;
    t->period = period;
    if (t->state == ThreadState::waiting)
        t->release_at = next_release(*t);
    // A first instant that is already due is taken at the next platform
    // call (or merged with a wake-up at the same moment).
    return 0;
}

// The thread is let run by the wake-up itself: a series instant due at this
// same moment is not a second release.
int Machine::thread_wakeup(rtl_thread_struct *thread)
{
    platform_call("pthread_wakeup_np", false);
    rtl_thread_struct *t = live_thread(thread, "pthread_wakeup_np");
    if (!t)
        return kEsrch;
    if (t->state == ThreadState::waiting || t->state == ThreadState::suspended) {
        t->state = ThreadState::ready;
        t->last_release = now_;
        t->release_at = kNever;
    }
    collect_due();
    preempt();
    return 0;
}

int Machine::thread_suspend(rtl_thread_struct *thread)
{
    platform_call("pthread_suspend_np");
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
        t->release_at = kNever;
    }
    return 0;
}

int Machine::thread_wait()
{
    platform_call("pthread_wait_np");
    rtl_thread_struct *t = running_;
    if (!t || ctx_ != Context::rt_thread) {
        violation("pthread_wait_np from the %s", context_name(ctx_));
        return kEinval;
    }
    hrtime at = next_release(*t);
    if (at <= now_) {
        // Already due (an overrun): it runs on.
        t->last_release = at;
        return 0;
    }
    t->state = ThreadState::waiting;
    t->release_at = at;
    switch_to_linux(t);
    return 0;
}

void Machine::release_thread(rtl_thread_struct *t)
{
#ifdef RTLSIM_ASAN
    // The coroutine's frames leave poisoned red zones in the stack's shadow.
    ASAN_UNPOISON_MEMORY_REGION(t->stack.get(), t->stack_bytes);
#endif
    t->stack.reset();
}

int Machine::thread_delete(rtl_thread_struct *thread)
{
    platform_call("pthread_delete_np");
    rtl_thread_struct *t = live_thread(thread, "pthread_delete_np");
    if (!t)
        return kEsrch;
    if (t == running_) {
        violation("pthread_delete_np on the calling thread itself");
        return kEinval;
    }
    release_thread(t);
    threads_.erase(std::find_if(threads_.begin(), threads_.end(),
                                [t](const auto &p) { return p.get() == t; }));
    return 0;
}

ThreadState Machine::thread_state() const
{
    return threads_.empty() ? ThreadState::exited : threads_.front()->state;
}

ThreadInfo Machine::thread_info() const
{
    return threads_.empty() ? ThreadInfo{} : threads_.front()->info;
}

long Machine::thread_releases() const
{
    return threads_.empty() ? 0 : threads_.front()->releases;
}

// ---------------------------------------------------------------- time

hrtime Machine::next_event() const
{
    hrtime next = kNever;
    for (hrtime t : echoes_)
        next = std::min(next, t);
    for (hrtime t : strays_)
        next = std::min(next, t);
    for (const auto &t : threads_)
        if (t->state == ThreadState::waiting)
            next = std::min(next, t->release_at);
    return next;
}

void Machine::run_until(hrtime until)
{
    if (ctx_ != Context::linux_side || running_) {
        violation("run_until from inside the %s", context_name(ctx_));
        return;
    }
    for (;;) {
        collect_due();
        preempt();
        drain_reader();
        resume_writers();
        hrtime next = next_event();
        if (next > until)
            break;
        now_ = std::max(now_, next);
    }
    now_ = std::max(now_, until);
}

// ---------------------------------------------------------------- Linux processes

void Machine::linux_entry_done(const char *what)
{
    if (!if_on_) {
        violation("%s returned to Linux with interrupts masked", what);
        if_on_ = true;
    }
    collect_due();
    preempt();
}

int Machine::linux_open(unsigned fifo, int pid)
{
    if (fifo >= kFifoCount || !fifos_[fifo].exists)
        return -kEnodev;
    Fifo &f = fifos_[fifo];
    if (f.open_count > 0 && f.opener != pid)
        return -kEacces;
    f.opener = pid;
    ++f.open_count;
    if (f.creator)
        ++use_count_;
    return 0;
}

int Machine::linux_close(unsigned fifo, int pid)
{
    if (fifo >= kFifoCount || fifos_[fifo].open_count == 0 || fifos_[fifo].opener != pid)
        return -kEbadf;
    Fifo &f = fifos_[fifo];
    --f.open_count;
    if (f.creator)
        --use_count_;
    return 0;
}

void Machine::linux_exit(int pid)
{
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (it->pid != pid) {
            ++it;
            continue;
        }
        LinuxWrite w = std::move(*it);
        it = writes_.erase(it);
        if (w.opened)
            linux_close(w.fifo, pid);
        if (write_observer_)
            write_observer_(pid, w.fifo, w.done > 0 ? static_cast<int>(w.done) : -kEintr);
    }
    for (unsigned i = 0; i < kFifoCount; ++i)
        while (fifos_[i].open_count > 0 && fifos_[i].opener == pid)
            linux_close(i, pid);
}

// The FIFO's handler, on the Linux side of the process that wrote or read.
void Machine::run_fifo_handler(unsigned fifo, int *result)
{
    api::FifoHandler handler = fifos_[fifo].handler;
    if (!handler)
        return;
    int r = handler(fifo);
    linux_entry_done("the FIFO handler");
    if (r < 0)
        *result = r;
}

// Puts in what the write may put in now; true once all of it is in.
bool Machine::advance_write(LinuxWrite &w)
{
    Fifo &f = fifos_[w.fifo];
    while (w.done < w.bytes.size()) {
        if (f.room() < w.need || f.room() == 0)
            return false;
        size_t k = std::min(f.room(), w.bytes.size() - w.done);
        f.push(w.bytes.data() + w.done, k);
        w.done += k;
        w.need = 1;
    }
    return true;
}

int Machine::finish_write(LinuxWrite &w)
{
    int result = static_cast<int>(w.bytes.size());
    run_fifo_handler(w.fifo, &result);
    if (w.opened)
        linux_close(w.fifo, w.pid);
    return result;
}

int Machine::linux_write(unsigned fifo, const void *buf, size_t n, int pid)
{
    if (fifo >= kFifoCount || !fifos_[fifo].exists)
        return -kEnodev;
    Fifo &f = fifos_[fifo];
    LinuxWrite w;
    w.fifo = fifo;
    w.pid = pid;
    if (f.open_count == 0 || f.opener != pid) {
        int rc = linux_open(fifo, pid);
        if (rc != 0)
            return rc;
        w.opened = true;
    }
    const auto *p = static_cast<const unsigned char *>(buf);
    w.bytes.assign(p, p + n);
    // Up to the buffer's size a write waits for room for all of it.
    w.need = n <= f.ring.size() ? n : 1;
    bool behind = std::any_of(writes_.begin(), writes_.end(),
                              [pid](const LinuxWrite &o) { return o.pid == pid; });
    if (behind || !advance_write(w)) {
        writes_.push_back(std::move(w));
        return kWriteWaits;
    }
    int result = finish_write(w);
    if (hook_depth_ == 0) {
        drain_reader();
        resume_writers();
    }
    return result;
}

// Writes that wait go on when the Linux side has the processor between two
// things it does (not inside a platform call of the module), each process's
// writes in order.
void Machine::resume_writers()
{
    if (hook_depth_ > 0 || running_ || ctx_ != Context::linux_side || writes_.empty())
        return;
    bool progress = true;
    while (progress) {
        progress = false;
        for (auto it = writes_.begin(); it != writes_.end(); ++it) {
            bool earlier = std::any_of(writes_.begin(), it,
                                       [&](const LinuxWrite &o) { return o.pid == it->pid; });
            if (earlier)
                continue;
            size_t before = it->done;
            if (advance_write(*it)) {
                LinuxWrite w = std::move(*it);
                writes_.erase(it);
                int result = finish_write(w);
                if (write_observer_)
                    write_observer_(w.pid, w.fifo, result);
                progress = true;
                break;
            }
            if (it->done != before)
                progress = true;
        }
    }
}

int Machine::linux_write_records(const std::vector<std::array<int, 3>> &records)
{
    std::vector<unsigned char> bytes;
    for (const auto &r : records) {
        for (int v : r) {
            auto u = static_cast<uint32_t>(v);
            for (int b = 0; b < 4; ++b)
                bytes.push_back(static_cast<unsigned char>(u >> (8 * b)));
        }
    }
    return linux_write(1, bytes.data(), bytes.size());
}

int Machine::linux_read(unsigned fifo, void *buf, size_t n, int pid)
{
    if (fifo >= kFifoCount || !fifos_[fifo].exists)
        return -kEnodev;
    bool opened = false;
    if (fifos_[fifo].open_count == 0 || fifos_[fifo].opener != pid) {
        int rc = linux_open(fifo, pid);
        if (rc != 0)
            return rc;
        opened = true;
    }
    int result = static_cast<int>(fifos_[fifo].pop(static_cast<unsigned char *>(buf), n));
    if (result > 0)
        run_fifo_handler(fifo, &result);
    if (opened)
        linux_close(fifo, pid);
    if (hook_depth_ == 0)
        resume_writers();
    return result;
}

void Machine::set_reader(bool reading)
{
    reading_ = reading;
    drain_reader();
}

void Machine::drain_reader()
{
    if (!reading_ || !fifo_exists(2))
        return;
    Fifo &f = fifos_[2];
    if (f.used < 4 || (f.open_count > 0 && f.opener != kReaderPid))
        return;
    bool opened = false;
    if (f.open_count == 0) {
        linux_open(2, kReaderPid);
        opened = true;
    }
    while (f.used >= 4) {
        unsigned char b[4];
        f.pop(b, 4);
        int v = static_cast<int>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                 static_cast<uint32_t>(b[2]) << 16 |
                                 static_cast<uint32_t>(b[3]) << 24);
        if (sink_)
            sink_(now_, v);
        else
            received_.push_back(FifoValue{now_, v});
    }
    int result = 0;
    run_fifo_handler(2, &result);
    if (opened)
        linux_close(2, kReaderPid);
}

std::vector<int> Machine::received_values() const
{
    std::vector<int> v;
    for (const auto &r : received_)
        v.push_back(r.value);
    return v;
}

// ---------------------------------------------------------------- module loader

std::vector<std::string> Machine::module_leftovers() const
{
    std::vector<std::string> left;
    for (unsigned i = 0; i < kFifoCount; ++i) {
        if (fifos_[i].exists)
            left.push_back("RT-FIFO " + std::to_string(i) +
                           (fifos_[i].open_count > 0
                                ? " (open by process " + std::to_string(fifos_[i].opener) +
                                      ": rtf_destroy refused)"
                                : ""));
        if (fifos_[i].handler)
            left.push_back("handler of RT-FIFO " + std::to_string(i));
    }
    for (const auto &r : regions_) {
        if (!r.other_driver) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "I/O region 0x%lx+%lu \"%s\"", r.start, r.n,
                          r.name.c_str());
            left.push_back(buf);
        }
    }
    for (unsigned i = 0; i < kIrqCount; ++i) {
        if (irqs_[i].handler)
            left.push_back("handler of IRQ " + std::to_string(i));
        if (irqs_[i].enabled)
            left.push_back("IRQ " + std::to_string(i) + " unmasked");
    }
    if (!threads_.empty())
        left.push_back(std::to_string(threads_.size()) + " real-time thread(s)");
    return left;
}

// After an unload or a failed load nothing may point into the module's code
// any more: whatever it left is reported and taken away.
void Machine::remove_module_resources()
{
    for (const auto &what : module_leftovers())
        violation("module left behind: %s", what.c_str());
    for (auto &f : fifos_)
        f = Fifo();
    // Processes that had one of those FIFOs open lose it with it.
    writes_.clear();
    use_count_ = 0;
    regions_.erase(std::remove_if(regions_.begin(), regions_.end(),
                                  [](const Region &r) { return !r.other_driver; }),
                   regions_.end());
    for (auto &line : irqs_) {
        line.handler = nullptr;
        line.enabled = false;
        line.pending = false;
    }
    for (auto &t : threads_)
        release_thread(t.get());
    threads_.clear();
}

int Machine::insmod(const std::string &path)
{
    loader_error_.clear();
    if (dl_) {
        loader_error_ = "a module is already loaded";
        return -kEbusy;
    }
    std::string version;
    for (const auto &item : read_modinfo(path))
        if (item.rfind("kernel_version=", 0) == 0)
            version = item.substr(15);
    if (version != kKernelRelease) {
        loader_error_ = path + ": kernel-module version mismatch: compiled for \"" + version +
                        "\", this kernel is " + kKernelRelease;
        return -kEinval;
    }
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char *e = dlerror();
        loader_error_ = e ? e : "cannot load";
        return -kEinval;
    }
    auto init = reinterpret_cast<int (*)()>(dlsym(dl, "init_module"));
    auto cleanup = reinterpret_cast<void (*)()>(dlsym(dl, "cleanup_module"));
    if (!init || !cleanup) {
        loader_error_ = path + ": no init_module/cleanup_module";
        dlclose(dl);
        return -kEinval;
    }
    dl_ = dl;
    cleanup_ = cleanup;
    int rc = init();
    linux_entry_done("init_module");
    if (rc != 0) {
        remove_module_resources();
        dl_ = nullptr;
        cleanup_ = nullptr;
        dlclose(dl);
        return rc;
    }
    drain_reader();
    resume_writers();
    return 0;
}

int Machine::rmmod()
{
    loader_error_.clear();
    if (!dl_) {
        loader_error_ = "no module loaded";
        return -kEnoent;
    }
    if (use_count_ > 0) {
        loader_error_ = "module in use:";
        for (unsigned i = 0; i < kFifoCount; ++i)
            if (fifos_[i].open_count > 0 && fifos_[i].creator)
                loader_error_ += " /dev/rtf" + std::to_string(i);
        loader_error_ += " open";
        return -kEbusy;
    }
    cleanup_();
    linux_entry_done("cleanup_module");
    remove_module_resources();
    dlclose(dl_);
    dl_ = nullptr;
    cleanup_ = nullptr;
    return 0;
}

void *Machine::module_symbol(const char *name) const
{
    return dl_ ? dlsym(dl_, name) : nullptr;
}

// ---------------------------------------------------------------- api:: forwarding

namespace api {

int vlog(const char *fmt, va_list ap) { return Machine::current().vlog(fmt, ap); }
int region_check(unsigned long s, unsigned long n) { return Machine::current().region_check(s, n); }
void *region_request(unsigned long s, unsigned long n, const char *name)
{
    return Machine::current().region_request(s, n, name);
}
void region_release(unsigned long s, unsigned long n) { Machine::current().region_release(s, n); }
void port_out(unsigned port, unsigned value) { Machine::current().port_out(port, value); }
int fifo_create(unsigned fifo, int size, const struct module *owner)
{
    return Machine::current().fifo_create(fifo, size, owner);
}
int fifo_destroy(unsigned fifo) { return Machine::current().fifo_destroy(fifo); }
int fifo_set_handler(unsigned fifo, FifoHandler h) { return Machine::current().fifo_set_handler(fifo, h); }
int fifo_get(unsigned fifo, void *buf, int count) { return Machine::current().fifo_get(fifo, buf, count); }
int fifo_put(unsigned fifo, const void *buf, int count)
{
    return Machine::current().fifo_put(fifo, buf, count);
}
int irq_request(unsigned irq, IrqHandler h) { return Machine::current().irq_request(irq, h); }
int irq_free(unsigned irq) { return Machine::current().irq_free(irq); }
void irq_enable(unsigned irq) { Machine::current().irq_enable(irq); }
void irq_disable(unsigned irq) { Machine::current().irq_disable(irq); }
unsigned long irq_save() { return Machine::current().irq_save(); }
void irq_restore(unsigned long flags) { Machine::current().irq_restore(flags); }
long long clock() { return Machine::current().clock(); }
int thread_create(rtl_thread_struct **handle, int stack_size, int use_fp, int priority, int cpu,
                  ThreadBody body, void *arg, const struct module *)
{
    return Machine::current().thread_create(handle, ThreadInfo{stack_size, use_fp, priority, cpu},
                                            body, arg);
}
int thread_make_periodic(rtl_thread_struct *t, long long start, long long period)
{
    return Machine::current().thread_make_periodic(t, start, period);
}
int thread_wakeup(rtl_thread_struct *t) { return Machine::current().thread_wakeup(t); }
int thread_suspend(rtl_thread_struct *t) { return Machine::current().thread_suspend(t); }
int thread_wait() { return Machine::current().thread_wait(); }
int thread_delete(rtl_thread_struct *t) { return Machine::current().thread_delete(t); }

}  // namespace api

}  // namespace rtlsim
