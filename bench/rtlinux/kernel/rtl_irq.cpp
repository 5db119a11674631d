#include "rtlinux/kernel/rtl_irq.h"

#include "rtlinux/kernel/linux_errno.h"

#include <cstdio>

namespace rtlsim {

using namespace lx;

InterruptController::InterruptController()
{
    for (unsigned irq = 0; irq < kIrqCount; ++irq) {
        lines_[irq].set_number(irq);
        lines_[irq].attach_controller(this);
    }
}

void InterruptController::complain(const char *fmt, unsigned irq)
{
    if (!complain_)
        return;
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, irq);
    complain_(buf);
}

// A device raises a line: taken when the line is unmasked; on a masked line
// the request waits while the line stays high.
bool InterruptController::irq_raised(bench::IrqLine &line)
{
    unsigned irq = line.number();
    State &s = state_[irq];
    event(irq, MachineObserver::Irq::raised);
    if (!s.enabled) {
        s.waiting = true;
        return false;
    }
    if (!s.handler) {
        complain("IRQ %u raised while unmasked with no handler installed", irq);
        return false;
    }
    set_pending(irq, true);
    return true;
}

// The line went low: a request still waiting for the unmask is gone (the
// device counts its own lost requests).
void InterruptController::irq_lowered(bench::IrqLine &line)
{
    unsigned irq = line.number();
    event(irq, MachineObserver::Irq::lowered);
    if (state_[irq].waiting) {
        state_[irq].waiting = false;
        event(irq, MachineObserver::Irq::lost);
    }
}

api::IrqHandler InterruptController::take(unsigned irq)
{
    State &s = state_[irq];
    set_pending(irq, false);
    if (!s.handler || !s.enabled)
        return nullptr;
    ++delivered_;
    return s.handler;
}

int InterruptController::request(unsigned irq, api::IrqHandler handler)
{
    if (irq >= kIrqCount || !handler)
        return -kEinval;
    State &s = state_[irq];
    if (s.handler || s.other_driver)
        return -kEbusy;
    s.handler = handler;
    s.enabled = false;
    set_pending(irq, false);
    s.waiting = false;
    return 0;
}

int InterruptController::free(unsigned irq)
{
    if (irq >= kIrqCount || !state_[irq].handler) {
        complain("rtl_free_global_irq(%u): no handler installed", irq);
        return -kEinval;
    }
    // The line keeps its mask state: freeing does not mask it.
    state_[irq].handler = nullptr;
    set_pending(irq, false);
    state_[irq].waiting = false;
    return 0;
}

void InterruptController::enable(unsigned irq)
{
    if (irq >= kIrqCount)
        return;
    State &s = state_[irq];
    if (!s.handler)
        complain("rtl_hard_enable_irq(%u) with no handler installed", irq);
    s.enabled = true;
    event(irq, MachineObserver::Irq::unmasked);
    // A request that waited on the masked line, still high, is delivered now.
    if (s.waiting && s.handler && lines_[irq].high()) {
        s.waiting = false;
        set_pending(irq, true);
    }
}

void InterruptController::disable(unsigned irq)
{
    if (irq >= kIrqCount)
        return;
    State &s = state_[irq];
    s.enabled = false;
    event(irq, MachineObserver::Irq::masked);
    if (pending(irq)) {
        set_pending(irq, false);
        if (lines_[irq].high()) {
            s.waiting = true;
        } else {
            event(irq, MachineObserver::Irq::lost);
            lines_[irq].dropped();
        }
    }
}

void InterruptController::occupy(unsigned irq)
{
    if (irq < kIrqCount)
        state_[irq].other_driver = true;
}

void InterruptController::vacate(unsigned irq)
{
    if (irq < kIrqCount)
        state_[irq].other_driver = false;
}

std::vector<std::string> InterruptController::module_leftovers() const
{
    std::vector<std::string> left;
    for (unsigned i = 0; i < kIrqCount; ++i) {
        if (state_[i].handler)
            left.push_back("handler of IRQ " + std::to_string(i));
        if (state_[i].enabled)
            left.push_back("IRQ " + std::to_string(i) + " unmasked");
    }
    return left;
}

void InterruptController::remove_module_handlers()
{
    for (auto &s : state_) {
        s.handler = nullptr;
        s.enabled = false;
        s.waiting = false;
    }
    pending_ = 0;
}

}  // namespace rtlsim
