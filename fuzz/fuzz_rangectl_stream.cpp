// Fuzz target: the byte stream rangectl reads from FIFO 2.
//
// Input layout:
//   byte 0   bits 0-1: bytes cut from the front of the stream (a reader
//            before took part of the first value); bit 2: the rest of the
//            input is the stream itself, as it comes; otherwise it is read
//            as 32-bit words, each made a value the module can put (0 to
//            369045, or -369045) and the stream is those values, cut as bit
//            0-1 say.
// The stream goes into a pipe whose writer then closes; rangectl takes it
// as it takes a named pipe on opening (the skip of a cut value's rest) and
// reads values until the end, through its own FIFO and value-stream code.
//
// Invariants: every value taken is one the module can put; a stream of
// possible values is read back exactly, less the value that was cut, when
// one was, or everything when nothing was.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fifo.h"
#include "stop_signal.h"

namespace {

void fail(const char *why)
{
    std::fprintf(stderr, "fuzz_rangectl_stream: %s\n", why);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    const unsigned cut = data[0] & 3;
    const bool raw = (data[0] & 4) != 0;

    std::vector<unsigned char> stream;
    std::vector<int> values;
    if (raw) {
        stream.assign(data + 1, data + size);
    } else {
        for (std::size_t i = 1; i + 4 <= size; i += 4) {
            std::int32_t w;
            std::memcpy(&w, data + i, 4);
            unsigned u = static_cast<unsigned>(w) % (DISTANCE_LIMIT + 2);
            int v = u == DISTANCE_LIMIT + 1 ? static_cast<int>(OUT_OF_RANGE) : static_cast<int>(u);
            values.push_back(v);
            for (int b = 0; b < 4; ++b)
                stream.push_back(static_cast<unsigned char>(static_cast<unsigned>(v) >> (8 * b)));
        }
        if (cut > 0 && !stream.empty())
            stream.erase(stream.begin(), stream.begin() + cut);
    }

    int p[2];
    if (pipe(p) != 0)
        fail("pipe");
    if (!stream.empty() && write(p[1], stream.data(), stream.size()) != static_cast<ssize_t>(stream.size()))
        fail("pipe too small for the input");
    close(p[1]);
    fcntl(p[0], F_SETFL, O_RDONLY | O_NONBLOCK);

    rangectl_fifos f;
    f.cmd_path = "rtf1";
    f.data_path = "rtf2";
    f.cmd_fd = -1;
    f.data_fd = p[0];
    f.data_is_pipe = 1;
    value_stream_reset(&f.values);
    stop_signal = 0;
    value_cut_skip(&f);

    std::vector<int> got;
    int value, r;
    while ((r = value_wait(&f, 0, &value)) == WAIT_VALUE) {
        if (!value_possible(value))
            fail("a value the module cannot put");
        got.push_back(value);
    }
    close(p[0]);
    if (r != WAIT_CLOSED)
        fail("the stream did not end as closed");

    if (!raw) {
        std::vector<int> expect = values;
        if (cut > 0 && !expect.empty())
            expect.erase(expect.begin());
        if (got != expect)
            fail("possible values not read back as they were put");
    }
    return 0;
}
