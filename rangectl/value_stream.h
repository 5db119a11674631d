// The values of FIFO 2, taken out of a byte stream that has no framing.
//
// The module puts each value whole, 4 bytes at once, but a read() returns
// what is there, which need not be a whole value; and a reader before may
// have left in the middle of one, which puts the stream out of step.  A
// value_stream keeps the bytes read that make no whole value yet and tells
// values from them (value_take), finding its step again where it was lost.
#ifndef RANGECTL_VALUE_STREAM_H
#define RANGECTL_VALUE_STREAM_H

#include "rangectl.h"

// The bytes read from FIFO 2 that make no whole value yet: up to 4, or 8
// while the values are out of step (two values' worth, to find where one
// begins).
struct value_stream {
    unsigned char bytes[8];
    int have;
    int out_of_step;
};

// Forgets what was collected: the next byte starts a value.
void value_stream_reset(struct value_stream *vs);

// How many bytes to read next, at most: what makes up the value (or the two
// values) being collected.
static inline int value_stream_room(const struct value_stream *vs)
{
    return (vs->out_of_step ? 8 : 4) - vs->have;
}

// Whether the module can put v: a distance of 0 to 369045 mm, or -369045.
int value_possible(int v);

// Takes the next value from the bytes collected: 1 with *value, or 0 when
// more bytes are needed.  Says on standard error, naming the FIFO `name`,
// when the stream is found out of step.
int value_take(struct value_stream *vs, const char *name, int *value);

#endif
