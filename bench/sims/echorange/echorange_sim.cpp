// echorange-sim: runs the echorange module on the emulated lab PC through a
// scenario and prints what a user process reads from /dev/rtf2, with the
// simulated time, and then the kernel log.
//
//   echorange-sim [--module OBJECT] [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO
//   echorange-sim [--module OBJECT] --serve DIR [--speed F] [--bytewise]
//                 [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO
//
// With --serve the module is served to real programs through the named
// pipes DIR/rtf1 and DIR/rtf2, in simulated time paced to the wall clock,
// until the program is stopped (serve.h).
//
// --trace=FILE writes every event of the run or the service to FILE
// (trace.h), --vcd=FILE its waveform (ranging_waveform.h); standard output
// stays as it is without them.
//
// Exit status: 0; 1 when the module broke a platform rule during the run
// (listed on standard error) or, served, could not be loaded; 2 for a bad
// command line or scenario, a module object that is none, or output that
// could not be written (sims/common/front_end.h).
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <iostream>
#include <memory>

#include "sims/common/front_end.h"
#include "sims/echorange/example_scenario.h"
#include "sims/echorange/scenario_run.h"
#include "sims/echorange/serve.h"
#include "sims/echorange/ranging_waveform.h"
#include "sims/echorange/trace.h"

namespace {

const char kProgram[] = "echorange-sim";

enum Tag { Module, Trace, Vcd, VcdBits, Serve, Speed, Bytewise, Help, Version };

const bench::OptionDoc kOptions[] = {
    {"--module", " OBJECT", "the module object to load (default: the one built\nwith echorange-sim)", Module},
    {"--trace", "=FILE", "write every port write, interrupt, platform call, FIFO\nvalue and kernel-log line of the run, one line each", Trace},
    {"--vcd", "=FILE", "write the board's ports, IRQ 11, the thread and FIFO 2\nas a waveform (VCD)", Vcd},
    {"--vcd-bits", "", "the waveform's vectors as one-bit wires (for sigrok)", VcdBits},
    {"--serve", " DIR", "serve the module: DIR/rtf1 and DIR/rtf2 stand for\n/dev/rtf1 and /dev/rtf2, until the program is stopped", Serve},
    {"--speed", " F", "served, simulated time runs F times as fast as the\nwall clock (default 1)", Speed},
    {"--bytewise", "", "served, each value is handed on in single bytes", Bytewise},
    {"--help", "", "this text (also -h and --sim-help)", Help},
    {"--version", "", "the version and the source commit (also --sim-version)", Version},
};

const bench::ProgramDoc kDoc = {
    "usage: echorange-sim [--module OBJECT] [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO\n"
    "       echorange-sim [--module OBJECT] --serve DIR [--speed F] [--bytewise]\n"
    "                     [--trace=FILE] [--vcd=FILE [--vcd-bits]] SCENARIO\n",
    "Runs the echorange module on the emulated lab PC through SCENARIO and prints\n"
    "every value read from /dev/rtf2 with its simulated time, then the kernel log.\n",
    kOptions,
    sizeof kOptions / sizeof kOptions[0],
    sims::echorange::scenario_format_note(),
};

struct Settings {
    std::string module = rtlsim::default_module_path();
    std::string path;
    std::string trace_path;
    std::string vcd_path;
    bool vcd_bits = false;
    sims::echorange::ServeOptions serve;
    bool serving = false;
    bool help = false;
    bool version = false;
};

// A speed factor: a positive decimal number.
bool speed_from_word(const char *word, double *speed)
{
    char *end = nullptr;
    double v = std::strtod(word, &end);
    if (end == word || *end != '\0' || !(v > 0) || v > 1e6)
        return false;
    *speed = v;
    return true;
}

// The names the other simulators use for help and version, and -h.
std::string canonical(const std::string &word)
{
    if (word == "-h" || word == "--sim-help")
        return "--help";
    if (word == "--sim-version")
        return "--version";
    return word;
}

// Reads the command line into s: 0, or the exit status of a command line
// that is not understood (the message printed).
int parse_command_line(int argc, char **argv, Settings &s)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = canonical(argv[i]);
        const bench::OptionDoc *option = word[0] == '-' ? bench::find_option(kDoc, word) : nullptr;
        if (!option) {
            if (word[0] == '-')
                return bench::command_line_error(kProgram, "unknown option " + word, kDoc);
            if (!s.path.empty())
                return bench::command_line_error(kProgram, "one scenario only: " + word, kDoc);
            s.path = word;
            continue;
        }
        // An option that takes a value takes it as --opt=VALUE or as the
        // next word, --opt VALUE, whichever way its help shows it.
        std::string value;
        bool given = false;
        bench::ValueForm form = bench::value_form(*option);
        if (form == bench::ValueForm::Needed || form == bench::ValueForm::NextArgument) {
            size_t eq = word.find('=');
            if (eq != std::string::npos) {
                value = word.substr(eq + 1);
            } else {
                if (i + 1 >= argc)
                    return bench::command_line_error(kProgram, word + " wants " + (option->value + 1), kDoc);
                value = argv[++i];
            }
        } else if (!bench::option_value(*option, word, value, given)) {
            return bench::command_line_error(kProgram, "bad option " + word, kDoc);
        }
        switch (option->tag) {
        case Module:
            s.module = value;
            break;
        case Trace:
        case Vcd:
            if (value.empty())
                return bench::command_line_error(kProgram, "bad option " + word, kDoc);
            (option->tag == Trace ? s.trace_path : s.vcd_path) = value;
            break;
        case VcdBits:
            s.vcd_bits = true;
            break;
        case Serve:
            s.serving = true;
            s.serve.dir = value;
            break;
        case Speed:
            if (!speed_from_word(value.c_str(), &s.serve.speed))
                return bench::front_end_error(kProgram, "--speed wants a factor above 0 (up to 1000000): " + value);
            break;
        case Bytewise:
            s.serve.bytewise = true;
            break;
        case Help:
            s.help = true;
            return 0;
        case Version:
            s.version = true;
            return 0;
        }
    }
    // --speed and --bytewise only mean something to a served machine.
    bool serve_options = s.serve.bytewise || s.serve.speed != 1.0;
    if (s.vcd_bits && s.vcd_path.empty())
        return bench::command_line_error(kProgram, "--vcd-bits needs --vcd=FILE", kDoc);
    if (s.path.empty())
        return bench::command_line_error(kProgram, "no scenario given", kDoc);
    if (s.serving && s.serve.dir.empty())
        return bench::command_line_error(kProgram, "--serve wants a folder", kDoc);
    if (!s.serving && serve_options)
        return bench::command_line_error(kProgram, "--speed and --bytewise are for --serve", kDoc);
    return 0;
}

// Whether path holds a module object the emulated insmod can be given: a
// file that can be read, an ELF object, with the module information that
// insmod reads first.  Whether its kernel version matches, and whether it
// loads, is insmod's to say, in the run.  False with the reason in why.
bool module_object(const std::string &path, std::string &why)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    unsigned char magic[4] = {0, 0, 0, 0};
    ssize_t n = read(fd, magic, sizeof magic);
    int err = errno;
    close(fd);
    if (n < 0) {
        why = std::strerror(err);
        return false;
    }
    if (n < 4 || magic[0] != 0x7F || magic[1] != 'E' || magic[2] != 'L' || magic[3] != 'F') {
        why = "not an ELF object";
        return false;
    }
    if (rtlsim::read_modinfo(path).empty()) {
        why = "not a kernel module (no .modinfo section)";
        return false;
    }
    return true;
}

// The scenario file's text; 0, or the errno of what failed (a folder gives
// EISDIR at its read).
int read_scenario(const std::string &path, std::string &text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return err;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

// The outputs beside standard output: the trace and the waveform, each an
// observer of the machine, written to its file and checked at the end.
class Recorders {
public:
    ~Recorders()
    {
        wave_.reset();
        trace_.reset();
        trace_file_.reset();
        if (trace_fd_ >= 0)
            close(trace_fd_);
        if (vcd_fd_ >= 0)
            close(vcd_fd_);
    }

    // Opens the files; 0, or the exit status of a file that cannot be made.
    int open_files(const Settings &s)
    {
        trace_path_ = s.trace_path;
        vcd_path_ = s.vcd_path;
        if (!trace_path_.empty()) {
            trace_fd_ = open(trace_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (trace_fd_ < 0)
                return bench::front_end_error(kProgram, bench::write_error(trace_path_, errno));
            trace_file_ = std::make_unique<bench::FdOstream>(trace_fd_);
            trace_ = std::make_unique<sims::echorange::TraceRecorder>(*trace_file_);
        }
        if (!vcd_path_.empty()) {
            vcd_fd_ = open(vcd_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (vcd_fd_ < 0)
                return bench::front_end_error(kProgram, bench::write_error(vcd_path_, errno));
            wave_ = std::make_unique<sims::echorange::RangingWaveform>(vcd_fd_, s.vcd_bits);
        }
        observers_.add(trace_.get());
        observers_.add(wave_.get());
        return 0;
    }

    rtlsim::MachineObserver *observer() { return observers_.empty() ? nullptr : &observers_; }

    // Ends the files at simulated time end; 0, or the exit status of one
    // that could not be written.
    int finish(rtlsim::hrtime end)
    {
        if (trace_) {
            int err = trace_file_->finish();
            if (close(trace_fd_) != 0 && err == 0)
                err = errno;
            trace_fd_ = -1;
            if (err != 0)
                return bench::front_end_error(kProgram, bench::write_error(trace_path_, err));
        }
        if (wave_) {
            wave_->finish(end);
            int err = wave_->write_error();
            wave_.reset();
            if (close(vcd_fd_) != 0 && err == 0)
                err = errno;
            vcd_fd_ = -1;
            if (err != 0)
                return bench::front_end_error(kProgram, bench::write_error(vcd_path_, err));
        }
        return 0;
    }

private:
    std::string trace_path_, vcd_path_;
    int trace_fd_ = -1;
    int vcd_fd_ = -1;
    std::unique_ptr<bench::FdOstream> trace_file_;
    std::unique_ptr<sims::echorange::TraceRecorder> trace_;
    std::unique_ptr<sims::echorange::RangingWaveform> wave_;
    rtlsim::ObserverList observers_;
};

}  // namespace

int main(int argc, char **argv)
{
    Settings s;
    if (int rc = parse_command_line(argc, argv, s))
        return rc;
    if (s.help)
        return bench::print_text(kProgram, bench::help_text(kDoc));
    if (s.version)
        return bench::print_text(kProgram, bench::version_text(kProgram));
    const std::string &path = s.path;
    const std::string &module = s.module;

    std::string text;
    if (int err = read_scenario(path, text))
        return bench::front_end_error(kProgram, "cannot open " + path + ": " + std::strerror(err));

    sims::echorange::Scenario scenario;
    try {
        scenario = sims::echorange::parse_scenario(text, !s.serving);
    } catch (const sims::echorange::ScenarioError &e) {
        std::cerr << "echorange-sim: " << path << ": " << e.what() << '\n';
        return 2;
    }
    std::string why;
    if (!module_object(module, why))
        return bench::front_end_error(kProgram, "cannot load the module " + module + ": " + why);

    Recorders recorders;
    if (int rc = recorders.open_files(s))
        return rc;
    if (s.serving) {
        rtlsim::hrtime end = 0;
        int rc = sims::echorange::serve_scenario(scenario, module, s.serve, std::cout, recorders.observer(), &end);
        std::cout.flush();
        if (!bench::stdout_written())
            return bench::front_end_error(kProgram, bench::write_error("standard output", errno));
        if (int err = recorders.finish(end))
            return err;
        return rc;
    }
    // Every output of the run is checked at its end: standard output (the
    // values and the log), the trace, the waveform.
    std::cout.flush();
    bench::FdOstream out(STDOUT_FILENO);
    sims::echorange::RunSummary summary =
        sims::echorange::run_scenario(scenario, module, out, recorders.observer());
    if (int err = out.finish())
        return bench::front_end_error(kProgram, bench::write_error("standard output", err));
    if (int err = recorders.finish(summary.end))
        return err;
    if (!summary.violations.empty()) {
        std::cerr << "echorange-sim: the module broke platform rules:\n";
        for (const auto &v : summary.violations)
            std::cerr << "  " << v << '\n';
        return 1;
    }
    return 0;
}
