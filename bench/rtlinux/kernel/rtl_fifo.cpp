#include "rtlinux/kernel/rtl_fifo.h"

#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>

namespace rtlsim {

using namespace lx;

void RtFifos::Fifo::push(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        ring[(head + used + i) % ring.size()] = p[i];
    used += n;
}

size_t RtFifos::Fifo::pop(unsigned char *p, size_t n)
{
    n = std::min(n, used);
    for (size_t i = 0; i < n; ++i)
        p[i] = ring[(head + i) % ring.size()];
    head = (head + n) % ring.size();
    used -= n;
    return n;
}

void RtFifos::complain(const std::string &what)
{
    if (complain_)
        complain_(what);
}

int RtFifos::create(unsigned fifo, int size, const struct module *creator)
{
    if (fifo >= kCount)
        return -kEnodev;
    if (size <= 0)
        return -kEinval;
    Fifo &f = fifos_[fifo];
    if (f.exists)
        return -kEbusy;
    f = Fifo();
    f.exists = true;
    f.ring.assign(static_cast<size_t>(size), 0);
    f.creator = creator;
    return 0;
}

// A FIFO that a Linux process has open stays: rtf_destroy refuses it with
// -EINVAL, as RTLinux does.
int RtFifos::destroy(unsigned fifo)
{
    if (fifo >= kCount) {
        complain("rtf_destroy(" + std::to_string(fifo) + "): no such FIFO");
        return -kEnodev;
    }
    if (fifos_[fifo].open_count > 0)
        return -kEinval;
    if (!fifos_[fifo].exists) {
        complain("rtf_destroy(" + std::to_string(fifo) + "): no such FIFO");
        return -kEinval;
    }
    fifos_[fifo] = Fifo();
    return 0;
}

int RtFifos::set_handler(unsigned fifo, api::FifoHandler handler)
{
    if (fifo >= kCount || !fifos_[fifo].exists || !handler) {
        complain("rtf_create_handler(" + std::to_string(fifo) + "): no such FIFO or no handler");
        return -kEinval;
    }
    fifos_[fifo].handler = handler;
    return 0;
}

int RtFifos::get(unsigned fifo, void *buf, int count)
{
    if (!exists(fifo)) {
        complain("rtf_get(" + std::to_string(fifo) + ") on a FIFO that does not exist");
        return fifo >= kCount ? -kEnodev : -kEinval;
    }
    if (count <= 0)
        return 0;
    return static_cast<int>(fifos_[fifo].pop(static_cast<unsigned char *>(buf), static_cast<size_t>(count)));
}

int RtFifos::put(unsigned fifo, const void *buf, int count, const char *context)
{
    if (!exists(fifo)) {
        complain("rtf_put(" + std::to_string(fifo) + ") from the " + context + " on a FIFO that does not exist");
        return fifo >= kCount ? -kEnodev : -kEinval;
    }
    Fifo &f = fifos_[fifo];
    if (count < 0)
        return -kEinval;
    if (f.room() < static_cast<size_t>(count)) {
        ++refused_[fifo];
        return -kEnospc;
    }
    f.push(static_cast<const unsigned char *>(buf), static_cast<size_t>(count));
    return count;
}

std::vector<std::string> RtFifos::module_leftovers() const
{
    std::vector<std::string> left;
    for (unsigned i = 0; i < kCount; ++i) {
        const Fifo &f = fifos_[i];
        if (f.exists)
            left.push_back("RT-FIFO " + std::to_string(i) +
                           (f.open_count > 0
                                ? " (open by process " + std::to_string(f.opener) + ": rtf_destroy refused)"
                                : ""));
        if (f.handler)
            left.push_back("handler of RT-FIFO " + std::to_string(i));
    }
    return left;
}

void RtFifos::remove_all()
{
    for (auto &f : fifos_)
        f = Fifo();
}

}  // namespace rtlsim
