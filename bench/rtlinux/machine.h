// The emulated lab PC for the range-finder module: Linux 2.4 with RTLinux
// 3.1 (module loader, I/O-region registry, kernel log, real-time FIFOs,
// hard interrupts, real-time threads, the high-resolution clock) and the
// range-finder board on ports 0x130-0x133 / IRQ 11.
//
// The PC (one clock and event queue, the I/O bus, the range-finder board on
// it) is the board assembly boards/rangefinder_pc.h; the machine plugs the
// board's line into its interrupt controller and runs the bus as kernel
// code does (no permission check, no time per cycle).
// The platform's services are classes of their own in kernel/ (IRQs,
// FIFOs, I/O regions, kernel log, the real-time scheduler, the Linux
// processes), sharing the processor's state (kernel/processor.h).  The
// machine owns them and runs the contexts: preemption and the run loop
// (machine.cpp), the platform operations the module's calls land in
// (platform_ops.cpp, behind abi/platform_ops.h, which only abi/ is handed),
// and the module loader (module_loader.cpp).
//
// It is deterministic.  Simulated time is a nanosecond count that moves only
// when every context waits (or, when a call cost is set, by that cost at
// each platform call).  Contexts run one at a time and switch only at
// platform calls:
//   - the Linux side: the test or simulator driving the machine, and the
//     module code it runs (init_module, the FIFO handler inside write(),
//     cleanup_module); it runs on the caller's own stack;
//   - real-time threads: coroutines (ucontext) that preempt the Linux side;
//   - the IRQ handler: called on the current stack, preempting both.
// A masked processor interrupt flag (rtl_no_interrupts) holds every switch
// back until it is restored.
//
// What the module does wrong against the platform (a port write without its
// I/O region, a put on a destroyed FIFO, a thread call on a null handle, an
// interrupt unmasked with no handler, resources left after a failed load or
// an unload, a board acknowledgement out of order, ...) is recorded as a
// violation instead of crashing; tests expect none.
//
// Any number of machines may exist: the platform's C entry points reach the
// one whose module code is running (abi/platform_binding.h).
#ifndef RTLSIM_MACHINE_H
#define RTLSIM_MACHINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boards/rangefinder_pc.h"
#include "rtlinux/abi/platform_ops.h"
#include "rtlinux/kernel/io_regions.h"
#include "rtlinux/kernel/klog.h"
#include "rtlinux/kernel/linux_procs.h"
#include "rtlinux/kernel/modinfo.h"
#include "rtlinux/kernel/processor.h"
#include "rtlinux/kernel/rtl_fifo.h"
#include "rtlinux/kernel/rtl_irq.h"
#include "rtlinux/kernel/rtl_sched.h"
#include "rtlinux/observer.h"

namespace rtlsim {

constexpr hrtime kMicrosecond = bench::kMicrosecond;
constexpr hrtime kMillisecond = bench::kMillisecond;
constexpr hrtime kSecond = bench::kSecond;

constexpr const char *kKernelRelease = "2.4.18-rtl3.1";

// The emulation build of the module (echorange.so).
std::string default_module_path();

struct PortWrite {
    hrtime time;
    unsigned port;
    unsigned value;
    Context context;
};

class Machine final : private PlatformOps {
public:
    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // ---- the parts ----
    //
    // The PC (its range-finder board: targets, stray interrupts, how it
    // drives its line, shots and lost echoes; the bus) and the platform's
    // services, to set up and to look at: the interrupt controller, the
    // FIFOs, the I/O-region registry (another driver holding ports or a line
    // is occupy() there), the Linux processes (open, read, write on
    // /dev/rtfN: how tests and simulators drive the machine) and the
    // real-time scheduler (its threads' states, overruns, what runs now).
    // What the module does goes through the platform operations, which take
    // their time and switch contexts.
    bench::RangeFinderPc &pc() { return pc_; }
    const bench::RangeFinderPc &pc() const { return pc_; }
    InterruptController &irqs() { return irqs_; }
    const RtFifos &fifos() const { return fifos_; }
    IoRegions &regions() { return regions_; }
    LinuxProcesses &processes() { return procs_; }
    const Scheduler &scheduler() const { return sched_; }

    // ---- settings ----

    // Simulated time that each platform call takes (default 0).
    void set_call_cost(hrtime cost) { call_cost_ = cost; }
    // Called at the entry of every platform call with the call's name
    // (e.g. to write to a FIFO while the module is loading).
    void set_call_hook(std::function<void(const char *)> hook) { hook_ = std::move(hook); }
    // Who is told what happens (observer.h); none by default.  The observer
    // must outlive the machine or be taken away first.
    void set_observer(MachineObserver *observer) { cpu_.obs = observer; }
    // Record every port write (default on; long runs turn it off).
    void set_port_log(bool on) { port_log_on_ = on; }

    // ---- the module loader (insmod / rmmod) ----

    // Loads the module object and runs init_module; returns its result, or
    // a negative error when the loader refuses the object (loader_error()).
    int insmod(const std::string &path = default_module_path());
    // Runs cleanup_module and removes the module: 0; -EBUSY (and nothing
    // done) while its use count is not zero; -ENOENT when none is loaded.
    int rmmod();
    bool module_loaded() const { return dl_ != nullptr; }
    const std::string &loader_error() const { return loader_error_; }
    // A symbol of the loaded module, or null.
    void *module_symbol(const char *name) const;

    // ---- time ----

    // Lets simulated time run to `until`, every context doing its work.  A
    // real-time thread keeps the processor as long as it is ready, so a
    // thread whose work overruns every period keeps the Linux side from
    // running, as on the lab PC, until the end below.
    void run_until(hrtime until);
    // The end of the run (default never).  Once the clock has passed it, a
    // real-time thread that still has the processor is stopped at its next
    // platform call and not let run again, and run_until returns: a run
    // ends at its end whatever the module does.  Moving the end later lets
    // a stopped thread go on from where it stopped.
    void set_end(hrtime end) { sched_.set_end(end); }
    hrtime now() const { return pc_.clock().now(); }

    // ---- observation ----

    const std::string &kernel_log() const { return klog_.text(); }
    const std::vector<std::string> &violations() const { return cpu_.violations; }
    const std::vector<PortWrite> &port_log() const { return port_log_; }
    // Module resources that still exist (what an unload or a failed load
    // must not leave behind).
    std::vector<std::string> module_leftovers() const;

private:
    // The processor's state, shared with the parts; module code returning
    // to the Linux side comes back to the machine.
    class Cpu final : public Processor {
    public:
        Cpu(Machine &m) : Processor(m.pc_.clock(), m.pc_.events(), m), m_(m) {}
        void module_returned(const char *what) override { m_.linux_entry_done(what); }

    private:
        Machine &m_;
    };
    friend class PlatformBinding;  // binds the platform operations
    PlatformOps &ops() { return *this; }

    // ---- the platform operations (platform_ops.cpp) ----
    int vlog(const char *fmt, va_list ap) override;
    int region_check(unsigned long start, unsigned long n) override;
    void *region_request(unsigned long start, unsigned long n, const char *name) override;
    void region_release(unsigned long start, unsigned long n) override;
    void port_out(unsigned port, unsigned value) override;
    int fifo_create(unsigned fifo, int size, const struct module *creator) override;
    int fifo_destroy(unsigned fifo) override;
    int fifo_set_handler(unsigned fifo, api::FifoHandler handler) override;
    int fifo_get(unsigned fifo, void *buf, int count) override;
    int fifo_put(unsigned fifo, const void *buf, int count) override;
    int irq_request(unsigned irq, api::IrqHandler handler) override;
    int irq_free(unsigned irq) override;
    void irq_enable(unsigned irq) override;
    void irq_disable(unsigned irq) override;
    unsigned long irq_save() override;
    void irq_restore(unsigned long flags) override;
    hrtime clock() override;
    int thread_create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body,
                      void *arg) override;
    int thread_make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period) override;
    int thread_wakeup(rtl_thread_struct *thread) override;
    int thread_suspend(rtl_thread_struct *thread) override;
    int thread_wait() override;
    int thread_delete(rtl_thread_struct *thread) override;

    // ---- contexts and time (machine.cpp) ----
    void platform_call(const char *name, bool switch_point = true);
    void collect_due();
    void preempt();
    void deliver_irq(unsigned irq);
    void linux_entry_done(const char *what);

    // ---- the loader (module_loader.cpp) ----
    void remove_module_resources();
    int load(const std::string &path);
    int unload();

    // The interrupt controller, then the PC whose board raises one of its
    // lines (declared in the order they are built), then the processor and
    // the services that share it.
    InterruptController irqs_;
    bench::RangeFinderPc pc_{[this](unsigned irq) -> bench::IrqLine & { return irqs_.line(irq); }};
    Cpu cpu_{*this};
    KernelLog klog_;
    IoRegions regions_;
    RtFifos fifos_;
    Scheduler sched_{cpu_};
    LinuxProcesses procs_{cpu_, fifos_};

    hrtime call_cost_ = 0;
    std::function<void(const char *)> hook_;

    bool port_log_on_ = true;
    std::vector<PortWrite> port_log_;

    void *dl_ = nullptr;
    std::string loader_error_;
    void (*cleanup_)() = nullptr;
};

// Simulated time runs on by `span` (Machine::run_until).
inline void run_for(Machine &m, hrtime span)
{
    m.run_until(m.now() + span);
}

}  // namespace rtlsim

#endif
