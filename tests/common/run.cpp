#include "run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

RunResult run_program(const std::string &path, const std::vector<std::string> &argv, const std::string &cwd)
{
    int out_pipe[2];
    int err_pipe[2];
    int exec_pipe[2];  // carries the errno of a failed exec; closed by a good one
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe2(exec_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execv(path.c_str(), args.data());
        int e = errno;
        if (write(exec_pipe[1], &e, sizeof e) != static_cast<ssize_t>(sizeof e)) {
            // the parent then sees a plain exit status 127
        }
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(exec_pipe[1]);

    RunResult r;
    int e = 0;
    if (read(exec_pipe[0], &e, sizeof e) == static_cast<ssize_t>(sizeof e))
        r.exec_error = e;
    close(exec_pipe[0]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    char buf[65536];
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        r.exit_code = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    return r;
}

namespace {

enum class Way { unknown, native, qemu, none };

struct I386Runner {
    Way way = Way::unknown;
    std::string qemu;  // path of qemu-i386 when way == qemu
    std::string why;   // when way == none
};

I386Runner &runner()
{
    static I386Runner r;
    return r;
}

std::string find_in_path(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (access(full.c_str(), X_OK) == 0)
            return full;
        start = end + 1;
    }
    return "";
}

// The program ran under qemu-i386: qemu itself found and loaded it (its own
// complaints begin with its name) and nothing killed it.
bool ran_under_qemu(const RunResult &r)
{
    return r.exec_error == 0 && r.signal == 0 && r.err.rfind("qemu-i386:", 0) != 0;
}

void decide(const std::string &program)
{
    I386Runner &r = runner();
    const char *forced = std::getenv("LABTOOLS_I386");
    std::string mode = forced && *forced ? forced : "auto";
    if (mode != "auto" && mode != "native" && mode != "qemu")
        throw std::runtime_error("LABTOOLS_I386=" + mode + " is none of native, qemu, auto");
    // The probe runs the program without arguments: every one of our
    // programs answers that with its usage text and touches nothing.
    std::string name = program.substr(program.rfind('/') + 1);
    if (mode != "qemu") {
        RunResult probe = run_program(program, {name});
        if (probe.exec_error == 0) {
            r.way = Way::native;
            return;
        }
        if (probe.exec_error != ENOEXEC || mode == "native") {
            r.way = Way::none;
            r.why = "cannot execute " + program + " natively: " + std::strerror(probe.exec_error);
            return;
        }
    }
    r.qemu = find_in_path("qemu-i386");
    if (r.qemu.empty()) {
        r.way = Way::none;
        r.why = mode == "qemu" ? "LABTOOLS_I386=qemu, but there is no qemu-i386 (Debian package qemu-user)"
                               : "this kernel does not execute i386 programs and there is no qemu-i386 "
                                 "(Debian package qemu-user) to emulate them";
        return;
    }
    RunResult probe = run_program(r.qemu, {"qemu-i386", program});
    if (!ran_under_qemu(probe)) {
        r.way = Way::none;
        r.why = "qemu-i386 cannot run " + program + ": " +
                (probe.err.empty() ? "ended by signal " + std::to_string(probe.signal) : probe.err);
        return;
    }
    r.way = Way::qemu;
}

} // namespace

std::string i386_skip_reason(const std::string &program)
{
    if (program.empty())
        return "no 32-bit x86 build of this program (no 32-bit toolchain here)";
    if (runner().way == Way::unknown)
        decide(program);
    return runner().way == Way::none ? runner().why : "";
}

std::string i386_way()
{
    switch (runner().way) {
    case Way::native:
        return "native";
    case Way::qemu:
        return "qemu-i386";
    default:
        return "";
    }
}

RunResult run_i386(const std::string &path, const std::vector<std::string> &argv, const std::string &cwd)
{
    std::string why = i386_skip_reason(path);
    if (!why.empty())
        throw std::runtime_error("run_i386: " + why);
    if (runner().way == Way::native)
        return run_program(path, argv, cwd);
    // qemu-i386 -0 ARGV0 gives the program the argv[0] the caller chose.
    std::vector<std::string> q = {"qemu-i386", "-0", argv.empty() ? path : argv[0], path};
    if (!argv.empty())
        q.insert(q.end(), argv.begin() + 1, argv.end());
    return run_program(runner().qemu, q, cwd);
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/labtools-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
        // nothing useful to do in a destructor
    }
}

std::string TempDir::write(const std::string &name, const std::string &content) const
{
    std::string full = path_ + "/" + name;
    std::ofstream f(full, std::ios::binary);
    f << content;
    if (!f)
        throw std::runtime_error("cannot write " + full);
    return full;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string report_value(const std::string &report, const std::string &key)
{
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + " ", 0) == 0)
            return line.substr(key.size() + 1);
    return "(missing)";
}

} // namespace testutil
