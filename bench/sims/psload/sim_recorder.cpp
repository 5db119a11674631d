#include "sims/psload/sim_recorder.h"
#include "sims/common/front_end.h"
#include "sims/psload/timing_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace bench {

namespace {

int open_for_writing(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// errno of a write that failed (0: all of it written).
int write_all(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (w == 0)
            return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

const char *state_name(PassiveSerialFpga::State s)
{
    switch (s) {
    case PassiveSerialFpga::State::Reset:
        return "reset";
    case PassiveSerialFpga::State::Clearing:
        return "clearing";
    case PassiveSerialFpga::State::Receiving:
        return "receiving";
    case PassiveSerialFpga::State::Initializing:
        return "initializing";
    case PassiveSerialFpga::State::UserMode:
        return "user-mode";
    case PassiveSerialFpga::State::Error:
        return "error";
    }
    return "?";
}

const char *errno_name(int e)
{
    switch (e) {
    case EPERM:
        return "EPERM";
    case ENOSYS:
        return "ENOSYS";
    case EINVAL:
        return "EINVAL";
    default:
        return "?";
    }
}

} // namespace

SimRecorder::SimRecorder(FpgaBench &bench, std::string trace_file, std::string report_file,
                         std::string received_file)
    : bench_(bench), report_file_(std::move(report_file)), received_file_(std::move(received_file)),
      trace_file_(std::move(trace_file))
{
    whole_us_ = bench_.config().port_access_ns % kMicrosecond == 0 &&
                bench_.config().delay_write_ns % kMicrosecond == 0;
    if (!trace_file_.empty()) {
        trace_fd_ = open_for_writing(trace_file_);
        if (trace_fd_ < 0)
            failed(trace_file_, errno);
    }
    // The report and the received bytes are written when the port is given
    // back; a place where they cannot be written is found out now, before
    // the run, by creating them.
    for (const std::string *path : {&report_file_, &received_file_}) {
        if (path->empty())
            continue;
        int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            failed(*path, errno);
        else
            ::close(fd);
    }
}

void SimRecorder::failed(const std::string &path, int err)
{
    if (error_.empty())
        error_ = write_error(path, err);
}

SimRecorder::~SimRecorder()
{
    flush_trace();
    if (trace_fd_ >= 0)
        ::close(trace_fd_);
}

void SimRecorder::append(const char *text, std::size_t len)
{
    if (trace_fd_ < 0)
        return;
    if (used_ + len > sizeof buf_)
        flush_trace();
    std::memcpy(buf_ + used_, text, len);
    used_ += len;
}

void SimRecorder::flush_trace()
{
    if (trace_fd_ >= 0 && used_ > 0) {
        if (int err = write_all(trace_fd_, buf_, used_))
            failed(trace_file_, err);
    }
    used_ = 0;
}

int SimRecorder::format_us(char *out, std::size_t size, Nanos t) const
{
    const auto ns = static_cast<unsigned long long>(t);
    if (whole_us_)
        return std::snprintf(out, size, "%llu", ns / 1000);
    return std::snprintf(out, size, "%llu.%03llu", ns / 1000, ns % 1000);
}

void SimRecorder::on_access(const Access &a)
{
    // The bus tells the access before its cycle moves the clock on: the
    // clock holds the access's own time, to the nanosecond.
    const Nanos t = bench_.bus().clock().now();
    if (wave_)
        wave_->sample(t);
    if (trace_fd_ < 0)
        return;
    char line[80];
    int n = format_us(line, 32, t);
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %s%u 0x%X 0x%X\n",
                       a.dir == Dir::In ? "in" : "out", static_cast<unsigned>(a.width),
                       static_cast<unsigned>(a.port), static_cast<unsigned>(a.value));
    append(line, static_cast<std::size_t>(n));
}

void SimRecorder::on_permission(const PermissionCall &c)
{
    if (trace_fd_ >= 0) {
        char line[128];
        int n = format_us(line, 32, bench_.bus().clock().now());
        const std::size_t room = sizeof line - static_cast<std::size_t>(n);
        if (c.result == 0)
            n += std::snprintf(line + n, room, " ioperm 0x%lX %lu %d -> 0\n", c.from, c.num, c.turn_on);
        else
            n += std::snprintf(line + n, room, " ioperm 0x%lX %lu %d -> -1 %s\n", c.from, c.num, c.turn_on,
                               errno_name(c.err));
        append(line, static_cast<std::size_t>(n));
    }
    if (!c.turn_on)
        finish();
}

void SimRecorder::end()
{
    if (wave_)
        wave_->finish(bench_.bus().clock().now());
    finish();
}

void SimRecorder::finish()
{
    if (wave_) {
        wave_->flush();
        if (wave_->write_error())
            failed(vcd_file_, wave_->write_error());
    }
    flush_trace();
    write_files();
}

std::string SimRecorder::report() const
{
    IoBus &io = bench_.bus();
    PassiveSerialFpga &fpga = bench_.fpga();
    const Nanos now = io.clock().now();
    std::string held;
    for (unsigned p = 0; p < 65536; ++p) {
        if (!io.permissions().permitted(static_cast<std::uint16_t>(p)))
            continue;
        unsigned last = p;
        while (last + 1 < 65536 && io.permissions().permitted(static_cast<std::uint16_t>(last + 1)))
            ++last;
        char range[32];
        if (last == p)
            std::snprintf(range, sizeof range, " 0x%X", p);
        else
            std::snprintf(range, sizeof range, " 0x%X-0x%X", p, last);
        held += range;
        p = last;
    }
    if (held.empty())
        held = " none";

    // Without a cable or a powered device nothing reaches the FPGA: its
    // lines are not what the port reads (those float), so they are not shown.
    const bool connected = bench_.config().cable && bench_.config().device;
    char low_us[32], time_us[32];
    format_us(low_us, sizeof low_us, fpga.last_nconfig_low_ns());
    format_us(time_us, sizeof time_us, io.clock().now());
    char text[1024];
    std::snprintf(text, sizeof text,
                  "expected_bits %llu\n"
                  "received_bits %llu\n"
                  "received_bytes %zu\n"
                  "device_state %s\n"
                  "nstatus %s\n"
                  "conf_done %s\n"
                  "nconfig_pulses %u\n"
                  "nconfig_low_us %s\n"
                  "dclk_rising_edges %llu\n"
                  "init_clocks %u\n"
                  "delay_writes %llu\n"
                  "port_accesses %llu\n"
                  "sim_time_us %s\n"
                  "data_register 0x%02X\n"
                  "control_register 0x%02X\n"
                  "ports_held%s\n"
                  "violations %zu\n",
                  static_cast<unsigned long long>(fpga.config().config_bits),
                  static_cast<unsigned long long>(fpga.bits_received()), fpga.received().size(),
                  connected ? state_name(fpga.state_at(now)) : "not-connected",
                  connected ? (fpga.nstatus_at(now) ? "high" : "low") : "not-connected",
                  connected ? (fpga.conf_done_at(now) ? "high" : "low") : "not-connected", fpga.nconfig_pulses(),
                  low_us,
                  static_cast<unsigned long long>(fpga.dclk_rising_edges()), fpga.init_clocks_seen(),
                  static_cast<unsigned long long>(bench_.delay().writes()),
                  static_cast<unsigned long long>(io.accesses()), time_us,
                  bench_.port().data_register(), bench_.port().control_register(), held.c_str(),
                  io.permissions().violations().size());
    std::string r = text;
    if (fpga.design_mismatch()) {
        // Where the bits first went wrong: the byte and bit (from 0, least
        // significant first) and what the device got and wanted there.
        const std::uint64_t bit = fpga.first_mismatch_bit();
        const std::uint64_t byte = bit / 8;
        char got[8] = "none";
        char want[8] = "none";
        if (byte < fpga.received().size())
            std::snprintf(got, sizeof got, "0x%02X", fpga.received()[byte]);
        // A bit the device took wrongly by its timing may lie past the
        // design (or there may be no design: a device that counts bits).
        if (byte < fpga.config().design.size() && fpga.config().design[byte].valid)
            std::snprintf(want, sizeof want, "0x%02X", fpga.config().design[byte].value);
        std::snprintf(text, sizeof text,
                      "first_difference_byte %llu\n"
                      "first_difference_bit %u\n"
                      "received_byte %s\n"
                      "expected_byte %s\n",
                      static_cast<unsigned long long>(byte), static_cast<unsigned>(bit % 8), got, want);
        r += text;
    }
    if (design_not_held_)
        r += "design_check counting-only\n";
    if (timing_section_)
        r += timing_report(bench_, wait_count_);
    return r;
}

void SimRecorder::write_files()
{
    if (!report_file_.empty()) {
        std::string r = report();
        if (!write_whole_file(report_file_, r.data(), r.size()))
            failed(report_file_, errno);
    }
    if (!received_file_.empty()) {
        const auto &bytes = bench_.fpga().received();
        if (!write_whole_file(received_file_, bytes.data(), bytes.size()))
            failed(received_file_, errno);
    }
}

} // namespace bench
