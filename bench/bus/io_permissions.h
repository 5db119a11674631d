// A process's permission to use I/O ports, as the Linux kernel and the x86
// processor enforce it: ioperm() sets bits in the task's I/O bitmap, and
// the processor faults on an access to a port whose bit is not set.
#ifndef BENCH_BUS_IO_PERMISSIONS_H
#define BENCH_BUS_IO_PERMISSIONS_H

#include "bus/bus_trace.h"

#include <bitset>
#include <cstdint>
#include <vector>

namespace bench {

// What happens when a program touches a port it holds no permission for.
enum class ViolationPolicy {
    Kill,    // report on stderr and end the process with SIGSEGV, as the CPU would
    Record,  // report on stderr, count it, carry on (in-process tests)
};

class IoPermissions {
public:
    // Back to a privileged process holding no ports, no refused ranges, no
    // record, policy Kill.
    void reset();

    // Kernel side of ioperm().  An unprivileged process is refused access
    // with refusal_errno.  With EPERM (a kernel with ioperm, no CAP_SYS_RAWIO)
    // giving up access still succeeds, as Linux lets anyone drop its ports;
    // with ENOSYS (a kernel or sandbox without ioperm) every call fails.
    void set_privileged(bool privileged, int refusal_errno = 1 /* EPERM */);
    void refuse_range(std::uint16_t first, unsigned count);  // never granted, even to root
    // Sets errno on failure, like the system call.
    int permission(unsigned long from, unsigned long num, int turn_on);
    bool permitted(std::uint16_t port) const { return granted_[port]; }
    bool any_permitted() const { return granted_.any(); }
    const std::vector<PermissionCall> &calls() const { return calls_; }

    // The processor's check of one access (width 8 or 16 bits).  A refused
    // access is reported on stderr and recorded; under ViolationPolicy::Kill
    // the process then ends with SIGSEGV.
    bool check(std::uint16_t port, unsigned width)
    {
        // A word access at the last port would need port 0x10000, which no
        // one can be granted.
        if (granted_[port] && (width == 8 || (port != 0xFFFF && granted_[port + 1])))
            return true;
        return refuse(port, width);
    }
    void set_violation_policy(ViolationPolicy p) { policy_ = p; }
    const std::vector<std::uint16_t> &violations() const { return violations_; }

private:
    // The fault of an access check() did not allow; false unless it ends the
    // process.
    bool refuse(std::uint16_t port, unsigned width);

    std::bitset<65536> granted_;
    std::bitset<65536> refused_;
    bool privileged_ = true;
    int refusal_errno_ = 1;
    std::vector<PermissionCall> calls_;
    ViolationPolicy policy_ = ViolationPolicy::Kill;
    std::vector<std::uint16_t> violations_;
};

} // namespace bench

#endif
