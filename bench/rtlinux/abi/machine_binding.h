// Which emulated machine the platform's C entry points (platform.cpp) reach.
//
// The module is a C object that calls printk, rtf_put, outb, ... with no
// word of which machine it runs on, so the entry points need one machine
// to forward to.  That is the machine registered here.  A Machine registers
// itself whenever it passes the processor to the module's code (init_module,
// cleanup_module, a FIFO handler, the interrupt handler, a real-time thread)
// and gives the registration back when the code returns to it; so any
// number of machines may exist in one process, each running its own module
// in turn.  Code that calls a module's functions itself binds the machine
// for the time of the call (MachineBinding).  A platform call with no
// machine bound is a fault of the program: it is said on standard error and
// the process aborts.
#ifndef RTLSIM_ABI_MACHINE_BINDING_H
#define RTLSIM_ABI_MACHINE_BINDING_H

namespace rtlsim {

class Machine;

// The bound machine, or null.
Machine *bound_machine();
void bind_machine(Machine *machine);

// Binds a machine for its lifetime; the one bound before comes back after.
class MachineBinding {
public:
    explicit MachineBinding(Machine &machine) : saved_(bound_machine()) { bind_machine(&machine); }
    ~MachineBinding() { bind_machine(saved_); }
    MachineBinding(const MachineBinding &) = delete;
    MachineBinding &operator=(const MachineBinding &) = delete;

private:
    Machine *saved_;
};

}  // namespace rtlsim

#endif
