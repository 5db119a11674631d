// psload-sim: psload run against the simulated FPGA bench.
//
// The same command line, phases and output as psload; the port seam goes to
// the bench's I/O bus, where a parallel port with the configuration cable,
// a passive-serial FPGA and the delay port are mapped.  Leading --sim-...
// arguments set up the bench (see sim_options.h) and are taken away before
// psload sees its arguments; whatever the bench has to say goes to the files
// those options name, never to psload's standard output or error.
//
// By default the device needs exactly the bits of the data file named on
// the command line (its last argument), counted here independently of
// psload's loader.
#include "boards/fpga_bench.h"
#include "bus/io_bus.h"
#include "sims/psload/sim_options.h"
#include "sims/psload/sim_recorder.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int psload_main(int argc, char **argv);

namespace {

struct Session {
    bench::SimOptions options;
    bench::FpgaBench *bench = nullptr;
    bench::SimRecorder *recorder = nullptr;
    bool signal_sent = false;
};

// Lives until the process ends (psload may end it with exit()); never freed.
Session *session = nullptr;

void finish_records()
{
    if (session && session->recorder)
        session->recorder->finish();
}

void send_signal(std::uint64_t accesses, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (s->signal_sent || accesses != s->options.signal_after)
        return;
    s->signal_sent = true;
    std::raise(s->options.signal);
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

    if (!opts.bits_given && psload_argc > 1) {
        long long values = bench::ttf_value_count(args[psload_argc - 1]);
        opts.bench.fpga.config_bits = values > 0 ? 8ULL * static_cast<unsigned long long>(values) : 0;
    }

    bench::IoBus &io = bench::io();
    io.reset();
    io.set_violation_policy(bench::ViolationPolicy::Kill);
    if (opts.unprivileged)
        io.set_privileged(false, opts.refusal_errno);
    for (const auto &r : opts.refused)
        io.refuse_range(r.first, r.second);

    session->bench = new bench::FpgaBench(io, opts.bench);
    if (!opts.trace_file.empty() || !opts.report_file.empty() || !opts.received_file.empty()) {
        session->recorder =
            new bench::SimRecorder(*session->bench, opts.trace_file, opts.report_file, opts.received_file);
        io.set_observer(session->recorder);
        std::atexit(finish_records);
    }
    if (opts.signal != 0)
        io.set_access_hook(send_signal, session);

    return psload_main(psload_argc, args.data());
}
