#include "bus/io_permissions.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace bench {

void IoPermissions::reset()
{
    granted_.reset();
    refused_.reset();
    privileged_ = true;
    refusal_errno_ = EPERM;
    calls_.clear();
    policy_ = ViolationPolicy::Kill;
    violations_.clear();
}

void IoPermissions::set_privileged(bool privileged, int refusal_errno)
{
    privileged_ = privileged;
    refusal_errno_ = refusal_errno;
}

void IoPermissions::refuse_range(std::uint16_t first, unsigned count)
{
    for (unsigned p = first; p < first + count && p < 65536; ++p)
        refused_[p] = true;
}

// ioperm(2) as Linux implements it: EINVAL for an empty range or one past the
// 65536 ports; turning access on needs the privilege (refusal_errno
// otherwise) and is refused for ranges the kernel never grants; turning it
// off is allowed to anyone, except where the call does not exist at all
// (ENOSYS), where it fails like every other call.
int IoPermissions::permission(unsigned long from, unsigned long num, int turn_on)
{
    int result = 0;
    int err = 0;
    if (from + num <= from || from + num > 65536) {
        result = -1;
        err = EINVAL;
    } else if (!privileged_ && (turn_on || refusal_errno_ == ENOSYS)) {
        result = -1;
        err = refusal_errno_;
    } else if (turn_on) {
        for (unsigned long p = from; p < from + num; ++p)
            if (refused_[p]) {
                result = -1;
                err = EPERM;
            }
    }
    if (result == 0)
        for (unsigned long p = from; p < from + num; ++p)
            granted_[p] = turn_on != 0;
    calls_.push_back({from, num, turn_on, result, err});
    if (result != 0)
        errno = err;
    return result;
}

bool IoPermissions::refuse(std::uint16_t port, unsigned width)
{
    std::fprintf(stderr, "bench: FAULT: %u-bit access to port 0x%X without I/O permission\n", width,
                 static_cast<unsigned>(port));
    violations_.push_back(port);
    if (policy_ == ViolationPolicy::Kill) {
        std::fflush(stderr);
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
        std::abort();
    }
    return false;
}

} // namespace bench
