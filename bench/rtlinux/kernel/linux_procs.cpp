// The Linux side's processes on the emulated machine: open, close, read()
// and write() on /dev/rtfN as rtl_fifo.c serves them (one process at a time
// per FIFO, the module's use count, writes that wait for room, the FIFO's
// handler after a read or a write), and the reader process on FIFO 2.
#include "rtlinux/machine.h"
#include "rtlinux/abi/machine_binding.h"

#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>
#include <cstdint>

namespace rtlsim {

using namespace lx;

void Machine::linux_entry_done(const char *what)
{
    if (!if_on_) {
        violation("%s returned to Linux with interrupts masked", what);
        if_on_ = true;
    }
    collect_due();
    preempt();
}

int Machine::linux_open(unsigned fifo, int pid)
{
    if (fifo >= kFifoCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    RtFifos::Fifo &f = fifos_.at(fifo);
    if (f.open_count > 0 && f.opener != pid)
        return -kEacces;
    f.opener = pid;
    ++f.open_count;
    if (f.creator)
        ++use_count_;
    return 0;
}

int Machine::linux_close(unsigned fifo, int pid)
{
    if (fifo >= kFifoCount || fifos_.at(fifo).open_count == 0 || fifos_.at(fifo).opener != pid)
        return -kEbadf;
    RtFifos::Fifo &f = fifos_.at(fifo);
    --f.open_count;
    if (f.creator)
        --use_count_;
    return 0;
}

void Machine::linux_exit(int pid)
{
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (it->pid != pid) {
            ++it;
            continue;
        }
        LinuxWrite w = std::move(*it);
        it = writes_.erase(it);
        if (w.opened)
            linux_close(w.fifo, pid);
        if (write_observer_)
            write_observer_(pid, w.fifo, w.done > 0 ? static_cast<int>(w.done) : -kEintr);
    }
    for (unsigned i = 0; i < kFifoCount; ++i)
        while (fifos_.at(i).open_count > 0 && fifos_.at(i).opener == pid)
            linux_close(i, pid);
}

// The FIFO's handler, on the Linux side of the process that wrote or read.
void Machine::run_fifo_handler(unsigned fifo, int *result)
{
    api::FifoHandler handler = fifos_.at(fifo).handler;
    if (!handler)
        return;
    int r;
    {
        MachineBinding bound(*this);
        r = handler(fifo);
    }
    linux_entry_done("the FIFO handler");
    if (r < 0)
        *result = r;
}

// Puts in what the write may put in now; true once all of it is in.
bool Machine::advance_write(LinuxWrite &w)
{
    RtFifos::Fifo &f = fifos_.at(w.fifo);
    while (w.done < w.bytes.size()) {
        if (f.room() < w.need || f.room() == 0)
            return false;
        size_t k = std::min(f.room(), w.bytes.size() - w.done);
        f.push(w.bytes.data() + w.done, k);
        if (obs_)
            obs_->fifo(pc_.clock().now(), Context::linux_side, w.fifo, MachineObserver::FifoOp::write,
                       w.bytes.data() + w.done, k);
        w.done += k;
        w.need = 1;
    }
    return true;
}

int Machine::finish_write(LinuxWrite &w)
{
    int result = static_cast<int>(w.bytes.size());
    run_fifo_handler(w.fifo, &result);
    if (w.opened)
        linux_close(w.fifo, w.pid);
    return result;
}

int Machine::linux_write(unsigned fifo, const void *buf, size_t n, int pid)
{
    if (fifo >= kFifoCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    RtFifos::Fifo &f = fifos_.at(fifo);
    LinuxWrite w;
    w.fifo = fifo;
    w.pid = pid;
    if (f.open_count == 0 || f.opener != pid) {
        int rc = linux_open(fifo, pid);
        if (rc != 0)
            return rc;
        w.opened = true;
    }
    const auto *p = static_cast<const unsigned char *>(buf);
    w.bytes.assign(p, p + n);
    // Up to the buffer's size a write waits for room for all of it.
    w.need = n <= f.ring.size() ? n : 1;
    bool behind = std::any_of(writes_.begin(), writes_.end(),
                              [pid](const LinuxWrite &o) { return o.pid == pid; });
    if (behind || !advance_write(w)) {
        writes_.push_back(std::move(w));
        return kWriteWaits;
    }
    int result = finish_write(w);
    if (hook_depth_ == 0) {
        drain_reader();
        resume_writers();
    }
    return result;
}

// Writes that wait go on when the Linux side has the processor between two
// things it does (not inside a platform call of the module), each process's
// writes in order.
void Machine::resume_writers()
{
    if (hook_depth_ > 0 || running_ || ctx_ != Context::linux_side || writes_.empty())
        return;
    bool progress = true;
    while (progress) {
        progress = false;
        for (auto it = writes_.begin(); it != writes_.end(); ++it) {
            bool earlier = std::any_of(writes_.begin(), it,
                                       [&](const LinuxWrite &o) { return o.pid == it->pid; });
            if (earlier)
                continue;
            size_t before = it->done;
            if (advance_write(*it)) {
                LinuxWrite w = std::move(*it);
                writes_.erase(it);
                int result = finish_write(w);
                if (write_observer_)
                    write_observer_(w.pid, w.fifo, result);
                progress = true;
                break;
            }
            if (it->done != before)
                progress = true;
        }
    }
}

std::vector<unsigned char> Machine::encode_records(const std::vector<std::array<int, 3>> &records)
{
    std::vector<unsigned char> bytes;
    for (const auto &r : records) {
        for (int v : r) {
            auto u = static_cast<uint32_t>(v);
            for (int b = 0; b < 4; ++b)
                bytes.push_back(static_cast<unsigned char>(u >> (8 * b)));
        }
    }
    return bytes;
}

int Machine::linux_write_records(const std::vector<std::array<int, 3>> &records)
{
    std::vector<unsigned char> bytes = encode_records(records);
    return linux_write(1, bytes.data(), bytes.size());
}

int Machine::linux_read(unsigned fifo, void *buf, size_t n, int pid)
{
    if (fifo >= kFifoCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    bool opened = false;
    if (fifos_.at(fifo).open_count == 0 || fifos_.at(fifo).opener != pid) {
        int rc = linux_open(fifo, pid);
        if (rc != 0)
            return rc;
        opened = true;
    }
    int result = static_cast<int>(fifos_.at(fifo).pop(static_cast<unsigned char *>(buf), n));
    if (obs_ && result > 0)
        obs_->fifo(pc_.clock().now(), Context::linux_side, fifo, MachineObserver::FifoOp::read,
                   static_cast<unsigned char *>(buf), static_cast<size_t>(result));
    if (result > 0)
        run_fifo_handler(fifo, &result);
    if (opened)
        linux_close(fifo, pid);
    if (hook_depth_ == 0)
        resume_writers();
    return result;
}

void Machine::set_reader(bool reading)
{
    reading_ = reading;
    drain_reader();
}

void Machine::drain_reader()
{
    if (!reading_ || !fifos_.exists(2))
        return;
    RtFifos::Fifo &f = fifos_.at(2);
    if (f.used < 4 || (f.open_count > 0 && f.opener != kReaderPid))
        return;
    bool opened = false;
    if (f.open_count == 0) {
        linux_open(2, kReaderPid);
        opened = true;
    }
    while (f.used >= 4) {
        unsigned char b[4];
        f.pop(b, 4);
        if (obs_)
            obs_->fifo(pc_.clock().now(), Context::linux_side, 2, MachineObserver::FifoOp::read, b, 4);
        int v = static_cast<int>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                 static_cast<uint32_t>(b[2]) << 16 |
                                 static_cast<uint32_t>(b[3]) << 24);
        if (sink_)
            sink_(pc_.clock().now(), v);
        else
            received_.push_back(FifoValue{pc_.clock().now(), v});
    }
    int result = 0;
    run_fifo_handler(2, &result);
    if (opened)
        linux_close(2, kReaderPid);
}

std::vector<int> Machine::received_values() const
{
    std::vector<int> v;
    for (const auto &r : received_)
        v.push_back(r.value);
    return v;
}

}  // namespace rtlsim
