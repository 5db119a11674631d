/*
 * RTLinux's threads as Linux kernel threads of the SCHED_FIFO class (above
 * every ordinary process), woken at their period by a kernel timer.
 *
 * A thread's only place to wait is pthread_wait_np (and its own
 * pthread_suspend_np); what the other calls do takes effect there:
 *   pthread_make_periodic_np  a series start, start + period, ...; a thread
 *                             waiting is woken to look at its new series;
 *   pthread_wait_np           waits for the first instant of the series
 *                             after its last release (none without a
 *                             series or with a period of 0 or less after the
 *                             first); an instant already past (an overrun)
 *                             lets it run on at once;
 *   pthread_wakeup_np         a waiting or suspended thread runs now; the
 *                             series goes on from there;
 *   pthread_suspend_np        the thread stops until pthread_wakeup_np;
 *   pthread_delete_np         the thread ends in its wait and is freed.
 * These are the bench's rules for RTLinux's scheduler (bench/rtlinux).
 *
 * Timing is Linux's: the timer has the kernel's tick (HZ), so a release
 * comes up to one tick late, and later when the kernel is busy with
 * interrupts it does not let go of.  A woken thread runs when the waker
 * leaves the kernel or sleeps, not at the instant of the wake-up.
 */
#include <linux/config.h>
#define __NO_VERSION__
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/spinlock.h>
#include <linux/completion.h>
#include <linux/smp_lock.h>
#include <asm/div64.h>
#include <asm/uaccess.h>
#include <asm/unistd.h>

#include "layer.h"

/* The thread attributes as RTLinux 3.1's rtl_sched.h lays them out (the
 * module fills them with the header's inline pthread_attr_init). */
struct sched_param_rtl {
    int sched_priority;
};
typedef struct {
    size_t stack_size;
    void *stack_addr;
    struct sched_param_rtl sched_param;
    int cpu;
    int use_fp;
    unsigned long initial_state;
    int detachstate;
} rtl_pthread_attr_t;

struct rtl_thread_struct {
    struct task_struct *task;
    void *(*start)(void *);
    void *arg;
    int priority;
    struct module *owner;

    spinlock_t lock;        /* the fields below */
    int waiting;            /* in pthread_wait_np */
    int suspended;
    int woken;              /* pthread_wakeup_np while waiting */
    int deleting;
    int has_series;
    hrtime_t series_start;
    hrtime_t period;
    hrtime_t last_release;

    struct completion started;
    struct completion ended;
    struct rtl_thread_struct *next;
};
typedef struct rtl_thread_struct *pthread_t;

asmlinkage long sys_sched_setscheduler(pid_t pid, int policy, struct sched_param *param);

static struct rtl_thread_struct *threads;   /* for unload */
static spinlock_t threads_lock = SPIN_LOCK_UNLOCKED;

/* 64-bit unsigned division, which a 2.4 kernel has no helper for. */
static unsigned long long udiv64(unsigned long long n, unsigned long long d)
{
    unsigned long long q = 0, bit = 1;
    if (d == 0)
        return 0;
    while (d < n && !(d & (1ULL << 63))) {
        d <<= 1;
        bit <<= 1;
    }
    while (bit) {
        if (n >= d) {
            n -= d;
            q |= bit;
        }
        d >>= 1;
        bit >>= 1;
    }
    return q;
}

/* The first instant of the series after the last release. */
static hrtime_t next_release(const struct rtl_thread_struct *t)
{
    unsigned long long k;
    hrtime_t next;

    if (!t->has_series)
        return LAYER_NEVER;
    if (t->last_release < t->series_start)
        return t->series_start;
    if (t->period <= 0)
        return LAYER_NEVER;
    k = udiv64((unsigned long long)(t->last_release - t->series_start),
               (unsigned long long)t->period) + 1;
    if (k > udiv64((unsigned long long)(LAYER_NEVER - t->series_start), (unsigned long long)t->period))
        return LAYER_NEVER;
    next = t->series_start + (hrtime_t)k * t->period;
    return next;
}

/* Jiffies to sleep for ns nanoseconds: rounded up, plus the tick already
 * begun, so the sleep never ends early. */
static long ns_to_jiffies(hrtime_t ns)
{
    unsigned long long j = (unsigned long long)ns + (1000000000ULL / HZ) - 1;
    do_div(j, 1000000000UL / HZ);
    j += 1;
    if (j > (unsigned long long)(MAX_SCHEDULE_TIMEOUT / 2))
        return MAX_SCHEDULE_TIMEOUT / 2;
    return (long)j;
}

static void thread_end(struct rtl_thread_struct *t)
{
    complete_and_exit(&t->ended, 0);
}

/* Waits as pthread_wait_np does; also the wait of a suspended thread. */
static void wait_for_release(struct rtl_thread_struct *t)
{
    unsigned long flags;

    for (;;) {
        hrtime_t now, next;
        long timeout = MAX_SCHEDULE_TIMEOUT;

        set_current_state(TASK_INTERRUPTIBLE);
        spin_lock_irqsave(&t->lock, flags);
        if (t->deleting) {
            spin_unlock_irqrestore(&t->lock, flags);
            set_current_state(TASK_RUNNING);
            thread_end(t);
        }
        now = gethrtime();
        if (t->woken) {
            t->woken = 0;
            t->waiting = 0;
            t->last_release = now;
            spin_unlock_irqrestore(&t->lock, flags);
            break;
        }
        t->waiting = 1;
        if (!t->suspended) {
            next = next_release(t);
            if (next <= now) {
                t->waiting = 0;
                t->last_release = next;
                spin_unlock_irqrestore(&t->lock, flags);
                break;
            }
            if (next != LAYER_NEVER)
                timeout = ns_to_jiffies(next - now);
        }
        spin_unlock_irqrestore(&t->lock, flags);
        schedule_timeout(timeout);
    }
    set_current_state(TASK_RUNNING);
}

static struct rtl_thread_struct *self(void)
{
    struct rtl_thread_struct *t;
    unsigned long flags;

    spin_lock_irqsave(&threads_lock, flags);
    for (t = threads; t && t->task != current; t = t->next)
        ;
    spin_unlock_irqrestore(&threads_lock, flags);
    return t;
}

static int thread_main(void *data)
{
    struct rtl_thread_struct *t = data;
    struct sched_param p;
    mm_segment_t fs;
    long r;

    daemonize();
    strcpy(current->comm, "rtl_thread");
    spin_lock_irq(&current->sigmask_lock);
    sigfillset(&current->blocked);
    recalc_sigpending(current);
    spin_unlock_irq(&current->sigmask_lock);

    /* Above every process: SCHED_FIFO at the thread's priority. */
    p.sched_priority = t->priority;
    fs = get_fs();
    set_fs(KERNEL_DS);
    r = sys_sched_setscheduler(0, SCHED_FIFO, &p);
    set_fs(fs);
    if (r)
        printk(KERN_WARNING "rtl_layer: thread not made SCHED_FIFO (%ld)\n", r);

    t->task = current;
    complete(&t->started);
    t->start(t->arg);
    /* A start routine that returns ends its thread; it stays on the list
     * until pthread_delete_np or unload frees it. */
    spin_lock_irq(&t->lock);
    t->deleting = 1;
    spin_unlock_irq(&t->lock);
    thread_end(t);
    return 0;
}

int __pthread_create(pthread_t *thread, const rtl_pthread_attr_t *attr,
                     void *(*start)(void *), void *arg, struct module *mod)
{
    struct rtl_thread_struct *t;
    unsigned long flags;
    int pid;

    if (!thread || !start)
        return -EINVAL;
    t = kmalloc(sizeof *t, GFP_KERNEL);
    if (!t)
        return -EAGAIN;
    memset(t, 0, sizeof *t);
    t->start = start;
    t->arg = arg;
    t->owner = mod;
    t->priority = attr ? attr->sched_param.sched_priority : 1;
    if (t->priority < 1)
        t->priority = 1;
    if (t->priority > 99)
        t->priority = 99;
    spin_lock_init(&t->lock);
    init_completion(&t->started);
    init_completion(&t->ended);
    t->last_release = gethrtime();

    spin_lock_irqsave(&threads_lock, flags);
    t->next = threads;
    threads = t;
    spin_unlock_irqrestore(&threads_lock, flags);

    pid = kernel_thread(thread_main, t, CLONE_FS | CLONE_FILES | CLONE_SIGHAND);
    if (pid < 0) {
        struct rtl_thread_struct **p;
        spin_lock_irqsave(&threads_lock, flags);
        for (p = &threads; *p; p = &(*p)->next)
            if (*p == t) {
                *p = t->next;
                break;
            }
        spin_unlock_irqrestore(&threads_lock, flags);
        kfree(t);
        return -EAGAIN;
    }
    /* The handle is valid once the thread knows itself; it then runs on
     * into its start routine before this returns (it is above us). */
    wait_for_completion(&t->started);
    *thread = t;
    return 0;
}

int pthread_make_periodic_np(pthread_t t, hrtime_t start_time, hrtime_t period)
{
    unsigned long flags;

    if (!t)
        return -ESRCH;
    if (period < 0)
        return -EINVAL;
    spin_lock_irqsave(&t->lock, flags);
    t->has_series = 1;
    t->series_start = start_time;
    t->period = period;
    spin_unlock_irqrestore(&t->lock, flags);
    if (t->task && t->task != current)
        wake_up_process(t->task);   /* it looks at its new series */
    return 0;
}

int pthread_wait_np(void)
{
    struct rtl_thread_struct *t = self();

    if (!t)
        return -EINVAL;
    wait_for_release(t);
    return 0;
}

int pthread_wakeup_np(pthread_t t)
{
    unsigned long flags;
    int wake = 0;

    if (!t)
        return -ESRCH;
    spin_lock_irqsave(&t->lock, flags);
    if (t->waiting || t->suspended) {
        t->suspended = 0;
        t->woken = 1;
        wake = 1;
    }
    spin_unlock_irqrestore(&t->lock, flags);
    if (wake)
        wake_up_process(t->task);
    return 0;
}

int pthread_suspend_np(pthread_t t)
{
    unsigned long flags;

    if (!t)
        return -ESRCH;
    spin_lock_irqsave(&t->lock, flags);
    t->suspended = 1;
    t->woken = 0;
    spin_unlock_irqrestore(&t->lock, flags);
    if (t->task == current)
        wait_for_release(t);
    else
        wake_up_process(t->task);   /* it looks again: no timeout now */
    return 0;
}

/* Ends the thread where it waits and frees it. */
static void thread_kill(struct rtl_thread_struct *t)
{
    unsigned long flags;

    int ending;

    spin_lock_irqsave(&t->lock, flags);
    ending = t->deleting;   /* its start routine returned: it is gone */
    t->deleting = 1;
    spin_unlock_irqrestore(&t->lock, flags);
    if (!ending)
        wake_up_process(t->task);
    wait_for_completion(&t->ended);
}

int pthread_delete_np(pthread_t t)
{
    struct rtl_thread_struct **p;
    unsigned long flags;
    int found = 0;

    if (!t)
        return -ESRCH;
    if (t->task == current)
        return -EINVAL;
    spin_lock_irqsave(&threads_lock, flags);
    for (p = &threads; *p; p = &(*p)->next)
        if (*p == t) {
            *p = t->next;
            found = 1;
            break;
        }
    spin_unlock_irqrestore(&threads_lock, flags);
    if (!found)
        return -ESRCH;
    thread_kill(t);
    kfree(t);
    return 0;
}

void layer_sched_cleanup(void)
{
    while (threads) {
        printk(KERN_WARNING "rtl_layer: a thread was not deleted\n");
        pthread_delete_np(threads);
    }
}

EXPORT_SYMBOL(__pthread_create);
EXPORT_SYMBOL(pthread_make_periodic_np);
EXPORT_SYMBOL(pthread_wait_np);
EXPORT_SYMBOL(pthread_wakeup_np);
EXPORT_SYMBOL(pthread_suspend_np);
EXPORT_SYMBOL(pthread_delete_np);
