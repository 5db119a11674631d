// RTLinux's hard interrupts: the sixteen ISA lines as the real-time
// interrupt controller sees them.  Per line: the handler a module installed
// (rtl_request_global_irq), whether another driver holds it, the mask
// (rtl_hard_enable_irq / rtl_hard_disable_irq) and a latched request.
//
// It works as the PC's 8259 does with edge-triggered lines: a device
// raises a line (bench::IrqLine); the controller latches the request for
// delivery when the line is unmasked and has a handler.  On a masked line
// the request waits as long as the line stays high and is delivered when
// the line is unmasked; when the line goes low first, it is lost.  Masking
// a line whose latched request was not yet delivered puts it back to
// waiting while the line is high, and loses it when the line is low.  Delivery (running the handler with interrupts masked, in the
// interrupt context) is the machine's: it asks for pending lines, takes a
// request and tells the line when the handler returned.
#ifndef RTLSIM_KERNEL_RTL_IRQ_H
#define RTLSIM_KERNEL_RTL_IRQ_H

#include "rtlinux/abi/platform_api.h"
#include "rtlinux/observer.h"
#include "time/irq_line.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rtlsim {

class InterruptController : public bench::IrqLine::Controller {
public:
    static constexpr unsigned kIrqCount = 16;
    using ComplaintSink = std::function<void(const std::string &)>;
    using EventSink = std::function<void(unsigned irq, MachineObserver::Irq)>;

    InterruptController();
    InterruptController(const InterruptController &) = delete;
    InterruptController &operator=(const InterruptController &) = delete;

    void set_complaint_sink(ComplaintSink sink) { complain_ = std::move(sink); }
    // Told every raise, lowering, mask, unmask and lost request.
    void set_event_sink(EventSink sink) { event_ = std::move(sink); }
    bench::IrqLine &line(unsigned irq) { return lines_[irq]; }

    // The module's calls; results as the platform returns them (0, or a
    // negative Linux error number).  Misuse is told to the complaint sink.
    int request(unsigned irq, api::IrqHandler handler);
    int free(unsigned irq);
    void enable(unsigned irq);
    void disable(unsigned irq);
    void occupy(unsigned irq);   // another driver holds the line
    void vacate(unsigned irq);   // ... and gives it back

    bool installed(unsigned irq) const { return irq < kIrqCount && state_[irq].handler != nullptr; }
    bool enabled(unsigned irq) const { return irq < kIrqCount && state_[irq].enabled; }
    bool pending(unsigned irq) const { return (pending_ >> irq) & 1u; }
    // Whether any line has a request latched for delivery: the machine asks
    // at every switch point, and mostly none has.
    bool any_pending() const { return pending_ != 0; }
    // A request on a masked line, waiting for the unmask.
    bool waiting(unsigned irq) const { return irq < kIrqCount && state_[irq].waiting; }
    // Takes the request off the line: its handler, or null when the line has
    // none any more or is masked (then nothing runs).  Each handler taken is
    // an interrupt delivered.
    api::IrqHandler take(unsigned irq);
    long delivered() const { return delivered_; }

    // The module's handlers and unmasked lines, and taking them all away
    // (the lines another driver holds stay so).
    std::vector<std::string> module_leftovers() const;
    void remove_module_handlers();

    bool irq_raised(bench::IrqLine &line) override;
    void irq_lowered(bench::IrqLine &line) override;

private:
    long delivered_ = 0;
    struct State {
        api::IrqHandler handler = nullptr;
        bool other_driver = false;
        bool enabled = false;
        bool waiting = false;
    };
    void complain(const char *fmt, unsigned irq);
    void event(unsigned irq, MachineObserver::Irq what)
    {
        if (event_)
            event_(irq, what);
    }

    void set_pending(unsigned irq, bool on)
    {
        pending_ = on ? pending_ | (1u << irq) : pending_ & ~(1u << irq);
    }

    std::array<bench::IrqLine, kIrqCount> lines_;
    std::array<State, kIrqCount> state_;
    std::uint32_t pending_ = 0;  // bit n: a request latched on line n
    ComplaintSink complain_;
    EventSink event_;
};

}  // namespace rtlsim

#endif
