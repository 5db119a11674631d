// An interrupt request line of the PC's ISA bus, between a device that
// raises it and the interrupt controller that takes it.
//
// The line knows neither side's kind: the device sees only whether its
// request was taken and, later, how it ended (serviced: the handler
// returned; dropped: the line was masked while the request waited).  The
// controller decides what a raise does (latch it, keep it waiting on a
// masked line while the line stays high).  ISA lines are edge-triggered:
// each raise is one request.  The line has a level: a device that holds
// its request (until its handler acknowledges it) lowers the line later, a
// device that pulses it lowers it at once.
#ifndef BENCH_TIME_IRQ_LINE_H
#define BENCH_TIME_IRQ_LINE_H

namespace bench {

class IrqLine {
public:
    // The side that takes interrupts (the interrupt controller).
    class Controller {
    public:
        virtual ~Controller() = default;
        // A request on `line`; true when it was latched for delivery.
        virtual bool irq_raised(IrqLine &line) = 0;
        // The line went low again.
        virtual void irq_lowered(IrqLine &) {}
    };
    // The side that raises the line (a device).
    class Source {
    public:
        virtual ~Source() = default;
        virtual void irq_serviced(IrqLine &) {}
        virtual void irq_dropped(IrqLine &) {}
    };

    explicit IrqLine(unsigned number = 0) : number_(number) {}
    IrqLine(const IrqLine &) = delete;
    IrqLine &operator=(const IrqLine &) = delete;

    unsigned number() const { return number_; }
    void set_number(unsigned number) { number_ = number; }
    void attach_controller(Controller *controller) { controller_ = controller; }
    void attach_source(Source *source) { source_ = source; }

    // The device's side: one request.  Without a controller nobody listens
    // and the request is lost.
    bool raise()
    {
        high_ = true;
        return controller_ != nullptr && controller_->irq_raised(*this);
    }
    void lower()
    {
        if (!high_)
            return;
        high_ = false;
        if (controller_)
            controller_->irq_lowered(*this);
    }
    bool high() const { return high_; }

    // The controller's side: how a latched request ended.
    void serviced()
    {
        if (source_)
            source_->irq_serviced(*this);
    }
    void dropped()
    {
        if (source_)
            source_->irq_dropped(*this);
    }

private:
    unsigned number_;
    bool high_ = false;
    Controller *controller_ = nullptr;
    Source *source_ = nullptr;
};

} // namespace bench

#endif
