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
// FIFOs, I/O regions, kernel log); the scheduler (kernel/rtl_sched.cpp), the
// Linux processes (kernel/linux_procs.cpp) and the module loader
// (kernel/module_loader.cpp) switch contexts or reach across the services,
// so they are parts of this class in files of their own.
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
// one whose module code is running (abi/machine_binding.h).
#ifndef RTLSIM_MACHINE_H
#define RTLSIM_MACHINE_H

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boards/rangefinder_pc.h"
#include "bus/io_bus.h"
#include "devices/rangefinder/echo_board.h"
#include "rtlinux/abi/platform_api.h"
#include "rtlinux/kernel/io_regions.h"
#include "rtlinux/kernel/klog.h"
#include "rtlinux/kernel/rtl_fifo.h"
#include "rtlinux/kernel/rtl_irq.h"
#include "rtlinux/observer.h"
#include "time/event_queue.h"
#include "time/sim_clock.h"

namespace rtlsim {

using hrtime = bench::Nanos;
constexpr hrtime kNever = bench::kNever;

constexpr hrtime kMicrosecond = bench::kMicrosecond;
constexpr hrtime kMillisecond = bench::kMillisecond;
constexpr hrtime kSecond = bench::kSecond;

// "Linux side", "real-time thread", "interrupt handler".
const char *context_name(Context c);

struct PortWrite {
    hrtime time;
    unsigned port;
    unsigned value;
    Context context;
};

struct FifoValue {
    hrtime time;  // when the Linux reader got it
    int value;
};

// What a thread was created with.
struct ThreadInfo {
    int stack_size;
    int use_fp;
    int priority;
    int cpu;
};

class Machine {
public:
    static constexpr unsigned kFifoCount = RtFifos::kCount;
    static constexpr unsigned kIrqCount = InterruptController::kIrqCount;
    static constexpr const char *kKernelRelease = "2.4.18-rtl3.1";

    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The emulation build of the module (echorange.so).
    static std::string default_module_path();

    // ---- the parts ----
    //
    // The PC and the platform's services, to set up and to look at: the
    // range-finder board (targets, stray interrupts, how it drives its
    // line, shots and lost echoes), the bus, the interrupt controller, the
    // FIFOs and the I/O-region registry (another driver holding ports or
    // a line is occupy() there).  What the module does goes through the
    // platform operations below, which take their time and switch contexts.
    bench::RangeFinderPc &pc() { return pc_; }
    bench::EchoBoard &board() { return pc_.board(); }
    const bench::EchoBoard &board() const { return pc_.board(); }
    const bench::IoBus &bus() const { return pc_.bus(); }
    InterruptController &irqs() { return irqs_; }
    const InterruptController &irqs() const { return irqs_; }
    const RtFifos &fifos() const { return fifos_; }
    IoRegions &regions() { return regions_; }
    const IoRegions &regions() const { return regions_; }

    // ---- settings ----

    // Simulated time that each platform call takes (default 0).
    void set_call_cost(hrtime cost) { call_cost_ = cost; }
    // Called at the entry of every platform call with the call's name
    // (e.g. to write to a FIFO while the module is loading).
    void set_call_hook(std::function<void(const char *)> hook) { hook_ = std::move(hook); }
    // Record every port write (default on; long runs turn it off).
    void set_port_log(bool on) { port_log_on_ = on; }
    // Who is told what happens (observer.h); none by default.  The observer
    // must outlive the machine or be taken away first.
    void set_observer(MachineObserver *observer);
    MachineObserver *observer() const { return obs_; }

    // ---- the module loader (insmod / rmmod) ----

    // Loads the module object and runs init_module; returns its result, or
    // a negative error when the loader refuses the object (loader_error()).
    int insmod(const std::string &path = default_module_path());
    // Runs cleanup_module and removes the module: 0; -EBUSY (and nothing
    // done) while its use count is not zero; -ENOENT when none is loaded.
    int rmmod();
    int module_use_count() const { return use_count_; }
    bool module_loaded() const { return dl_ != nullptr; }
    const std::string &loader_error() const { return loader_error_; }
    // A symbol of the loaded module, or null.
    void *module_symbol(const char *name) const;
    // The module information items ("name=value") of an object file.
    static std::vector<std::string> read_modinfo(const std::string &path);

    // ---- Linux processes ----
    //
    // Processes are numbered.  kWriterPid writes the command records to
    // /dev/rtf1, kReaderPid reads /dev/rtf2 (set_reader); tests and
    // scenarios may name others.
    //
    // Only one process at a time may have an RT-FIFO open: another one gets
    // -EACCES; the same process may open it again.  Each open of a FIFO the
    // module created takes a use count on the module, and rmmod is refused
    // (-EBUSY) while the count is not zero.  read() and write() open the
    // FIFO for the call when the process does not hold it open already.
    static constexpr int kWriterPid = 1;
    static constexpr int kReaderPid = 2;
    // What linux_write returns for a write that has to wait for room.
    static constexpr int kWriteWaits = INT_MIN;

    int linux_open(unsigned fifo, int pid);
    int linux_close(unsigned fifo, int pid);
    // The process ends: a write of it that waits is interrupted (it returns
    // the bytes already in, or -EINTR for none, without the handler
    // running), and every FIFO it holds open is closed.
    void linux_exit(int pid);
    // write() on /dev/rtfN.  A write of at most the FIFO's size waits until
    // it fits whole; a longer one goes in piece by piece as room comes.
    // Once all its bytes are in, the FIFO's handler runs once, and the
    // result is n (or the handler's negative result).  A write that has to
    // wait returns kWriteWaits; it goes on whenever the Linux side gets the
    // processor and room has come (the module's rtf_get, a read), and its
    // result is then given to the write observer.  A later write of a
    // process whose write waits comes after it.
    int linux_write(unsigned fifo, const void *buf, size_t n, int pid = kWriterPid);
    // The writer's write() of command records (command, number, period):
    // each a 12-byte record of three little-endian 32-bit ints, as the
    // module reads them from /dev/rtf1.
    int linux_write_records(const std::vector<std::array<int, 3>> &records);
    static std::vector<unsigned char> encode_records(const std::vector<std::array<int, 3>> &records);
    void set_write_observer(std::function<void(int pid, unsigned fifo, int result)> observer)
    {
        write_observer_ = std::move(observer);
    }
    size_t writes_waiting() const { return writes_.size(); }
    // read() on /dev/rtfN: up to n bytes, what is there; then the FIFO's
    // handler runs when anything was read.
    int linux_read(unsigned fifo, void *buf, size_t n, int pid = kReaderPid);
    // The reader process on FIFO 2: while reading it takes every value as
    // soon as the Linux side gets the processor, with one read() each time;
    // it holds /dev/rtf2 open only during that read().  While another
    // process holds /dev/rtf2 open, its reads are refused and it gets
    // nothing.
    void set_reader(bool reading);
    void set_reader_sink(std::function<void(hrtime, int)> sink) { sink_ = std::move(sink); }
    const std::vector<FifoValue> &received() const { return received_; }
    std::vector<int> received_values() const;

    // Lets simulated time run to `until`, every context doing its work.  A
    // real-time thread keeps the processor as long as it is ready, so a
    // thread whose work overruns every period (see thread_wait) keeps the
    // Linux side from running, as on the lab PC, until the end below.
    void run_until(hrtime until);
    // The end of the run (default never).  Once the clock has passed it, a
    // real-time thread that still has the processor is stopped at its next
    // platform call and not let run again, and run_until returns: a run
    // ends at its end whatever the module does.  Moving the end later lets
    // a stopped thread go on from where it stopped.
    void set_end(hrtime end);
    // Whether a thread was stopped by the end (it had the processor then).
    bool thread_stopped_at_end() const;
    // Releases that came while the thread was still at work on an earlier
    // one (its work overran the period), counted over the run.
    long overruns() const { return overruns_; }
    void run_for(hrtime span) { run_until(pc_.clock().now() + span); }
    hrtime now() const { return pc_.clock().now(); }
    Context context() const { return ctx_; }

    // ---- observation ----

    const std::string &kernel_log() const { return klog_.text(); }
    const std::vector<std::string> &violations() const { return violations_; }
    const std::vector<PortWrite> &port_log() const { return port_log_; }
    void clear_port_log() { port_log_.clear(); }

    size_t thread_count() const { return threads_.size(); }
    // The first live thread's state / creation record (tests have one).
    ThreadState thread_state() const;
    ThreadInfo thread_info() const;
    long thread_releases() const;
    long interrupts_delivered() const { return irq_delivered_; }
    // Module resources that still exist (what an unload or a failed load
    // must not leave behind).
    std::vector<std::string> module_leftovers() const;

    // ---- platform operations (reached from platform.cpp via api::) ----

    int vlog(const char *fmt, va_list ap);
    int region_check(unsigned long start, unsigned long n);
    void *region_request(unsigned long start, unsigned long n, const char *name);
    void region_release(unsigned long start, unsigned long n);
    void port_out(unsigned port, unsigned value);
    // creator: the module whose use count an open takes (none when null).
    int fifo_create(unsigned fifo, int size, const struct module *creator = nullptr);
    int fifo_destroy(unsigned fifo);
    int fifo_set_handler(unsigned fifo, api::FifoHandler handler);
    int fifo_get(unsigned fifo, void *buf, int count);
    int fifo_put(unsigned fifo, const void *buf, int count);
    int irq_request(unsigned irq, api::IrqHandler handler);
    int irq_free(unsigned irq);
    void irq_enable(unsigned irq);
    void irq_disable(unsigned irq);
    unsigned long irq_save();
    void irq_restore(unsigned long flags);
    hrtime clock();
    int thread_create(rtl_thread_struct **handle, const ThreadInfo &info, api::ThreadBody body,
                      void *arg);
    int thread_make_periodic(rtl_thread_struct *thread, hrtime start, hrtime period);
    int thread_wakeup(rtl_thread_struct *thread);
    int thread_suspend(rtl_thread_struct *thread);
    int thread_wait();
    int thread_delete(rtl_thread_struct *thread);

private:
    // A write() that waits for room.
    struct LinuxWrite {
        unsigned fifo;
        int pid;
        std::vector<unsigned char> bytes;
        size_t done = 0;
        size_t need = 0;  // room it waits for before its next piece
        bool opened = false;  // opened the FIFO for itself
    };
    friend void thread_entry();

    void violation(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void platform_call(const char *name, bool switch_point = true);
    void complaint(const std::string &what) { violations_.push_back(what); }
    void collect_due();
    void preempt();
    void deliver_irq(unsigned irq);
    void switch_to(rtl_thread_struct *thread);
    void switch_to_linux(rtl_thread_struct *thread);
    void thread_exited(rtl_thread_struct *thread);
    hrtime next_release(const rtl_thread_struct &thread) const;
    void set_release(rtl_thread_struct *thread, hrtime at);
    rtl_thread_struct *live_thread(rtl_thread_struct *thread, const char *op);
    // 1 for the first live thread, ... (0: none); for observers.
    int thread_number(const rtl_thread_struct *thread) const;
    void drain_reader();
    bool advance_write(LinuxWrite &w);
    int finish_write(LinuxWrite &w);
    void resume_writers();
    void run_fifo_handler(unsigned fifo, int *result);
    void linux_entry_done(const char *what);
    void remove_module_resources();
    int load(const std::string &path);
    int unload();
    void release_thread(rtl_thread_struct *thread);
    void hold_at_end(rtl_thread_struct *thread);

    MachineObserver *obs_ = nullptr;

    // The interrupt controller, then the PC whose board raises one of its
    // lines (declared in the order they are built).
    InterruptController irqs_;
    bench::RangeFinderPc pc_{[this](unsigned irq) -> bench::IrqLine & { return irqs_.line(irq); }};


    hrtime call_cost_ = 0;
    hrtime end_ = kNever;
    long overruns_ = 0;
    Context ctx_ = Context::linux_side;
    bool if_on_ = true;
    int hook_depth_ = 0;
    std::function<void(const char *)> hook_;

    KernelLog klog_;
    std::vector<std::string> violations_;

    IoRegions regions_;
    RtFifos fifos_;
    long irq_delivered_ = 0;

    std::vector<std::unique_ptr<rtl_thread_struct>> threads_;
    rtl_thread_struct *running_ = nullptr;
    struct LinuxContext;
    std::unique_ptr<LinuxContext> linux_;
    const void *linux_stack_bottom_ = nullptr;
    size_t linux_stack_size_ = 0;

    bool port_log_on_ = true;
    std::vector<PortWrite> port_log_;

    std::deque<LinuxWrite> writes_;
    std::function<void(int, unsigned, int)> write_observer_;
    int use_count_ = 0;

    bool reading_ = true;
    std::function<void(hrtime, int)> sink_;
    std::vector<FifoValue> received_;

    void *dl_ = nullptr;
    std::string loader_error_;
    void (*cleanup_)() = nullptr;
};

}  // namespace rtlsim

#endif
