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

#define RTL_DEFAULT_STACK_SIZE 20480
#define RTL_DEFAULT_PRIORITY 1
#define PTHREAD_CREATE_JOINABLE 0

#define STRUCT_PTHREAD_ATTR rtl_pthread_attr_struct
typedef struct STRUCT_PTHREAD_ATTR {
    int stack_size;                 /* the platform allocates it when stack_addr is null */
    void *stack_addr;
    int use_fp;                     /* 1: the thread gets a floating-point context */
    struct sched_param sched_param;
    int cpu;                        /* the processor the thread runs on */
    int detachstate;
} pthread_attr_t;

/* The platform's defaults: its own stack of RTL_DEFAULT_STACK_SIZE bytes,
 * no floating-point context, the processor that runs the caller. */
static inline int pthread_attr_init(pthread_attr_t *attr)
{
    attr->stack_size = RTL_DEFAULT_STACK_SIZE;
    attr->stack_addr = 0;
    attr->use_fp = 0;
    attr->sched_param.sched_priority = RTL_DEFAULT_PRIORITY;
    attr->cpu = rtl_getcpuid();
    attr->detachstate = PTHREAD_CREATE_JOINABLE;
    return 0;
}

static inline int pthread_attr_setschedparam(pthread_attr_t *attr, const struct sched_param *param)
{
    attr->sched_param = *param;
    return 0;
}

/* Creates the thread and lets it run start_routine(arg) at once. */
int __pthread_create(pthread_t *thread, pthread_attr_t *attr,
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
