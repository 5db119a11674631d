// The port seam routed to whatever the bench's owner registered
// (portio_sim.h); normally an I/O bus.
#include "portio.h"

#include "bus/io_bus.h"
#include "seams/portio_sim.h"

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

const PortOps *registered_ops = nullptr;
void *registered_ctx = nullptr;

// Only reached when nothing is registered: the seam cannot pick a bench.
[[noreturn]] void nothing_registered(const char *call)
{
    std::fprintf(stderr, "portio: %s with no bench registered (portio_register)\n", call);
    std::abort();
}

IoBus &bus_of(void *ctx)
{
    return *static_cast<IoBus *>(ctx);
}

} // namespace

void portio_register(const PortOps *ops, void *ctx)
{
    registered_ops = ops;
    registered_ctx = ops ? ctx : nullptr;
}

const PortOps *portio_registered_ops()
{
    return registered_ops;
}

void *portio_registered_context()
{
    return registered_ctx;
}

const PortOps kIoBusPortOps = {
    [](void *ctx, unsigned long from, unsigned long num, int turn_on) {
        return bus_of(ctx).permission(from, num, turn_on);
    },
    [](void *ctx, std::uint16_t port) { return bus_of(ctx).in8(port); },
    [](void *ctx, std::uint16_t port, std::uint8_t value) { bus_of(ctx).out8(port, value); },
    [](void *ctx, std::uint16_t port) { return bus_of(ctx).in16(port); },
    [](void *ctx, std::uint16_t port, std::uint16_t value) { bus_of(ctx).out16(port, value); },
};

PortioConnection::PortioConnection(IoBus &bus)
    : saved_ops_(registered_ops), saved_ctx_(registered_ctx)
{
    portio_register(&kIoBusPortOps, &bus);
}

PortioConnection::~PortioConnection()
{
    portio_register(saved_ops_, saved_ctx_);
}

} // namespace bench

int port_permission(unsigned long from, unsigned long num, int turn_on)
{
    if (!bench::registered_ops)
        bench::nothing_registered("port_permission");
    return bench::registered_ops->permission(bench::registered_ctx, from, num, turn_on);
}

unsigned char port_inb(unsigned short port)
{
    if (!bench::registered_ops)
        bench::nothing_registered("port_inb");
    return bench::registered_ops->in8(bench::registered_ctx, port);
}

void port_outb(unsigned short port, unsigned char value)
{
    if (!bench::registered_ops)
        bench::nothing_registered("port_outb");
    bench::registered_ops->out8(bench::registered_ctx, port, value);
}

unsigned short port_inw(unsigned short port)
{
    if (!bench::registered_ops)
        bench::nothing_registered("port_inw");
    return bench::registered_ops->in16(bench::registered_ctx, port);
}

void port_outw(unsigned short port, unsigned short value)
{
    if (!bench::registered_ops)
        bench::nothing_registered("port_outw");
    bench::registered_ops->out16(bench::registered_ctx, port, value);
}
