// A test guest on the lab PC's kernel, booted by tools/labpc-guest: the RAM
// disk's files, the commands its /init runs, and what came back.
#ifndef TESTS_LABPC_GUEST_H
#define TESTS_LABPC_GUEST_H

#include <string>
#include <utility>
#include <vector>

namespace labpc {

struct GuestRun {
    std::string command;
    std::string out, err, status;  // status: "exit N" or "signal N"
};

struct GuestPlan {
    std::string init;                                       // the static /init
    std::vector<std::pair<std::string, std::string>> files; // name in / -> file here (mode 0755)
    std::vector<std::pair<std::string, std::string>> data;  // name in / -> contents (mode 0644)
    std::vector<std::string> commands;                      // lines of /commands ("mark N" lines run nothing)
    std::vector<std::string> qemu_args;                     // added to the boot
    std::vector<std::string> env;                           // NAME=VALUE for QEMU's environment
    std::string kernel;                                     // empty: kernel_path()
    std::vector<std::string> nodes;                         // more /dev nodes: "NAME c MAJOR MINOR MODE"
};

struct GuestBoot {
    std::string skip;      // non-empty: why not booted
    std::string failure;   // non-empty: the boot went wrong
    std::vector<GuestRun> runs;
    std::string console;   // the kernel's console
    double seconds = 0;    // wall time of the boot, all commands included
};

// NAME's value in the environment where it is set and not empty, else
// FALLBACK.
std::string env_or(const char *name, const std::string &fallback);

// The platform folder: the build's (LABTOOLS_PLATFORM_DIR at configure
// time), or another one named by LABTOOLS_PLATFORM_DIR in the environment
// (platform_fetch boots the kernels of a freshly fetched folder).
std::string platform_dir();

// The lab PC's kernel in the platform folder.
std::string kernel_path();

// The Linux 2.4.18 kernel with loadable modules in the platform folder.
std::string modules_kernel_path();

// Builds the RAM disk in work (a directory) and boots it.
GuestBoot boot_guest(const GuestPlan &plan, const std::string &work);

// The records /init sent, one per command that ran (the "mark" lines
// excluded); commands names them.  A record that is not well formed sets
// failure.
std::vector<GuestRun> parse_results(const std::string &bytes, const std::vector<std::string> &commands,
                                    std::string &failure);

} // namespace labpc

#endif
