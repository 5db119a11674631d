// The kernel log that printk writes to (what dmesg shows).
#ifndef RTLSIM_KERNEL_KLOG_H
#define RTLSIM_KERNEL_KLOG_H

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace rtlsim {

class KernelLog {
public:
    // printk: formats into a 1024-byte buffer, as the kernel does, and
    // returns the length kept.
    int vprint(const char *fmt, va_list ap)
    {
        char buf[1024];
        int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
        if (n < 0)
            return 0;
        size_t len = std::min(static_cast<size_t>(n), sizeof buf - 1);
        text_.append(buf, len);
        return static_cast<int>(len);
    }
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

}  // namespace rtlsim

#endif
