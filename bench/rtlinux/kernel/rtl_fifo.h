// RTLinux's real-time FIFOs (rtl_fifo.c): 64 byte queues between the
// real-time side and Linux processes (/dev/rtf0 .. /dev/rtf63).  This class
// holds the queues and answers the module's calls (rtf_create, rtf_destroy,
// rtf_create_handler, rtf_get, rtf_put); the Linux processes' side (open,
// read, write, the handler run after them) is the machine's
// (linux_procs.cpp), which reaches the queues with at().
#ifndef RTLSIM_KERNEL_RTL_FIFO_H
#define RTLSIM_KERNEL_RTL_FIFO_H

#include "rtlinux/abi/platform_api.h"

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace rtlsim {

class RtFifos {
public:
    static constexpr unsigned kCount = 64;
    using ComplaintSink = std::function<void(const std::string &)>;

    struct Fifo {
        bool exists = false;
        std::vector<unsigned char> ring;
        size_t head = 0;
        size_t used = 0;
        api::FifoHandler handler = nullptr;
        const struct module *creator = nullptr;
        int open_count = 0;  // opens by Linux processes, all by `opener`
        int opener = 0;
        size_t room() const { return ring.size() - used; }
        void push(const unsigned char *p, size_t n);
        size_t pop(unsigned char *p, size_t n);
    };

    void set_complaint_sink(ComplaintSink sink) { complain_ = std::move(sink); }

    // The module's calls; results as the platform returns them.  `context`
    // names who calls rtf_put, for the complaint about a missing FIFO.
    int create(unsigned fifo, int size, const struct module *creator);
    int destroy(unsigned fifo);
    int set_handler(unsigned fifo, api::FifoHandler handler);
    int get(unsigned fifo, void *buf, int count);
    int put(unsigned fifo, const void *buf, int count, const char *context);

    bool exists(unsigned fifo) const { return fifo < kCount && fifos_[fifo].exists; }
    Fifo &at(unsigned fifo) { return fifos_[fifo]; }
    const Fifo &at(unsigned fifo) const { return fifos_[fifo]; }
    long refused(unsigned fifo) const { return fifo < kCount ? refused_[fifo] : 0; }
    // Of a FIFO that exists (nothing of one that does not): a handler is
    // installed, bytes queued, how many times Linux processes hold it open
    // and which one (0: none).
    bool has_handler(unsigned fifo) const { return exists(fifo) && fifos_[fifo].handler != nullptr; }
    size_t used(unsigned fifo) const { return exists(fifo) ? fifos_[fifo].used : 0; }
    int open_count(unsigned fifo) const { return exists(fifo) ? fifos_[fifo].open_count : 0; }
    int opener(unsigned fifo) const { return open_count(fifo) > 0 ? fifos_[fifo].opener : 0; }

    // The module's FIFOs and handlers, and taking them all away.
    std::vector<std::string> module_leftovers() const;
    void remove_all();

private:
    void complain(const std::string &what);

    std::array<Fifo, kCount> fifos_;
    std::array<long, kCount> refused_{};  // puts refused for lack of room, kept across destroy / create
    ComplaintSink complain_;
};

}  // namespace rtlsim

#endif
