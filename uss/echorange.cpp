/*
 * echorange: RTLinux 3.1 module for the ultrasonic range-finder board.
 *
 * The board sits on the I/O bus at ports 0x130 to 0x133 and signals an echo
 * on IRQ 11.  A shot arms the board (1 to port 0x132) and fires the burst on
 * one transducer (its channel byte to port 0x130); when the echo comes back
 * the board raises IRQ 11, which the handler acknowledges (2 to 0x132) and
 * re-arms (1 to 0x132).  The time between the shot's and the echo's clock
 * readings gives the distance.
 *
 * User programs write 12-byte command records (uss.h) to RT-FIFO 1 and read
 * one 4-byte distance in millimetres per echo from RT-FIFO 2; a periodic shot
 * whose echo has not come back by the time the thread looks gives NO_ECHO.
 *
 * Three contexts share the globals below: the FIFO 1 handler (Linux side,
 * inside the writer's write()), the ranging thread tasks0 (real time) and
 * the IRQ 11 handler (preempts both).  The lab PC has one processor.
 *
 * The module is C++ in the subset a kernel module can carry: no exceptions,
 * no RTTI, no constructors of globals, no new/delete, no standard library.
 * Everything the platform calls has C linkage (echorange.h).
 */

/*
 * The platform's headers are C.  As RTLinux's own C++ support (rtl_cpp.h)
 * does, they are included with C linkage and with the two C++ keywords they
 * use as plain names (`new` in linux/list.h and linux/ioport.h, `virtual`)
 * renamed while they are read; the module itself uses neither.
 *
 * The set is chosen to stay clear of linux/sched.h: <asm/io.h> would bring
 * it in (through linux/vmalloc.h), and its C that is not C++ (struct zone_t
 * on a typedef name in linux/mm.h and linux/swap.h) does not compile as C++;
 * it would also define struct sched_param a second time after rtl_sched.h
 * has defined it for C++.  Port output comes from RTLinux's own
 * arch/rtl_io.h instead.
 */
#define new new_
#define virtual virtual_
extern "C" {
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/errno.h>
#include <linux/ioport.h>
#include <asm/div64.h>
#include <arch/rtl_io.h>
#include <rtl_sync.h>
#include <rtl_core.h>
#include <rtl_fifo.h>
#include <rtl_time.h>
#include <rtl_sched.h>
#include <pthread.h>
}
#undef new
#undef virtual

#include "echorange.h"

/* Keep the module's globals out of the kernel's symbol table. */
EXPORT_NO_SYMBOLS;

/*
 * linux/module.h gives every module the item "kernel_version=<release>" in
 * its .modinfo section, as an unreferenced static const array; insmod
 * refuses a module without it.  Compilers from gcc 3.1 on drop unreferenced
 * static data when optimising, so the module refers to the array itself,
 * from a pointer the compiler must keep.  (Older ones keep both anyway.)
 */
#if __GNUC__ > 3 || (__GNUC__ == 3 && __GNUC_MINOR__ >= 1)
static const char *const kernel_version_kept __attribute__((used)) = __module_kernel_version;
#endif

/* The board. */
#define USS_BASE        0x130   /* I/O region: 0x130 to 0x133 */
#define USS_EXTENT      4
#define USS_CHANNEL     0x130   /* channel byte: fires the burst */
#define USS_CONTROL     0x132   /* 1: arm for a shot; 2: acknowledge the echo */
#define USS_IRQ         11
#define CTRL_ARM        1
#define CTRL_ACK        2

#define THREAD_PRIORITY 5

/* Speed of sound 343.7 m/s: an interval of t ns is t * 3437 / 20000000 mm
 * one way (there and back, halved). */
#define SOUND_MM_PER_NS_NUM 3437u
#define SOUND_MM_PER_NS_DEN 20000000u

extern "C" {

struct uss_msg_struct msg;      /* the record most recently read from FIFO 1 */
int data;                       /* the echo handler's value for FIFO 2 */
int iflag;                      /* 0: shot fired, its echo not handled yet */
hrtime_t s_time;                /* clock at the last shot */
hrtime_t r_time;                /* clock at the last echo interrupt */
pthread_t tasks0;               /* the ranging thread */

/*
 * The interval in nanoseconds to millimetres, in integers: the echo handler
 * runs in interrupt context, where the floating-point state of whatever it
 * interrupted must stay untouched, so it uses no floating point at all.
 *
 * The millimetres are defined by an x87 evaluation of interval * 343.7 /
 * 2000000: the interval as a 32-bit int (anything outside that range counts
 * as -2147483648), times the double 343.7 (which lies just below 343.7),
 * divided by 2000000, both steps rounded to a 64-bit significand, truncated
 * toward zero.  In integers that is
 * sign(dt) * floor((|dt| * 3437 - 1) / 20000000), and 0 for dt = 0; the "- 1"
 * accounts for the double being below 343.7, which only shows at exact
 * multiples of 20000000 ns (20 ms gives 3436 mm, not 3437).
 *
 * |dt| * 3437 needs 64 bits; the division goes through do_div, because a 2.4
 * kernel has no 64-bit division helpers.
 */
int distance_mm(hrtime_t interval)
{
    unsigned int magnitude;
    unsigned long long scaled;
    int negative;

    if (interval == 0)
        return 0;
    if (interval < -2147483647LL - 1 || interval > 2147483647LL) {
        negative = 1;                   /* taken as -2147483648 */
        magnitude = 2147483648u;
    } else if (interval < 0) {
        negative = 1;
        magnitude = 0u - (unsigned int)interval;
    } else {
        negative = 0;
        magnitude = (unsigned int)interval;
    }

    scaled = (unsigned long long)magnitude * SOUND_MM_PER_NS_NUM - 1u;
    (void)do_div(scaled, SOUND_MM_PER_NS_DEN);   /* now at most 369045 */
    return negative ? -(int)scaled : (int)scaled;
}

/*
 * One shot on board channel i (sensor number - 1); only its low 8 bits reach
 * the board.  Called from the FIFO handler (command 1) and from the ranging
 * thread.
 *
 * The shot runs with interrupts masked.  Without that, a shot from the FIFO
 * handler could be preempted half-way by the thread's own shot (the two
 * would interleave their port writes), and an echo interrupt pending from an
 * earlier shot could read s_time half-written (a 64-bit store is two 32-bit
 * stores on i386).  The masked stretch is two port writes and a clock
 * reading; IRQ 11, unmasked inside it, is taken as soon as it ends.
 */
unsigned int transmit(int i)
{
    rtl_irqstate_t flags;

    rtl_no_interrupts(flags);
    iflag = 0;
    rtl_outb(CTRL_ARM, USS_CONTROL);
    s_time = gethrtime();
    rtl_outb((char)(i & 0xff), USS_CHANNEL);
    rtl_hard_enable_irq(USS_IRQ);
    rtl_restore_interrupts(flags);
    return 0;
}

/*
 * IRQ 11: the echo of the latest shot.  The clock is read right after the
 * acknowledgement, before any arithmetic, so that the interval is the
 * flight time.  The line is masked again until the next shot.
 */
unsigned int intr_handler(unsigned int irq, struct pt_regs *regs)
{
    (void)irq;
    (void)regs;

    rtl_outb(CTRL_ACK, USS_CONTROL);
    r_time = gethrtime();
    data = distance_mm(r_time - s_time);
    iflag = 1;
    rtf_put(USS_DATA_FIFO, &data, sizeof data);
    rtl_outb(CTRL_ARM, USS_CONTROL);
    rtl_hard_disable_irq(USS_IRQ);
    return 0;
}

/*
 * The ranging thread.  Each period: shot, then at once the check whether
 * its echo has already been handled; if not, NO_ECHO goes to FIFO 2 and the
 * echo handler puts the distance when (if) the echo comes during the wait.
 * So an echoed period reads NO_ECHO then the distance, a silent one NO_ECHO
 * alone.  Without a period the first wait lasts until command 2 wakes the
 * thread; the iflag = 1 at the start keeps a NO_ECHO from coming before
 * the first shot.
 *
 * The thread puts from its own cell, not from `data`: an echo interrupt
 * between its store and its put would otherwise make both puts carry the
 * distance.  The check and the put run with interrupts masked, so that an
 * echo cannot slip in between them and reach FIFO 2 ahead of the NO_ECHO of
 * its own shot.
 */
void *thread_uss(void *t)
{
    int no_echo = NO_ECHO;
    rtl_irqstate_t flags;

    (void)t;
    iflag = 1;
    for (;;) {
        rtl_no_interrupts(flags);
        if (iflag == 0)
            rtf_put(USS_DATA_FIFO, &no_echo, sizeof no_echo);
        rtl_restore_interrupts(flags);

        pthread_wait_np();

        /* The sensor is that of the latest record, whatever its command.
         * Sensor numbers are not checked: 0 gives channel 0xff. */
        transmit((int)((unsigned int)msg.number - 1u));
    }
}

/*
 * FIFO 1 handler: runs every complete record waiting in the FIFO, in order.
 * A short read (a record split over two writes) ends the call.
 */
int command_handler(unsigned int cmd)
{
    (void)cmd;

    while (rtf_get(USS_CMD_FIFO, &msg, sizeof msg) == (int)sizeof msg) {
        switch (msg.command) {
        case CMD_SINGLE_SHOT:
            transmit((int)((unsigned int)msg.number - 1u));
            break;
        case CMD_START_PERIODIC: {
            /* The period is set before the wake-up: the woken thread shoots
             * at once and again one period later.  A 32-bit millisecond
             * count cannot overflow 64-bit nanoseconds. */
            hrtime_t period = (hrtime_t)msg.period * 1000000;
            pthread_make_periodic_np(tasks0, gethrtime(), period);
            pthread_wakeup_np(tasks0);
            break;
        }
        case CMD_SUSPEND_PERIODIC:
            pthread_suspend_np(tasks0);
            break;
        default:
            break;
        }
    }
    return 0;
}

/*
 * Load.  The FIFO 1 handler is installed last: a command must not run
 * before IRQ 11 has its handler (a shot unmasks the line) and before tasks0
 * holds the thread.  Records written while the module was loading wait in
 * FIFO 1 and run once the handler is in place.
 *
 * A failed load gives back everything it took, so that nothing of the
 * module stays reachable.
 */
int init_module(void)
{
    pthread_attr_t attr;
    struct sched_param sched_param;

    rtf_create(USS_CMD_FIFO, USS_FIFO_SIZE);
    rtf_create(USS_DATA_FIFO, USS_FIFO_SIZE);

    if (check_region(USS_BASE, USS_EXTENT)) {
        rtf_destroy(USS_CMD_FIFO);
        rtf_destroy(USS_DATA_FIFO);
        printk("I/O error.\n");
        return -ENODEV;
    }
    request_region(USS_BASE, USS_EXTENT, "USS");

    if (rtl_request_global_irq(USS_IRQ, intr_handler) != 0) {
        release_region(USS_BASE, USS_EXTENT);
        rtf_destroy(USS_CMD_FIFO);
        rtf_destroy(USS_DATA_FIFO);
        printk("IRQ error.\n");
        return -ENODEV;
    }

    pthread_attr_init(&attr);
    sched_param.sched_priority = THREAD_PRIORITY;
    pthread_attr_setschedparam(&attr, &sched_param);
    pthread_create(&tasks0, &attr, thread_uss, 0);

    rtf_create_handler(USS_CMD_FIFO, command_handler);
    command_handler(USS_CMD_FIFO);
    return 0;
}

/*
 * Unload.  Each step removes something the later steps' resources could
 * still be reached from:
 *   FIFO 1 (and its handler)  - no more commands;
 *   the thread                - no more periodic shots or NO_ECHO puts;
 *   IRQ 11, masked then freed - an echo still on its way goes nowhere;
 *   FIFO 2                    - nothing puts values any more;
 *   the I/O region            - nothing writes the board any more.
 */
void cleanup_module(void)
{
    rtf_destroy(USS_CMD_FIFO);
    pthread_delete_np(tasks0);
    rtl_hard_disable_irq(USS_IRQ);
    rtl_free_global_irq(USS_IRQ);
    rtf_destroy(USS_DATA_FIFO);
    release_region(USS_BASE, USS_EXTENT);
}

} /* extern "C" */
