/*
 * echorange's FIFO protocol as the bytes on the wire: the 12-byte command
 * record on RT-FIFO 1 and the 4-byte distance on RT-FIFO 2, both
 * little-endian, as the lab PC's 32-bit x86 lays them out in memory.
 *
 * Written once, here, for everything that speaks the protocol from the
 * outside: rangectl, and the bench's FIFO services, traces and waveforms.
 * The module itself writes and reads the structs of uss.h directly.  Plain C
 * with static inline functions, so that rangectl's static build for the lab
 * PC (no libstdc++) can use it as well as the bench's C++.
 */
#ifndef USS_RECORDS_H
#define USS_RECORDS_H

#include "uss.h"

#define USS_RECORD_SIZE 12  /* one command record: sizeof(struct uss_msg_struct) */
#define USS_VALUE_SIZE  4   /* one distance on RT-FIFO 2 */
/* The most whole records one write to RT-FIFO 1 can carry and still go in
 * whole: a Linux-side write of up to the FIFO's size waits until it fits. */
#define USS_RECORDS_PER_WRITE (USS_FIFO_SIZE / USS_RECORD_SIZE)

typedef char uss_record_size_matches[sizeof(struct uss_msg_struct) == USS_RECORD_SIZE ? 1 : -1];

/* A signed 32-bit little-endian integer, through unsigned arithmetic so
 * that no shift overflows. */
static inline int uss_le32_get(const unsigned char *p)
{
    unsigned int u = (unsigned int)p[0] | (unsigned int)p[1] << 8 | (unsigned int)p[2] << 16 |
                     (unsigned int)p[3] << 24;
    return (int)u;
}

static inline void uss_le32_put(unsigned char *p, int v)
{
    unsigned int u = (unsigned int)v;
    p[0] = (unsigned char)u;
    p[1] = (unsigned char)(u >> 8);
    p[2] = (unsigned char)(u >> 16);
    p[3] = (unsigned char)(u >> 24);
}

/* One command record into / out of its USS_RECORD_SIZE bytes. */
static inline void uss_record_put(unsigned char *p, int command, int number, int period)
{
    uss_le32_put(p, command);
    uss_le32_put(p + 4, number);
    uss_le32_put(p + 8, period);
}

static inline struct uss_msg_struct uss_record_get(const unsigned char *p)
{
    struct uss_msg_struct r;
    r.command = uss_le32_get(p);
    r.number = uss_le32_get(p + 4);
    r.period = uss_le32_get(p + 8);
    return r;
}

/* One distance from its USS_VALUE_SIZE bytes on RT-FIFO 2. */
static inline int uss_value_get(const unsigned char *p)
{
    return uss_le32_get(p);
}

#endif
