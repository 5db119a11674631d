#include "ppdev_bridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

const char *const kNotForTheBridge[] = {"--sim-unprivileged", "--sim-refuse", "--sim-signal", "--sim-help",
                                        "--sim-version"};

void write_file(const std::string &path, const void *data, std::size_t size)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

} // namespace

bool parse_bridge_options(const std::string &words, SimOptions &options, std::string &error)
{
    std::istringstream in(words);
    std::vector<std::string> list;
    for (std::string w; in >> w;) {
        for (const char *refused : kNotForTheBridge) {
            std::size_t n = std::strlen(refused);
            if (w.compare(0, n, refused) == 0 && (w.size() == n || w[n] == '=')) {
                error = w + " is not a device option (the guest's kernel decides that)";
                return false;
            }
        }
        if (w.rfind("--sim-", 0) != 0) {
            error = "not a bench option: " + w;
            return false;
        }
        list.push_back(w);
    }
    std::vector<char *> argv;
    static char name[] = "ppbridge";
    argv.push_back(name);
    for (auto &w : list)
        argv.push_back(&w[0]);
    options = SimOptions();
    if (parse_sim_options(static_cast<int>(argv.size()), argv.data(), options, error) < 0)
        return false;
    if (options.bits_given && !options.design_file.empty()) {
        error = "--sim-bits and --sim-design exclude each other";
        return false;
    }
    if (!options.design_file.empty()) {
        bool ok = false;
        options.bench.fpga.design = options.design_raw ? design_from_raw_file(options.design_file, ok)
                                                       : design_from_ttf_file(options.design_file, ok);
        if (!ok) {
            error = "cannot read the design " + options.design_file + ": " + std::strerror(errno);
            return false;
        }
        options.bench.fpga.config_bits = 8ULL * options.bench.fpga.design.size();
    }
    return true;
}

bool bridge_settings_from(const std::function<const char *(const char *)> &lookup, BridgeSettings &settings,
                          std::string &error)
{
    settings = BridgeSettings();
    if (const char *all = lookup(kBridgeOptionsVar)) {
        if (!parse_bridge_options(all, settings.defaults, error)) {
            error = std::string(kBridgeOptionsVar) + ": " + error;
            return false;
        }
    }
    for (unsigned n = 1; n <= 255; ++n) {
        std::string var = kBridgeSessionVarPrefix + std::to_string(n);
        const char *words = lookup(var.c_str());
        if (!words)
            continue;
        if (!parse_bridge_options(words, settings.sessions[n], error)) {
            error = var + ": " + error;
            return false;
        }
    }
    return true;
}

Micros BridgeClock::steady_micros()
{
    using namespace std::chrono;
    return static_cast<Micros>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

PpdevBridge::PpdevBridge(BridgeSettings settings, BridgeClock clock)
    : settings_(std::move(settings)), clock_(std::move(clock))
{
    start_session(0);
}

PpdevBridge::~PpdevBridge()
{
    end_session();
}

void PpdevBridge::start_session(unsigned number)
{
    auto it = settings_.sessions.find(number);
    options_ = it != settings_.sessions.end() ? it->second : settings_.defaults;
    session_number_ = number;

    io_.reset();
    // The guest's kernel has granted the ports by the time an access gets
    // here; the bench's permission model has nothing to say.
    io_.permissions().set_violation_policy(ViolationPolicy::Record);
    const std::uint16_t base = options_.bench.lpt_base;
    io_.permission(base, 3, 1);
    bench_ = std::make_unique<FpgaBench>(io_, options_.bench);

    // The port takes QEMU's register values with nothing on its connector;
    // then the device powers up and the cable shows it the lines as they
    // are, as levels without edges, as psload-sim's device first sees them.
    ParallelPort &port = bench_->port();
    port.attach(nullptr);
    port.write8(0, data_, 0);     // data register
    port.write8(2, control_, 0);  // control register
    bench_->fpga().power_up(options_.bench.fpga);
    cable_.connect(options_.bench.device ? &bench_->fpga() : nullptr);
    if (options_.bench.cable)
        port.attach(&cable_, 0);

    if (!options_.trace_file.empty() || !options_.report_file.empty() || !options_.received_file.empty()) {
        // The recorder streams the trace; the report and the received bytes
        // are written here (see report()).
        recorder_ = std::make_unique<SimRecorder>(*bench_, options_.trace_file, "", "");
        io_.set_observer(recorder_.get());
    }
    clock_.restart();
}

void PpdevBridge::finish()
{
    if (recorder_)
        recorder_->finish();
    if (!options_.report_file.empty()) {
        std::string r = report();
        write_file(options_.report_file, r.data(), r.size());
    }
    if (!options_.received_file.empty()) {
        const auto &bytes = bench_->fpga().received();
        write_file(options_.received_file, bytes.data(), bytes.size());
    }
}

void PpdevBridge::end_session()
{
    if (!bench_)
        return;
    finish();
    io_.set_observer(nullptr);
    recorder_.reset();
    bench_.reset();
}

std::string PpdevBridge::report() const
{
    // The recorder's report, for the same format and the same names.
    SimRecorder recorder(*bench_, "", "", "");
    std::istringstream in(recorder.report());
    std::string out;
    for (std::string line; std::getline(in, line);) {
        std::string name = line.substr(0, line.find(' '));
        if (name == "delay_writes" || name == "ports_held" || name == "violations")
            line = name + " not-seen";
        out += line + "\n";
    }
    return out;
}

std::uint8_t PpdevBridge::in(unsigned offset)
{
    io_.advance_to(clock_.real_elapsed());
    return io_.in8(static_cast<std::uint16_t>(options_.bench.lpt_base + offset));
}

void PpdevBridge::out(unsigned offset, std::uint8_t value)
{
    io_.advance_to(clock_.real_elapsed());
    io_.out8(static_cast<std::uint16_t>(options_.bench.lpt_base + offset), value);
}

// A run of data-register reads has ended: two or more start a session.
void PpdevBridge::settle_marker()
{
    unsigned reads = data_reads_;
    data_reads_ = 0;
    if (reads < 2)
        return;
    end_session();
    start_session(reads - 1);
}

int PpdevBridge::ioctl(unsigned long request, void *arg, int &err)
{
    std::lock_guard<std::mutex> hold(lock_);
    err = 0;
    if (request == PPCLAIM) {
        claimed_ = true;
        return 0;
    }
    if (!claimed_) {
        // ppdev answers nothing but PPCLAIM (and mode settings) on an
        // unclaimed port.
        err = EINVAL;
        return -1;
    }
    if (request == PPRDATA) {
        // Only a marker reads the data register; see the header.  The
        // latch reads back, or with the lines turned round, the floating
        // lines (nothing on the cable drives them).
        ++data_reads_;
        *static_cast<unsigned char *>(arg) = reverse_ ? 0xFF : data_;
        return 0;
    }
    settle_marker();
    switch (request) {
    case PPRSTATUS:
        *static_cast<unsigned char *>(arg) = in(1);
        return 0;
    case PPWDATA:
        data_ = *static_cast<const unsigned char *>(arg);
        out(0, data_);
        return 0;
    case PPWCONTROL:
        control_ = *static_cast<const unsigned char *>(arg);
        out(2, control_);
        return 0;
    case PPRCONTROL:
        *static_cast<unsigned char *>(arg) = control_;
        return 0;
    case PPFCONTROL: {
        const auto *frob = static_cast<const ppdev_frob_struct *>(arg);
        control_ = static_cast<std::uint8_t>((control_ & ~frob->mask) ^ frob->val);
        out(2, control_);
        return 0;
    }
    case PPDATADIR:
        reverse_ = *static_cast<const int *>(arg) != 0;
        return 0;
    case PPSETMODE: {
        // Compatibility mode only: the cable is no IEEE 1284 peripheral,
        // and QEMU's EPP cycles are not made here.
        int mode = *static_cast<const int *>(arg);
        if (mode == IEEE1284_MODE_COMPAT)
            return 0;
        err = ENXIO;
        return -1;
    }
    case PPNEGOT:
        err = ENXIO;
        return -1;
    case PPRELEASE:
        claimed_ = false;
        finish();
        return 0;
    case PPYIELD:
    case PPEXCL:
        return 0;
    default:
        err = ENOTTY;
        return -1;
    }
}

void PpdevBridge::close()
{
    std::lock_guard<std::mutex> hold(lock_);
    settle_marker();
    claimed_ = false;
    finish();
}

} // namespace bench
