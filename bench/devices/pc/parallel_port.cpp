#include "devices/pc/parallel_port.h"

namespace bench {

void ParallelPort::attach(ParallelPeripheral *peripheral, Micros now)
{
    peripheral_ = peripheral;
    if (peripheral_)
        peripheral_->drive(outputs(), now);
}

PortOutputs ParallelPort::outputs() const
{
    PortOutputs o;
    o.data = data_;
    o.strobe = (control_ & 0x01) == 0;
    o.autofd = (control_ & 0x02) == 0;
    o.init = (control_ & 0x04) != 0;
    o.select_in = (control_ & 0x08) == 0;
    return o;
}

std::uint8_t ParallelPort::status_register(Micros now)
{
    PortInputs in;  // floating: all high
    if (peripheral_)
        in = peripheral_->sense(now);
    std::uint8_t s = 0x07;  // unconnected bits
    if (!in.busy)
        s |= 0x80;
    if (in.ack)
        s |= 0x40;
    if (in.paper_end)
        s |= 0x20;
    if (in.select)
        s |= 0x10;
    if (in.error)
        s |= 0x08;
    return s;
}

std::uint8_t ParallelPort::read8(std::uint16_t offset, Micros now)
{
    switch (offset) {
    case 0:
        return data_;
    case 1:
        if (peripheral_)
            peripheral_->status_read(now);
        return status_register(now);
    default:
        return control_;
    }
}

void ParallelPort::write8(std::uint16_t offset, std::uint8_t value, Micros now)
{
    switch (offset) {
    case 0:
        data_ = value;
        break;
    case 2:
        control_ = value;
        break;
    default:
        return;  // the status register is read only
    }
    if (peripheral_)
        peripheral_->drive(outputs(), now);
}

} // namespace bench
