// The values of FIFO 2 out of a byte stream without framing (value_stream.h).
#include <cstdio>
#include <cstring>

#include "uss_records.h"
#include "value_stream.h"

void value_stream_reset(struct value_stream *vs)
{
    vs->have = 0;
    vs->out_of_step = 0;
}

int value_possible(int v)
{
    return v == OUT_OF_RANGE || (v >= 0 && v <= DISTANCE_LIMIT);
}

static int value_at(const unsigned char *p)
{
    return uss_value_get(p);
}

static void value_bytes_drop(struct value_stream *vs, int n)
{
    std::memmove(vs->bytes, vs->bytes + n, (size_t)(vs->have - n));
    vs->have -= n;
}

// Takes the next value from the bytes collected: 1 with *value, or 0 when
// more bytes are needed.
//
// Values come without framing, so the first byte a reader finds is taken
// as the start of a value.  That holds while every reader before took
// whole values.  One that left in the middle of a value (dd bs=1 count=2,
// a client killed between two bytes of one) leaves the rest of it to the
// next reader, and each value after would be read across two.  Read that
// way they are nearly always beyond what the module can put, as the high
// bytes of one are then the low bytes of the next: a value outside 0 to
// 369045, other than -369045, says the stream is out of step.  From there
// the bytes are taken one at a time until two possible values follow each
// other (one alone may be chance), and reading goes on from the first of
// them.
int value_take(struct value_stream *vs, const char *name, int *value)
{
    for (;;) {
        if (!vs->out_of_step) {
            if (vs->have < 4)
                return 0;
            int v = value_at(vs->bytes);
            if (value_possible(v)) {
                value_bytes_drop(vs, 4);
                *value = v;
                return 1;
            }
            std::fprintf(stderr,
                         "rangectl: %s: out of step: %d is no value of the module (a reader before took part "
                         "of one); skipping to the next whole value\n",
                         name, v);
            vs->out_of_step = 1;
            value_bytes_drop(vs, 1);
            continue;
        }
        if (vs->have < 8)
            return 0;
        if (value_possible(value_at(vs->bytes)) && value_possible(value_at(vs->bytes + 4)))
            vs->out_of_step = 0;
        else
            value_bytes_drop(vs, 1);
    }
}

// Waits until a whole value has come from the data FIFO, the deadline
// (milliseconds on time_now_ms(); -1 for none) has passed or a signal asks
