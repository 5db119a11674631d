// What happens on the emulated lab PC, told as it happens: to a recorder of
// a trace or a waveform (sims/echorange/), or to a test.
//
// The machine tells an observer every port write, every platform call the
// module makes (with its arguments and result, when it returns), each value
// put on or taken from a FIFO on either side, each kernel-log line, the
// interrupt line's level and the interrupt controller's mask and deliveries,
// and the real-time thread's changes between running and not.  Times are the
// machine's simulated nanoseconds.  An observer only looks: it must not call
// back into the machine.
#ifndef RTLSIM_OBSERVER_H
#define RTLSIM_OBSERVER_H

#include <cstddef>
#include <string>
#include <vector>

#include "time/sim_clock.h"

namespace rtlsim {

enum class Context { linux_side, rt_thread, interrupt };
enum class ThreadState { ready, running, waiting, suspended, exited };

// The word for a thread state in the simulators' logs and traces.
inline const char *thread_state_word(ThreadState s)
{
    switch (s) {
    case ThreadState::ready: return "ready";
    case ThreadState::running: return "running";
    case ThreadState::waiting: return "waiting";
    case ThreadState::suspended: return "suspended";
    case ThreadState::exited: return "gone";
    }
    return "?";
}

class MachineObserver {
public:
    // What happened to an interrupt line: the device raised or lowered it;
    // the controller masked or unmasked it, delivered a request to the
    // handler, or lost one (the line was masked, or went low, before it
    // could be delivered).
    enum class Irq { raised, lowered, masked, unmasked, delivered, lost };
    // put / get: the module's rtf_put / rtf_get; read / write: a Linux
    // process's read() / write() on /dev/rtfN.
    enum class FifoOp { put, get, read, write };

    virtual ~MachineObserver() = default;
    virtual void port_write(bench::Nanos, Context, unsigned /*port*/, unsigned /*value*/, unsigned /*bits*/) {}
    // call: "name(arguments) = result", as the module made it.
    virtual void platform_call(bench::Nanos, Context, const std::string & /*call*/) {}
    virtual void irq(bench::Nanos, unsigned /*irq*/, Irq) {}
    virtual void fifo(bench::Nanos, Context, unsigned /*fifo*/, FifoOp, const unsigned char * /*bytes*/,
                      std::size_t /*n*/)
    {
    }
    // One line of the kernel log, without its newline.
    virtual void kernel_log(bench::Nanos, Context, const std::string & /*line*/) {}
    // The loader: "insmod PATH", "modinfo ITEM", ..., "insmod = RESULT
    // [(error)]"; "rmmod", ..., "rmmod = RESULT [(error)]".
    virtual void loader(bench::Nanos, const std::string & /*what*/) {}
    // A real-time thread starts or stops running (its state afterwards).
    virtual void thread(bench::Nanos, int /*thread*/, ThreadState) {}
    // A thread's pthread_wait_np found its next release already past (an
    // overrun): it runs on for the release at `release`.
    virtual void overrun(bench::Nanos, int /*thread*/, bench::Nanos /*release*/) {}
};

// Tells several observers, in the order added.
class ObserverList : public MachineObserver {
public:
    void add(MachineObserver *o)
    {
        if (o)
            list_.push_back(o);
    }
    bool empty() const { return list_.empty(); }

    void port_write(bench::Nanos t, Context c, unsigned port, unsigned value, unsigned bits) override
    {
        for (auto *o : list_)
            o->port_write(t, c, port, value, bits);
    }
    void platform_call(bench::Nanos t, Context c, const std::string &call) override
    {
        for (auto *o : list_)
            o->platform_call(t, c, call);
    }
    void irq(bench::Nanos t, unsigned irq, Irq what) override
    {
        for (auto *o : list_)
            o->irq(t, irq, what);
    }
    void fifo(bench::Nanos t, Context c, unsigned fifo, FifoOp op, const unsigned char *bytes,
              std::size_t n) override
    {
        for (auto *o : list_)
            o->fifo(t, c, fifo, op, bytes, n);
    }
    void kernel_log(bench::Nanos t, Context c, const std::string &line) override
    {
        for (auto *o : list_)
            o->kernel_log(t, c, line);
    }
    void loader(bench::Nanos t, const std::string &what) override
    {
        for (auto *o : list_)
            o->loader(t, what);
    }
    void thread(bench::Nanos t, int thread, ThreadState state) override
    {
        for (auto *o : list_)
            o->thread(t, thread, state);
    }
    void overrun(bench::Nanos t, int thread, bench::Nanos release) override
    {
        for (auto *o : list_)
            o->overrun(t, thread, release);
    }

private:
    std::vector<MachineObserver *> list_;
};

}  // namespace rtlsim

#endif
