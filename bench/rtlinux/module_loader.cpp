// The module loader (insmod, rmmod): the object's kernel version checked
// from its .modinfo (modinfo.cpp), init_module and cleanup_module run on the
// Linux side, the module's use count, and what a failed load or an unload
// must not leave behind, asked of each service and then taken away.
#include "rtlinux/machine.h"
#include "rtlinux/abi/platform_api.h"
#include "rtlinux/abi/platform_binding.h"

#include "rtlinux/kernel/linux_errno.h"

#include <dlfcn.h>

namespace rtlsim {

using namespace lx;

std::vector<std::string> Machine::module_leftovers() const
{
    std::vector<std::string> left = fifos_.module_leftovers();
    for (auto &what : regions_.module_leftovers())
        left.push_back(what);
    for (auto &what : irqs_.module_leftovers())
        left.push_back(what);
    if (sched_.thread_count() > 0)
        left.push_back(std::to_string(sched_.thread_count()) + " real-time thread(s)");
    return left;
}

// After an unload or a failed load nothing may point into the module's code
// any more: whatever it left is reported and taken away.
void Machine::remove_module_resources()
{
    for (const auto &what : module_leftovers())
        cpu_.violation("module left behind: %s", what.c_str());
    fifos_.remove_all();
    procs_.forget_module_fifos();
    regions_.remove_module_regions();
    irqs_.remove_module_handlers();
    sched_.remove_all();
}

int Machine::insmod(const std::string &path)
{
    if (cpu_.obs)
        cpu_.obs->loader(pc_.clock().now(), "insmod " + path);
    int rc = load(path);
    if (cpu_.obs) {
        std::string what = "insmod = " + std::to_string(rc);
        if (!loader_error_.empty())
            what += " (" + loader_error_ + ")";
        cpu_.obs->loader(pc_.clock().now(), what);
    }
    return rc;
}

int Machine::load(const std::string &path)
{
    loader_error_.clear();
    if (dl_) {
        loader_error_ = "a module is already loaded";
        return -kEbusy;
    }
    std::string version;
    for (const auto &item : read_modinfo(path)) {
        if (cpu_.obs)
            cpu_.obs->loader(pc_.clock().now(), "modinfo " + item);
        if (item.rfind("kernel_version=", 0) == 0)
            version = item.substr(15);
    }
    if (version != kKernelRelease) {
        loader_error_ = path + ": kernel-module version mismatch: compiled for \"" + version +
                        "\", this kernel is " + kKernelRelease;
        return -kEinval;
    }
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        const char *e = dlerror();
        loader_error_ = e ? e : "cannot load";
        return -kEinval;
    }
    auto init = reinterpret_cast<int (*)()>(dlsym(dl, "init_module"));
    auto cleanup = reinterpret_cast<void (*)()>(dlsym(dl, "cleanup_module"));
    if (!init || !cleanup) {
        loader_error_ = path + ": no init_module/cleanup_module";
        dlclose(dl);
        return -kEinval;
    }
    dl_ = dl;
    cleanup_ = cleanup;
    // insmod names a module after its object file: echorange.so is "echorange".
    std::string name = path.substr(path.find_last_of('/') + 1);
    api::name_module(name.substr(0, name.find('.')).c_str());
    int rc;
    {
        PlatformBinding bound(ops());
        rc = init();
    }
    linux_entry_done("init_module");
    if (rc != 0) {
        remove_module_resources();
        dl_ = nullptr;
        cleanup_ = nullptr;
        dlclose(dl);
        return rc;
    }
    procs_.run();
    return 0;
}

int Machine::rmmod()
{
    if (cpu_.obs)
        cpu_.obs->loader(pc_.clock().now(), "rmmod");
    int rc = unload();
    if (cpu_.obs) {
        std::string what = "rmmod = " + std::to_string(rc);
        if (!loader_error_.empty())
            what += " (" + loader_error_ + ")";
        cpu_.obs->loader(pc_.clock().now(), what);
    }
    return rc;
}

int Machine::unload()
{
    loader_error_.clear();
    if (!dl_) {
        loader_error_ = "no module loaded";
        return -kEnoent;
    }
    if (procs_.module_use_count() > 0) {
        loader_error_ = "module in use:";
        for (unsigned i = 0; i < RtFifos::kCount; ++i)
            if (fifos_.at(i).open_count > 0 && fifos_.at(i).creator)
                loader_error_ += " /dev/rtf" + std::to_string(i);
        loader_error_ += " open";
        return -kEbusy;
    }
    {
        PlatformBinding bound(ops());
        cleanup_();
    }
    linux_entry_done("cleanup_module");
    remove_module_resources();
    dlclose(dl_);
    dl_ = nullptr;
    cleanup_ = nullptr;
    return 0;
}

void *Machine::module_symbol(const char *name) const
{
    return dl_ ? dlsym(dl_, name) : nullptr;
}

}  // namespace rtlsim
