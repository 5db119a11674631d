/*
 * The echorange module's entry points, routines and state, with C linkage:
 * the names the platform calls and the emulated platform's tests look up in
 * the loaded module.  Plain types only (hrtime_t is long long, pthread_t a
 * pointer to struct rtl_thread_struct), so that user-space code can include
 * it without the platform's headers.
 */
#ifndef ECHORANGE_H
#define ECHORANGE_H

#include "uss.h"

struct pt_regs;
struct rtl_thread_struct;

#ifdef __cplusplus
extern "C" {
#endif

int init_module(void);
void cleanup_module(void);
int command_handler(unsigned int cmd);
unsigned int transmit(int i);
unsigned int intr_handler(unsigned int irq, struct pt_regs *regs);
void *thread_uss(void *t);

/* Distance in millimetres for an echo interval in nanoseconds. */
int distance_mm(long long interval);

extern struct uss_msg_struct msg;
extern int data;
extern int iflag;
extern long long s_time;
extern long long r_time;
extern struct rtl_thread_struct *tasks0;

#ifdef __cplusplus
}
#endif

#endif
