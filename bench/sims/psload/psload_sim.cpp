// psload-sim: psload run against the simulated FPGA bench.
//
// The same command line, phases and output as psload; the port seam goes to
// the bench's I/O bus, where a parallel port with the configuration cable,
// a passive-serial FPGA and the delay port are mapped.  --sim-... arguments
// before the data file set up the bench (see sim_options.h) and are taken
// away before psload sees its arguments; whatever the bench has to say goes to the files
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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
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
    bool design_not_held = false;  // no room for the design: the device counts bits
    std::string long_run;          // the line about a long download, if it is one
};

// Lives until the process ends (psload may end it with exit()); never freed.
Session *session = nullptr;

// At the process's end, whoever ends it (psload calls exit()): the records
// are completed, and a record that could not be written turns the status
// into the bench's error, after psload's own output has gone out.
void finish_records()
{
    if (!session || !session->recorder)
        return;
    session->recorder->end();
    if (!session->recorder->error().empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "psload-sim: %s\n", session->recorder->error().c_str());
        std::fflush(stderr);
        _exit(bench::kFrontEndError);
    }
}

// After a port access, when the run needs it: the line about a long
// download at the first access, and the signal of --sim-signal.
void after_access(std::uint64_t accesses, void *ctx)
{
    auto *s = static_cast<Session *>(ctx);
    if (accesses == 1 && !s->long_run.empty()) {
        std::fputs(s->long_run.c_str(), stderr);
        std::fflush(stderr);
    }
    if (s->options.signal == 0 || s->signal_sent || accesses != s->options.signal_after)
        return;
    s->signal_sent = true;
    std::raise(s->options.signal);
}

// psload copies a data file that is a stream up to 32 MB, and refuses a
// longer one as a file it cannot open.  The bench reads no more of it.
constexpr std::size_t kStreamLimit = 32u * 1024 * 1024;

// A data file that is a pipe or a FIFO (psload-sim -v <(zcat f.ttf.gz))
// can be read once only.  The bench reads it for the design and then hands
// the same bytes back on the same path, from a thread that writes them into
// the pipe while psload reads: psload still meets a pipe, as it would
// without the bench.  (Opening a pipe's /dev/fd/N for writing reaches the
// same pipe.)
struct Stream {
    std::string bytes;
    bool over_limit = false;  // more than psload takes: read no further
    int early = -1;           // the pipe's write end, opened at once
};

// Reads the stream at path, up to one byte past psload's limit.  False when
// the path is no pipe or cannot be read.
bool read_stream_once(const std::string &path, Stream &s)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return false;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    char buf[65536];
    while (s.bytes.size() <= kStreamLimit) {
        std::size_t room = std::min(sizeof buf, kStreamLimit + 1 - s.bytes.size());
        ssize_t n = read(fd, buf, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        s.bytes.append(buf, static_cast<std::size_t>(n));
    }
    s.over_limit = s.bytes.size() > kStreamLimit;
    close(fd);
    // A pipe's /dev/fd/N opens for writing at once (we still hold its read
    // end): open it here, so that psload never finds the pipe without a
    // writer (that would be its end).  A named FIFO waits for psload to
    // open it for reading: the thread opens that one.
    s.early = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (s.early >= 0)
        fcntl(s.early, F_SETFL, fcntl(s.early, F_GETFL) & ~O_NONBLOCK);
    return true;
}

// Writes what was read back into the stream for psload.  A stream over the
// limit gets back what the bench took of it, so that psload still finds
// more than it takes, whatever the writer sends after it.
void hand_back(const std::string &path, Stream &s)
{
    auto bytes = std::make_shared<std::string>(std::move(s.bytes));
    int early = s.early;
    std::thread([path, bytes, early] {
        int w = early >= 0 ? early : open(path.c_str(), O_WRONLY);
        if (w < 0)
            return;
        std::size_t done = 0;
        while (done < bytes->size()) {
            ssize_t k = write(w, bytes->data() + done, bytes->size() - done);
            if (k < 0 && errno == EINTR)
                continue;
            if (k <= 0)
                break;
            done += static_cast<std::size_t>(k);
        }
        close(w);
    }).detach();
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The values in TTF text as the bench's reader counts them: none in a text
// of blanks only, else one more than the commas.
struct FieldCount {
    std::uint64_t commas = 0;
    bool any = false;
    void add(const char *p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i) {
            commas += p[i] == ',';
            any = any || !is_blank(p[i]);
        }
    }
    std::uint64_t fields() const { return any ? commas + 1 : 0; }
};

// Counts a file's values (or, raw, its bytes) without holding it.  False
// when it cannot be read (its reader then says so).
bool count_file(const std::string &path, bool raw, std::uint64_t &fields, std::uint64_t &size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    FieldCount count;
    char buf[65536];
    size = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            if (n < 0)
                return false;
            break;
        }
        size += static_cast<std::uint64_t>(n);
        if (!raw)
            count.add(buf, static_cast<std::size_t>(n));
    }
    fields = raw ? size : count.fields();
    return true;
}

// Whether the process has room for the bench's copy of a design of fields
// values read from a text of text_bytes, as well as for psload's own bit
// image of it (one byte a bit).  The bench keeps the design with the
// device's settings, the board's and the device's (a few bytes a value,
// three times); under a memory limit (ulimit -v) that must not be what runs
// out, so that psload meets the limit where it would alone.
bool design_fits(std::uint64_t fields, std::uint64_t text_bytes)
{
    const std::uint64_t need =
        text_bytes + fields * (3 * sizeof(bench::DesignByte) + 8) + (std::uint64_t{16} << 20);
    if (need > SIZE_MAX / 2)
        return false;
    void *volatile probe = std::malloc(static_cast<std::size_t>(need));
    if (probe == nullptr)
        return false;
    std::free(probe);
    return true;
}

// The design the device accepts.  When there is no room for it, the
// device only counts its bits (as with --sim-bits): not_held is then set,
// and config_bits says how many.
bench::Design design_of(const bench::SimOptions &opts, const std::string &data_file, bool &ok, bool &not_held,
                        std::uint64_t &config_bits)
{
    not_held = false;
    std::uint64_t fields = 0, size = 0;
    if (!opts.design_file.empty()) {
        if (count_file(opts.design_file, opts.design_raw, fields, size) && !design_fits(fields, size)) {
            not_held = ok = true;
            config_bits = 8 * fields;
            return bench::Design();
        }
        return opts.design_raw ? bench::design_from_raw_file(opts.design_file, ok)
                               : bench::design_from_ttf_file(opts.design_file, ok);
    }
    ok = true;  // psload itself tells about a data file it cannot read
    Stream stream;
    if (read_stream_once(data_file, stream)) {
        bench::Design d;
        if (!stream.over_limit) {
            FieldCount count;
            count.add(stream.bytes.data(), stream.bytes.size());
            if (design_fits(count.fields(), 0)) {
                d = bench::design_from_ttf_text(stream.bytes);
            } else {
                not_held = true;
                config_bits = 8 * count.fields();
            }
        }
        hand_back(data_file, stream);
        return d;
    }
    // A directory or a device is psload's to refuse (and /dev/zero has no
    // end): the bench reads only regular files.
    struct stat st;
    if (stat(data_file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return bench::Design();
    if (count_file(data_file, false, fields, size) && !design_fits(fields, size)) {
        not_held = true;
        config_bits = 8 * fields;
        return bench::Design();
    }
    bool read_ok = false;
    return bench::design_from_ttf_file(data_file, read_ok);
}

// psload's -w as its option loop reads it (strtol, clamped to int); the
// last one counts.  args: psload's own words.
int wait_count_of(const std::vector<char *> &args)
{
    int w = 0;
    for (std::size_t k = 1; k + 1 < args.size() && args[k] && args[k][0] == '-'; ++k) {
        const char *word = args[k];
        const bool value = word[1] == 'd' || word[1] == 'p' || word[1] == 'w' ||
                           (word[1] == 'm' && (word[2] == 'd' || word[2] == 'f'));
        if (!value)
            continue;
        if (word[1] == 'w' && args[k + 1]) {
            long v = std::strtol(args[k + 1], nullptr, 10);
            w = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
        }
        ++k;
    }
    return w;
}

// "1 h 05 min", "3.2 days": a long simulated time, for people.
std::string duration_text(double seconds)
{
    char text[64];
    if (seconds < 3600)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
    else if (seconds < 86400)
        std::snprintf(text, sizeof text, "%d h %02d min", static_cast<int>(seconds / 3600),
                      static_cast<int>(seconds / 60) % 60);
    else if (seconds < 365.25 * 86400)
        std::snprintf(text, sizeof text, "%.1f days", seconds / 86400);
    else
        std::snprintf(text, sizeof text, "%.1f years", seconds / (365.25 * 86400));
    return text;
}

// For a download that takes more than a minute of simulated time (a large
// -w), one line on standard error at psload's first port access, before its
// first clock, saying how long: psload itself says nothing, and the bench
// would seem to hang.  Each bit is a clock of three port accesses and
// 2 x -w delay writes.  Empty for a shorter one.
std::string long_run_line(const bench::SimOptions &opts, std::uint64_t bits, int wait_count)
{
    const double w = wait_count > 0 ? wait_count : 0;
    const double per_bit = 3.0 * static_cast<double>(opts.bench.port_access_ns) +
                           2.0 * w * static_cast<double>(opts.bench.delay_write_ns);
    const double seconds = static_cast<double>(bits) * per_bit / 1e9;
    if (seconds <= 60)
        return "";
    char line[160];
    std::snprintf(line, sizeof line, "psload-sim: this download takes about %s of simulated time (%llu bits at -w %d)\n",
                  duration_text(seconds).c_str(), static_cast<unsigned long long>(bits), wait_count);
    return line;
}

} // namespace

int main(int argc, char **argv)
{
    session = new Session;
    bench::SimOptions &opts = session->options;
    std::string error;
    std::vector<char *> args;
    if (!bench::split_sim_command_line(argc, argv, opts, args, error))
        return bench::front_end_error("psload-sim", error);
    if (opts.help)
        return bench::print_text("psload-sim", bench::sim_options_help());
    if (opts.version)
        return bench::print_text("psload-sim", bench::version_text("psload-sim"));
    int psload_argc = static_cast<int>(args.size());
    args.push_back(nullptr);

    if (!bench::check_sim_options(opts, error))
        return bench::front_end_error("psload-sim", error);
    bench::resolve_timing(opts);
    const int wait_count = wait_count_of(args);
    if (!opts.bits_given && (psload_argc > 1 || !opts.design_file.empty())) {
        bool ok = false;
        std::uint64_t counted_bits = 0;
        opts.bench.fpga.design =
            design_of(opts, psload_argc > 1 ? args[psload_argc - 1] : "", ok, session->design_not_held, counted_bits);
        if (!ok)
            return bench::front_end_error("psload-sim", "cannot read the design " + opts.design_file + ": " +
                                                            std::strerror(errno));
        opts.bench.fpga.config_bits =
            session->design_not_held ? counted_bits : 8ULL * opts.bench.fpga.design.size();
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
        if (!session->recorder->error().empty())
            return bench::front_end_error("psload-sim", session->recorder->error());
        if (session->design_not_held)
            session->recorder->set_design_not_held();
        if (opts.timing_report())
            session->recorder->set_timing_section(wait_count);
        if (!opts.vcd_file.empty()) {
            int fd = open(opts.vcd_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                return bench::front_end_error("psload-sim", bench::write_error(opts.vcd_file, errno));
            session->recorder->set_waveform(new bench::CableWaveform(*session->bench, fd, opts.vcd_window, opts.vcd_registers), opts.vcd_file);
        }
        io.set_observer(session->recorder);
        std::atexit(finish_records);
    }
    session->long_run = long_run_line(opts, opts.bench.fpga.config_bits, wait_count);
    if (opts.signal != 0 || !session->long_run.empty())
        io.set_access_hook(after_access, session);

    return psload_main(psload_argc, args.data());
}
