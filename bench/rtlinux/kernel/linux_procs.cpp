// The Linux side's processes on the emulated machine (linux_procs.h): one
// process at a time per FIFO, the module's use count, writes that wait for
// room, the FIFO's handler after a read or a write, and the reader process.
#include "rtlinux/kernel/linux_procs.h"
#include "rtlinux/abi/platform_binding.h"

#include "rtlinux/kernel/linux_errno.h"

#include <algorithm>
#include <cstdint>

namespace rtlsim {

using namespace lx;

int LinuxProcesses::open(unsigned fifo, int pid)
{
    if (fifo >= RtFifos::kCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    RtFifos::Fifo &f = fifos_.at(fifo);
    if (f.open_count > 0 && f.opener != pid)
        return -kEacces;
    opened(f, pid);
    return 0;
}

int LinuxProcesses::close(unsigned fifo, int pid)
{
    if (fifo >= RtFifos::kCount || fifos_.at(fifo).open_count == 0 || fifos_.at(fifo).opener != pid)
        return -kEbadf;
    closed(fifos_.at(fifo));
    return 0;
}

void LinuxProcesses::exit(int pid)
{
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (it->pid != pid) {
            ++it;
            continue;
        }
        LinuxWrite w = std::move(*it);
        it = writes_.erase(it);
        if (w.opened)
            close(w.fifo, pid);
        if (write_observer_)
            write_observer_(pid, w.fifo, w.done > 0 ? static_cast<int>(w.done) : -kEintr);
    }
    for (unsigned i = 0; i < RtFifos::kCount; ++i)
        while (fifos_.at(i).open_count > 0 && fifos_.at(i).opener == pid)
            close(i, pid);
}

// The FIFO's handler, on the Linux side of the process that wrote or read.
void LinuxProcesses::run_fifo_handler(unsigned fifo, int *result)
{
    api::FifoHandler handler = fifos_.at(fifo).handler;
    if (!handler)
        return;
    int r;
    {
        PlatformBinding bound(cpu_.ops);
        r = handler(fifo);
    }
    cpu_.module_returned("the FIFO handler");
    if (r < 0)
        *result = r;
}

// Puts in what the write may put in now; true once all of it is in.
bool LinuxProcesses::advance_write(LinuxWrite &w)
{
    RtFifos::Fifo &f = fifos_.at(w.fifo);
    while (w.done < w.bytes.size()) {
        if (f.room() < w.need || f.room() == 0)
            return false;
        size_t k = std::min(f.room(), w.bytes.size() - w.done);
        f.push(w.bytes.data() + w.done, k);
        if (cpu_.obs)
            cpu_.obs->fifo(cpu_.now(), Context::linux_side, w.fifo, MachineObserver::FifoOp::write,
                       w.bytes.data() + w.done, k);
        w.done += k;
        w.need = 1;
    }
    return true;
}

int LinuxProcesses::finish_write(LinuxWrite &w)
{
    int result = static_cast<int>(w.bytes.size());
    run_fifo_handler(w.fifo, &result);
    if (w.opened)
        close(w.fifo, w.pid);
    return result;
}

int LinuxProcesses::write(unsigned fifo, const void *buf, size_t n, int pid)
{
    if (fifo >= RtFifos::kCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    RtFifos::Fifo &f = fifos_.at(fifo);
    LinuxWrite w;
    w.fifo = fifo;
    w.pid = pid;
    if (f.open_count == 0 || f.opener != pid) {
        int rc = open(fifo, pid);
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
    if (cpu_.hook_depth == 0) {
        drain_reader();
        resume_writers();
    }
    return result;
}

// Writes that wait go on when the Linux side has the processor between two
// things it does (not inside a platform call of the module), each process's
// writes in order.
void LinuxProcesses::resume_writers()
{
    if (cpu_.hook_depth > 0 || cpu_.ctx != Context::linux_side || writes_.empty())
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

int LinuxProcesses::read(unsigned fifo, void *buf, size_t n, int pid)
{
    if (fifo >= RtFifos::kCount || !fifos_.at(fifo).exists)
        return -kEnodev;
    bool opened = false;
    if (fifos_.at(fifo).open_count == 0 || fifos_.at(fifo).opener != pid) {
        int rc = open(fifo, pid);
        if (rc != 0)
            return rc;
        opened = true;
    }
    int result = static_cast<int>(fifos_.at(fifo).pop(static_cast<unsigned char *>(buf), n));
    if (cpu_.obs && result > 0)
        cpu_.obs->fifo(cpu_.now(), Context::linux_side, fifo, MachineObserver::FifoOp::read,
                   static_cast<unsigned char *>(buf), static_cast<size_t>(result));
    if (result > 0)
        run_fifo_handler(fifo, &result);
    if (opened)
        close(fifo, pid);
    if (cpu_.hook_depth == 0)
        resume_writers();
    return result;
}

void LinuxProcesses::start_reader(unsigned fifo, size_t chunk, int pid)
{
    reading_ = fifo < RtFifos::kCount;
    reader_fifo_ = fifo;
    reader_ = reading_ ? &fifos_.at(fifo) : nullptr;
    reader_chunk_ = std::min(std::max<size_t>(chunk, 1), kMaxReadChunk);
    reader_pid_ = pid;
    drain_reader();
}

void LinuxProcesses::forget_module_fifos()
{
    // Processes that had one of those FIFOs open lose it with it.
    writes_.clear();
    use_count_ = 0;
}

void LinuxProcesses::exit_all()
{
    while (!writes_.empty())
        exit(writes_.front().pid);
    for (unsigned i = 0; i < RtFifos::kCount; ++i)
        while (fifos_.at(i).open_count > 0)
            exit(fifos_.at(i).opener);
}

void LinuxProcesses::drain_reader()
{
    if (!reading_)
        return;
    RtFifos::Fifo &f = *reader_;
    const size_t chunk = reader_chunk_;
    if (!f.exists || f.used < chunk || (f.open_count > 0 && f.opener != reader_pid_))
        return;
    bool held_for_read = false;
    if (f.open_count == 0) {
        opened(f, reader_pid_);
        held_for_read = true;
    }
    unsigned char b[kMaxReadChunk];
    do {
        f.pop(b, chunk);
        if (cpu_.obs)
            cpu_.obs->fifo(cpu_.now(), Context::linux_side, reader_fifo_, MachineObserver::FifoOp::read, b, chunk);
        if (sink_)
            sink_(cpu_.now(), b, chunk);
        else
            received_.push_back(FifoRead{cpu_.now(), std::vector<unsigned char>(b, b + chunk)});
    } while (f.used >= chunk);
    if (f.handler) {
        int result = 0;
        run_fifo_handler(reader_fifo_, &result);
    }
    if (held_for_read)
        closed(f);
}

}  // namespace rtlsim
