// Which emulated machine the platform's C entry points (platform.cpp) reach.
//
// The module is a C object that calls printk, rtf_put, outb, ... with no
// word of which machine it runs on, so the entry points need one machine
// to forward to: the platform operations (platform_ops.h) bound here.  A
// machine binds its operations whenever it passes the processor to the
// module's code (init_module, cleanup_module, a FIFO handler, the interrupt
// handler, a real-time thread) and gives the binding back when the code
// returns to it; so any number of machines may exist in one process, each
// running its own module in turn.  Code that calls a module's functions
// itself binds the machine for the time of the call (PlatformBinding, with
// the machine's operations; Machine hands them out for that only).  A
// platform call with nothing bound is a fault of the program: it is said
// on standard error and the process aborts.
#ifndef RTLSIM_ABI_PLATFORM_BINDING_H
#define RTLSIM_ABI_PLATFORM_BINDING_H

namespace rtlsim {

class Machine;
class PlatformOps;

// The bound operations, or null.
PlatformOps *bound_platform();
void bind_platform(PlatformOps *ops);

// Binds a machine's operations for its lifetime; the ones bound before come
// back after.
class PlatformBinding {
public:
    explicit PlatformBinding(PlatformOps &ops) : saved_(bound_platform()) { bind_platform(&ops); }
    explicit PlatformBinding(Machine &machine);
    ~PlatformBinding() { bind_platform(saved_); }
    PlatformBinding(const PlatformBinding &) = delete;
    PlatformBinding &operator=(const PlatformBinding &) = delete;

private:
    PlatformOps *saved_;
};

}  // namespace rtlsim

#endif
