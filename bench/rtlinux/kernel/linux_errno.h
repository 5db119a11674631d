// Linux's error numbers as the module sees them (the host's <cerrno> has the
// same values on x86, but the emulation does not rely on that).
#ifndef RTLSIM_KERNEL_LINUX_ERRNO_H
#define RTLSIM_KERNEL_LINUX_ERRNO_H

namespace rtlsim {
namespace lx {

constexpr int kEnoent = 2;
constexpr int kEsrch = 3;
constexpr int kEintr = 4;
constexpr int kEbadf = 9;
constexpr int kEacces = 13;
constexpr int kEbusy = 16;
constexpr int kEnodev = 19;
constexpr int kEinval = 22;
constexpr int kEnospc = 28;

}  // namespace lx
}  // namespace rtlsim

#endif
