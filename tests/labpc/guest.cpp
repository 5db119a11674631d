#include "guest.h"

#include "run.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace labpc {

namespace {

bool write_file(const std::string &path, const std::string &content, mode_t mode)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fclose(f) == 0 && ok;
    return ok && chmod(path.c_str(), mode) == 0;
}

} // namespace

std::string env_or(const char *name, const std::string &fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string platform_dir()
{
    return env_or("LABTOOLS_PLATFORM_DIR", LABPC_PLATFORM);
}

std::string kernel_path()
{
    return platform_dir() + "/linux-2.4-kernel/bzImage-2.4.37.11-i386";
}

std::string modules_kernel_path()
{
    return platform_dir() + "/linux-2.4.18-rh/bzImage-2.4.18-14custom";
}

std::vector<GuestRun> parse_results(const std::string &bytes, const std::vector<std::string> &commands,
                                    std::string &failure)
{
    std::vector<std::string> runnable;
    for (const auto &c : commands)
        if (c.rfind("mark ", 0) != 0)
            runnable.push_back(c);
    std::vector<GuestRun> runs;
    size_t pos = 0;
    auto line = [&]() {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) {
            pos = bytes.size();
            return std::string("@truncated");
        }
        std::string l = bytes.substr(pos, end - pos);
        pos = end + 1;
        return l;
    };
    auto block = [&](const std::string &tag) {
        std::string head = line();
        if (head.rfind("@" + tag + " ", 0) != 0) {
            failure = "expected @" + tag + ", got " + head;
            return std::string();
        }
        size_t n = std::stoul(head.substr(tag.size() + 2));
        std::string data = bytes.substr(pos, n);
        pos += n;
        return data;
    };
    for (;;) {
        std::string head = line();
        if (head == "@done")
            return runs;
        if (head.rfind("@run ", 0) != 0) {
            failure = "guest results end early (" + head + ") after " + std::to_string(runs.size()) + " runs";
            return runs;
        }
        GuestRun r;
        r.out = block("out");
        r.err = block("err");
        std::string st = line();
        if (!failure.empty())
            return runs;
        r.status = st.rfind("@status ", 0) == 0 ? st.substr(8) : st;
        if (runs.size() < runnable.size())
            r.command = runnable[runs.size()];
        runs.push_back(r);
    }
}

GuestBoot boot_guest(const GuestPlan &plan, const std::string &work)
{
    GuestBoot boot;
    const std::string script = LABPC_GUEST_SCRIPT;
    std::string root = work + "/root";
    mkdir(root.c_str(), 0755);
    std::string commands;
    for (const auto &c : plan.commands)
        commands += c + "\n";
    if (!write_file(root + "/init", testutil::read_file(plan.init), 0755) ||
        !write_file(root + "/commands", commands, 0644)) {
        boot.failure = "cannot write the RAM disk's files in " + root;
        return boot;
    }
    for (const auto &f : plan.files)
        if (!write_file(root + "/" + f.first, testutil::read_file(f.second), 0755)) {
            boot.failure = "cannot write " + f.first;
            return boot;
        }
    for (const auto &f : plan.data)
        if (!write_file(root + "/" + f.first, f.second, 0644)) {
            boot.failure = "cannot write " + f.first;
            return boot;
        }

    std::string image = work + "/rd.img";
    std::vector<std::string> image_args = {"bash", script, "image", root, image};
    if (!plan.nodes.empty()) {
        std::string nodes;
        for (const auto &n : plan.nodes)
            nodes += n + "\n";
        if (!write_file(work + "/nodes.txt", nodes, 0644)) {
            boot.failure = "cannot write " + work + "/nodes.txt";
            return boot;
        }
        image_args.push_back(work + "/nodes.txt");
    }
    testutil::RunResult r = testutil::run_program("/bin/bash", image_args);
    if (r.exit_code == 77) {
        boot.skip = r.err;
        return boot;
    }
    if (r.exit_code != 0) {
        boot.failure = "the RAM disk was not made: " + r.err;
        return boot;
    }

    std::string console = work + "/console.txt";
    std::string results = work + "/results.bin";
    std::vector<std::string> argv = {"env", "LABPC_KERNEL=" + (plan.kernel.empty() ? kernel_path() : plan.kernel)};
    argv.insert(argv.end(), plan.env.begin(), plan.env.end());
    argv.insert(argv.end(), {"bash", script, "boot", image, console, results});
    argv.insert(argv.end(), plan.qemu_args.begin(), plan.qemu_args.end());
    auto start = std::chrono::steady_clock::now();
    r = testutil::run_program("/usr/bin/env", argv);
    boot.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    boot.console = testutil::read_file(console);
    if (r.exit_code == 77) {
        boot.skip = r.err;
        return boot;
    }
    if (r.exit_code != 0) {
        boot.failure = "qemu-system-i386 ended with status " + std::to_string(r.exit_code) + ": " + r.err;
        return boot;
    }
    boot.runs = parse_results(testutil::read_file(results), plan.commands, boot.failure);
    return boot;
}

} // namespace labpc
