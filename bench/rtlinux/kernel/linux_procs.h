// The Linux side's processes on the emulated machine: open, close, read()
// and write() on /dev/rtfN as rtl_fifo.c serves them, and a reader process
// that takes what a FIFO carries as soon as the Linux side gets the
// processor.  RT-FIFOs carry bytes; what the bytes mean is the caller's.
//
// Processes are numbered.  Only one process at a time may have an RT-FIFO
// open: another one gets -EACCES; the same process may open it again.  Each
// open of a FIFO the module created takes a use count on the module, and
// rmmod is refused (-EBUSY) while the count is not zero.  read() and
// write() open the FIFO for the call when the process does not hold it open
// already.
#ifndef RTLSIM_KERNEL_LINUX_PROCS_H
#define RTLSIM_KERNEL_LINUX_PROCS_H

#include <climits>
#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

#include "rtlinux/kernel/processor.h"
#include "rtlinux/kernel/rtl_fifo.h"

namespace rtlsim {

// What the reader process got with one read().
struct FifoRead {
    hrtime time;  // when it got it
    std::vector<unsigned char> bytes;
};

class LinuxProcesses {
public:
    // The writer of command records and the reader of results, by
    // convention; tests and scenarios may name others.
    static constexpr int kWriterPid = 1;
    static constexpr int kReaderPid = 2;
    // What write returns for a write that has to wait for room.
    static constexpr int kWriteWaits = INT_MIN;
    // The most bytes the reader process takes with one read().
    static constexpr size_t kMaxReadChunk = 64;

    LinuxProcesses(Processor &cpu, RtFifos &fifos) : cpu_(cpu), fifos_(fifos) {}
    LinuxProcesses(const LinuxProcesses &) = delete;
    LinuxProcesses &operator=(const LinuxProcesses &) = delete;

    int open(unsigned fifo, int pid);
    int close(unsigned fifo, int pid);
    // The process ends: a write of it that waits is interrupted (it returns
    // the bytes already in, or -EINTR for none, without the handler
    // running), and every FIFO it holds open is closed.
    void exit(int pid);
    // write() on /dev/rtfN.  A write of at most the FIFO's size waits until
    // it fits whole; a longer one goes in piece by piece as room comes.
    // Once all its bytes are in, the FIFO's handler runs once, and the
    // result is n (or the handler's negative result).  A write that has to
    // wait returns kWriteWaits; it goes on whenever the Linux side gets the
    // processor and room has come (the module's rtf_get, a read), and its
    // result is then given to the write observer.  A later write of a
    // process whose write waits comes after it.
    int write(unsigned fifo, const void *buf, size_t n, int pid = kWriterPid);
    void set_write_observer(std::function<void(int pid, unsigned fifo, int result)> observer)
    {
        write_observer_ = std::move(observer);
    }
    size_t writes_waiting() const { return writes_.size(); }
    // read() on /dev/rtfN: up to n bytes, what is there; then the FIFO's
    // handler runs when anything was read.
    int read(unsigned fifo, void *buf, size_t n, int pid = kReaderPid);

    // The reader process: while reading, it takes what the FIFO holds as
    // soon as the Linux side gets the processor, `chunk` bytes with each
    // read() while that many are there (at most kMaxReadChunk); it holds the FIFO open only during
    // those reads.  While another process holds the FIFO open, its reads are
    // refused and it gets nothing.  None reads until one is started.
    void start_reader(unsigned fifo, size_t chunk, int pid = kReaderPid);
    void stop_reader() { reading_ = false; }
    // Each read() of the reader goes to the sink, or else to received().
    void set_reader_sink(std::function<void(hrtime, const unsigned char *, size_t)> sink)
    {
        sink_ = std::move(sink);
    }
    const std::vector<FifoRead> &received() const { return received_; }

    // The module's use count that open FIFOs hold.
    int module_use_count() const { return use_count_; }

    // ---- for the machine ----

    // The Linux side has the processor between two things it does: the
    // reader reads, and writes that wait go on.
    void run()
    {
        drain_reader();
        resume_writers();
    }
    // The module's FIFOs are gone: so are the writes to them and the use
    // count they held.
    void forget_module_fifos();
    // Every process ends (the machine's end): their FIFOs close.
    void exit_all();

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

    // What an open and a close that are let through do.
    void opened(RtFifos::Fifo &f, int pid)
    {
        f.opener = pid;
        ++f.open_count;
        if (f.creator)
            ++use_count_;
    }
    void closed(RtFifos::Fifo &f)
    {
        --f.open_count;
        if (f.creator)
            --use_count_;
    }
    void drain_reader();
    bool advance_write(LinuxWrite &w);
    int finish_write(LinuxWrite &w);
    void resume_writers();
    void run_fifo_handler(unsigned fifo, int *result);

    Processor &cpu_;
    RtFifos &fifos_;
    std::deque<LinuxWrite> writes_;
    std::function<void(int, unsigned, int)> write_observer_;
    int use_count_ = 0;

    bool reading_ = false;
    unsigned reader_fifo_ = 0;
    RtFifos::Fifo *reader_ = nullptr;  // fifos_.at(reader_fifo_)
    size_t reader_chunk_ = 1;
    int reader_pid_ = kReaderPid;
    std::function<void(hrtime, const unsigned char *, size_t)> sink_;
    std::vector<FifoRead> received_;
};

}  // namespace rtlsim

#endif
