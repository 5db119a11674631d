/*
 * RTLinux 3.1 real-time threads (the POSIX subset plus the _np extensions).
 * A real-time thread preempts all Linux-side code; a hard interrupt handler
 * preempts the thread.
 */
#ifndef __RTL_SCHED_H__
#define __RTL_SCHED_H__

#include "rtl_time.h"
#include "rtl_core.h"

struct module;
extern struct module __this_module;

struct sched_param {
    int sched_priority;
};

struct rtl_thread_struct;
typedef struct rtl_thread_struct *pthread_t;

#define rtl_sched_param sched_param
#define PTHREAD_CREATE_JOINABLE 0
#define RTL_SIGNAL_READY 6

typedef unsigned long rtl_sigset_t;
typedef __SIZE_TYPE__ size_t;  /* Linux's, from <linux/types.h> */

/* The attribute record, field for field as RTLinux has it. */
#define STRUCT_PTHREAD_ATTR rtl_pthread_attr_struct
typedef struct STRUCT_PTHREAD_ATTR {
    size_t stack_size;              /* the platform allocates it when stack_addr is null */
    void *stack_addr;
    struct rtl_sched_param sched_param;
    int cpu;                        /* the processor the thread runs on */
    int use_fp;                     /* 1: the thread gets a floating-point context */
    rtl_sigset_t initial_state;     /* RTL_SIGNAL_READY: runs at once */
    int detachstate;
} pthread_attr_t;

/*
 * The platform's defaults: its own stack of 20480 bytes, priority 0 (the
 * lowest), the processor that runs the caller, ready at once, no
 * floating-point context.
 *
 * RTLinux defines these two `extern inline`; here they are `static inline`:
 * in the emulation, which is a host process, an out-of-line copy with C
 * linkage named pthread_attr_init would take the place of the C library's.
 */
static inline int pthread_attr_init(pthread_attr_t *attr)
{
    attr->stack_addr = 0;
    attr->stack_size = 20480;
    attr->sched_param.sched_priority = 0;
    attr->cpu = rtl_getcpuid();
    attr->initial_state = 1ul << RTL_SIGNAL_READY;
    attr->use_fp = 0;
    attr->detachstate = PTHREAD_CREATE_JOINABLE;
    return 0;
}

static inline int pthread_attr_setschedparam(pthread_attr_t *attr,
                                             const struct rtl_sched_param *param)
{
    attr->sched_param = *param;
    return 0;
}

/* Creates the thread and lets it run start_routine(arg) at once. */
int __pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                     void *(*start_routine)(void *), void *arg, struct module *owner);
#define pthread_create(thread, attr, start_routine, arg) \
    __pthread_create((thread), (attr), (start_routine), (arg), &__this_module)

/* From now on the thread's waits end at start_time, start_time + period, ...
 * A period of 0 releases it once at start_time; a negative one is refused
 * (EINVAL). */
int pthread_make_periodic_np(pthread_t thread, hrtime_t start_time, hrtime_t period);
/* A waiting or suspended thread runs at once. */
int pthread_wakeup_np(pthread_t thread);
/* The thread stops until it is woken. */
int pthread_suspend_np(pthread_t thread);
/* The calling thread waits for its next period (or, without one, until woken). */
int pthread_wait_np(void);
/* Ends the thread and frees its stack. */
int pthread_delete_np(pthread_t thread);

#endif
