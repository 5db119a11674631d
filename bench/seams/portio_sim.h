// The port seam (portio/portio.h) on the bench: where the deliverables'
// port calls go.
//
// The programs still reach ports through the five link-time functions of
// portio.h; this implementation of them holds a registered table of access
// functions with a context pointer, so whoever owns a bench (a simulator's
// main, a test, a benchmark) plugs it in and takes it out again, and two
// benches may exist in one process: the seam reaches the one registered.
// A port call with nothing registered is a fault of the program that set
// the bench up: it is said on standard error and the process aborts.
#ifndef BENCH_SEAMS_PORTIO_SIM_H
#define BENCH_SEAMS_PORTIO_SIM_H

#include <cstdint>

namespace bench {

class IoBus;

// What the seam calls; every function takes the registered context first.
struct PortOps {
    int (*permission)(void *ctx, unsigned long from, unsigned long num, int turn_on);
    std::uint8_t (*in8)(void *ctx, std::uint16_t port);
    void (*out8)(void *ctx, std::uint16_t port, std::uint8_t value);
    std::uint16_t (*in16)(void *ctx, std::uint16_t port);
    void (*out16)(void *ctx, std::uint16_t port, std::uint16_t value);
};

// The seam's calls go to ops with ctx from now on (ops null: nowhere).
void portio_register(const PortOps *ops, void *ctx);
// What is registered now (null when nothing is).
const PortOps *portio_registered_ops();
void *portio_registered_context();

// The table that puts an IoBus behind the seam (the context is the bus).
extern const PortOps kIoBusPortOps;

// Puts a bus behind the seam for its lifetime, and gives back what was
// registered before when it ends.
class PortioConnection {
public:
    explicit PortioConnection(IoBus &bus);
    ~PortioConnection();
    PortioConnection(const PortioConnection &) = delete;
    PortioConnection &operator=(const PortioConnection &) = delete;

private:
    const PortOps *saved_ops_;
    void *saved_ctx_;
};

} // namespace bench

#endif
