// psload-sim: psload run against the simulated FPGA bench.
//
// The same command line, phases and output as psload; the port seam goes to
// the bench's I/O bus, where a parallel port with the configuration cable,
// a passive-serial FPGA and the delay port are mapped.  Leading --sim-...
// arguments set up the bench (see sim_options.h) and are taken away before
// psload sees its arguments; whatever the bench has to say goes to the files
// those options name, never to psload's standard output or error.
//
// By default the device accepts exactly the design in the data file named
// on the command line (its last argument), read here by the bench's own
// reader, independently of psload's loader.
#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "devices/fpga/design_file.h"
#include "seams/portio_sim.h"
#include "sims/psload/sim_options.h"
#include "sims/psload/sim_recorder.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

int psload_main(int argc, char **argv);

namespace {

struct Session {
    bench::SimOptions options;
    bench::IoBus bus;  // the bench PC's, behind the port seam
    bench::FpgaBench *bench = nullptr;
    bench::SimRecorder *recorder = nullptr;
    bool signal_sent = false;
};

// Lives until the process ends (psload may end it with exit()); never freed.
Session *session = nullptr;

void finish_records()
{
    if (session && session->recorder)
        session->recorder->end();
}

void send_signal(std::uint64_t accesses, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (s->signal_sent || accesses != s->options.signal_after)
        return;
    s->signal_sent = true;
    std::raise(s->options.signal);
}

// A data file that is a pipe or a FIFO (psload-sim -v <(zcat f.ttf.gz))
// can be read once only.  The bench reads it for the design and then hands
// the same bytes back on the same path, from a thread that writes them into
// the pipe while psload reads: psload still meets a pipe, as it would
// without the bench.  (Opening a pipe's /dev/fd/N for writing reaches the
// same pipe.)  False when the path is no pipe or cannot be read.
bool read_stream_once(const std::string &path, std::string &bytes)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return false;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    // A pipe's /dev/fd/N opens for writing at once (we still hold its read
    // end): open it here, so that psload never finds the pipe without a
    // writer (that would be its end).  A named FIFO waits for psload to
    // open it for reading: the thread opens that one.
    int early = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (early >= 0)
        fcntl(early, F_SETFL, fcntl(early, F_GETFL) & ~O_NONBLOCK);
    std::thread([path, bytes, early] {
        int w = early >= 0 ? early : open(path.c_str(), O_WRONLY);
        if (w < 0)
            return;
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t k = write(w, bytes.data() + done, bytes.size() - done);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                break;
            done += static_cast<std::size_t>(k);
        }
        close(w);
    }).detach();
    return true;
}

bench::Design design_of(const bench::SimOptions &opts, const std::string &data_file, bool &ok)
{
    if (!opts.design_file.empty())
        return opts.design_raw ? bench::design_from_raw_file(opts.design_file, ok)
                               : bench::design_from_ttf_file(opts.design_file, ok);
    std::string bytes;
    if (read_stream_once(data_file, bytes)) {
        ok = true;
        return bench::design_from_ttf_text(bytes);
    }
    // A directory or a device is psload's to refuse (and /dev/zero has no
    // end): the bench reads only regular files.
    struct stat st;
    if (stat(data_file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        ok = true;
        return bench::Design();
    }
    bench::Design d = bench::design_from_ttf_file(data_file, ok);
    ok = true;  // psload itself tells about a data file it cannot read
    return d;
}

} // namespace

int main(int argc, char **argv)
{
    session = new Session;
    bench::SimOptions &opts = session->options;
    std::string error;
    int first = bench::parse_sim_options(argc, argv, opts, error);
    if (first < 0) {
        std::fprintf(stderr, "psload-sim: %s\n", error.c_str());
        std::fputs(bench::sim_options_help(), stderr);
        return 2;
    }
    if (opts.help) {
        std::fputs(bench::sim_options_help(), stdout);
        return 0;
    }

    std::vector<char *> args;
    args.push_back(argv[0]);
    for (int k = first; k < argc; ++k)
        args.push_back(argv[k]);
    int psload_argc = static_cast<int>(args.size());
    args.push_back(nullptr);

    if (opts.bits_given && !opts.design_file.empty()) {
        std::fprintf(stderr, "psload-sim: --sim-bits and --sim-design exclude each other\n");
        return 2;
    }
    if (!opts.bits_given && (psload_argc > 1 || !opts.design_file.empty())) {
        bool ok = false;
        opts.bench.fpga.design = design_of(opts, psload_argc > 1 ? args[psload_argc - 1] : "", ok);
        if (!ok) {
            std::fprintf(stderr, "psload-sim: cannot read the design %s\n", opts.design_file.c_str());
            return 2;
        }
        opts.bench.fpga.config_bits = 8ULL * opts.bench.fpga.design.size();
    }

    bench::IoBus &io = session->bus;
    bench::portio_register(&bench::kIoBusPortOps, &io);
    io.permissions().set_violation_policy(bench::ViolationPolicy::Kill);
    if (opts.unprivileged)
        io.permissions().set_privileged(false, opts.refusal_errno);
    for (const auto &r : opts.refused)
        io.permissions().refuse_range(r.first, r.second);

    session->bench = new bench::FpgaBench(io, opts.bench);
    if (!opts.trace_file.empty() || !opts.report_file.empty() || !opts.received_file.empty() ||
        !opts.vcd_file.empty()) {
        session->recorder =
            new bench::SimRecorder(*session->bench, opts.trace_file, opts.report_file, opts.received_file);
        if (!opts.vcd_file.empty()) {
            int fd = open(opts.vcd_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) {
                std::fprintf(stderr, "psload-sim: cannot write %s\n", opts.vcd_file.c_str());
                return 2;
            }
            session->recorder->set_waveform(new bench::CableWaveform(*session->bench, fd, opts.vcd_window, opts.vcd_registers));
        }
        io.set_observer(session->recorder);
        std::atexit(finish_records);
    }
    if (opts.signal != 0)
        io.set_access_hook(send_signal, session);

    return psload_main(psload_argc, args.data());
}
