// The C entry points of the bridge (see ppdev_bridge_c.h).
#include "ppdev_bridge.h"
#include "ppdev_bridge_c.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex open_lock;
// Made at the first open and kept to the end of the process: QEMU may still
// touch the port while it shuts down.
bench::PpdevBridge *bridge = nullptr;
bool open_now = false;

__attribute__((destructor)) void write_records_at_exit()
{
    std::lock_guard<std::mutex> hold(open_lock);
    if (bridge && open_now)
        bridge->close();
}

} // namespace

extern "C" int labtools_ppbridge_open(void)
{
    std::lock_guard<std::mutex> hold(open_lock);
    if (open_now) {
        errno = EBUSY;
        return -1;
    }
    if (!bridge) {
        bench::BridgeSettings settings;
        std::string error;
        if (!bench::bridge_settings_from([](const char *name) { return std::getenv(name); }, settings, error)) {
            std::fprintf(stderr, "ppbridge: %s\n", error.c_str());
            errno = EINVAL;
            return -1;
        }
        bridge = new bench::PpdevBridge(std::move(settings));
    }
    open_now = true;
    return 0;
}

extern "C" int labtools_ppbridge_ioctl(unsigned long request, void *arg)
{
    if (!bridge) {
        errno = EBADF;
        return -1;
    }
    int err = 0;
    int r = bridge->ioctl(request, arg, err);
    if (r != 0)
        errno = err;
    return r;
}

extern "C" void labtools_ppbridge_close(void)
{
    std::lock_guard<std::mutex> hold(open_lock);
    if (bridge && open_now)
        bridge->close();
    open_now = false;
}
